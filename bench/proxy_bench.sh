#!/usr/bin/env bash
# Side by side in one network namespace of its own: direct connections, velmorad's local proxy
# (routing on, rule decision and application lookup included), Debian's microsocks and dante.
# Each proxy is pinned to CPU 0, the load and the sink to CPU 1. Figures: one stream's
# throughput, connections per second with 1 and 8 clients with handshake latency p50/p99, then
# the cost of the application lookup and of the decision per connection.
# Needs root. Usage: bench/proxy_bench.sh [build dir] (default: the release build); SECONDS_EACH
# bounds every measurement (default 3 s; the load generator also stops at 200,000 connections).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${SECONDS_EACH:-3}
load=$build/bench/proxy_load
daemon=$build/src/velmorad/velmorad
netns=velmora-bench-$$
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  ip netns delete "$netns" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
[ "$(id -u)" -eq 0 ] || { echo "proxy_bench: needs root for its network namespace" >&2; exit 1; }
for program in "$load" "$daemon" "$build/bench/dataplane_bench" microsocks danted; do
  command -v "$program" > /dev/null || { echo "proxy_bench: missing $program (scripts/setup --bench, then build)" >&2; exit 1; }
done

ip netns add "$netns"
ip -n "$netns" link set lo up
inside() { ip netns exec "$netns" "$@"; }
# Always in a subshell here (background, pipe, command substitution): exec keeps the pid that
# cleanup kills the program's own.
on_cpu() { local cpu=$1; shift; exec ip netns exec "$netns" taskset -c "$cpu" "$@"; }
wait_port() {
  for _ in $(seq 100); do
    inside bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2> /dev/null && return 0
    sleep 0.05
  done
  echo "proxy_bench: nothing listens on port $1" >&2
  exit 1
}

sink_port=9000
on_cpu 1 "$load" sink 127.0.0.1 $sink_port & pids+=($!)
wait_port $sink_port

# velmorad: its own home, settings with routing on, a private session bus inside the namespace.
mkdir -p "$work/.config/Velmora"
printf '{\n  "enabled" : true,\n  "proxyAddress" : "127.0.0.1",\n  "proxyPort" : 11080\n}\n' \
  > "$work/.config/Velmora/velmorad.json"
{
  read -r address
  read -r bus_pid
} < <(inside env -i HOME="$work" dbus-daemon --session --fork --print-address=1 --print-pid=1)
pids+=("$bus_pid")
on_cpu 0 env -i HOME="$work" TMPDIR="$work" DBUS_SESSION_BUS_ADDRESS="$address" \
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-system-bus" "$daemon" 2> "$work/velmorad.log" & pids+=($!)
wait_port 11080

on_cpu 0 microsocks -i 127.0.0.1 -p 21080 > /dev/null 2>&1 & pids+=($!)
wait_port 21080

cat > "$work/danted.conf" << 'CONF'
logoutput: /dev/null
internal: 127.0.0.1 port = 21081
external: 127.0.0.1
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }
socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }
CONF
on_cpu 0 danted -f "$work/danted.conf" -p "$work/danted.pid" > /dev/null 2>&1 & pids+=($!)
wait_port 21081

printf '%-11s %-14s %-44s %s\n' "" "1 stream" "connections, 1 client" "connections, 8 clients"
for entry in direct:0 velmorad:11080 microsocks:21080 dante:21081; do
  name=${entry%%:*}
  port=${entry##*:}
  bulk=$(on_cpu 1 "$load" bulk 127.0.0.1 $sink_port "$port" "$seconds")
  one=$(on_cpu 1 "$load" conns 127.0.0.1 $sink_port "$port" 1 "$seconds")
  eight=$(on_cpu 1 "$load" conns 127.0.0.1 $sink_port "$port" 8 "$seconds")
  printf '%-11s %-14s %-44s %s\n' "$name" "$bulk" "$one" "$eight"
done

echo
echo "Per connection inside velmorad (one CPU):"
on_cpu 0 "$build/bench/dataplane_bench" --benchmark_format=console 2> /dev/null | grep '^BM_'
