#!/usr/bin/env bash
# The DNS path of captured programs. First the time a captured program's connection by name adds
# to one by address: in a network namespace of its own, velmora-netd and velmorad capture a
# program that `velmoractl run --transparent` starts, whose DNS questions go to velmorad's
# responder (fake addresses) and whose connections go to velmorad's transparent listener, with a
# direct route for it; the program (dns_load) alternates resolving a name and connecting to its
# fake address, connecting to the fake address it was given first, and connecting to the real
# address, each up to the first byte back from a sink. velmorad resolves the name of a direct
# connection itself, asking the namespace's resolver (dns_load resolver, on the machine's first
# IPv4 nameserver address). The same program uncaptured gives the floor. Then the responder's
# answers per second (dns_bench, a namespace of its own).
# velmorad and the helper are pinned to CPU 0; the program, the sink and the resolver to CPU 1.
# Needs root. Usage: bench/dns_bench.sh [build dir] (default: the release build); ROUNDS bounds
# the connections (default 2,000 rounds of three connections, at most 100,000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
rounds=${ROUNDS:-2000}
load=$build/bench/dns_load
sink=$build/bench/proxy_load
daemon=$build/src/velmorad/velmorad
helper=$build/src/velmora-netd/velmora-netd
tool=$build/src/velmoractl/velmoractl
work=$(mktemp -d)
netns=velmora-dnsbench-$$
made_netns=
group=
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  [ -z "$made_netns" ] || ip netns delete "$netns" 2> /dev/null || true
  remove_program_group
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
. "$root/bench/capture_session.sh"
[ "$(id -u)" -eq 0 ] || { echo "dns_bench: needs root for its network namespace" >&2; exit 1; }
for program in "$load" "$sink" "$daemon" "$helper" "$tool" "$build/bench/dns_bench" dbus-daemon; do
  command -v "$program" > /dev/null || { echo "dns_bench: missing $program (scripts/setup --bench, then build)" >&2; exit 1; }
done
mount=$(awk '$9 == "cgroup2" && $4 == "/" {print $5; exit}' /proc/self/mountinfo)
case "$mount" in
  /sys/fs/cgroup | /sys/fs/cgroup/*) ;;
  *) echo "dns_bench: no cgroup v2 hierarchy under /sys/fs/cgroup" >&2; exit 1 ;;
esac
# Where the C library sends questions: the program's are redirected to velmorad wherever they
# go; velmorad's own go there, to the namespace's resolver.
nameserver=$(awk '$1 == "nameserver" && $2 ~ /^[0-9.]+$/ {print $2; exit}' /etc/resolv.conf)
[ -n "$nameserver" ] || { echo "dns_bench: /etc/resolv.conf names no IPv4 nameserver" >&2; exit 1; }

# Into the namespace through nsenter: ip netns exec would mount a /sys without the cgroup
# hierarchy, which the helper, velmorad and velmoractl need.
inside() { nsenter --net="/run/netns/$netns" "$@"; }
# Always in a subshell here (background, command substitution): exec keeps the pid that cleanup
# kills the program's own.
on_cpu() { local cpu=$1; shift; exec nsenter --net="/run/netns/$netns" taskset -c "$cpu" "$@"; }
wait_port() {  # port [address]
  for _ in $(seq 100); do
    inside bash -c "exec 3<>/dev/tcp/${2:-127.0.0.1}/$1" 2> /dev/null && return 0
    sleep 0.05
  done
  echo "dns_bench: nothing listens on port $1" >&2
  exit 1
}

sink_address=10.200.0.1
sink_port=9000
name=www.bench.velmora.test
ip netns add "$netns"
made_netns=1
ip -n "$netns" link set lo up
# Room for many rounds: each leaves three of the program's connections and two of velmorad's in
# TIME_WAIT for a minute. Ports in TIME_WAIT are not handed on (the machine's default for
# addresses outside 127.0.0.0/8), and the listening ports stay out of the range.
ip netns exec "$netns" sysctl -qw net.ipv4.ip_local_port_range="10000 65535" \
  net.ipv4.ip_local_reserved_ports="11080-11091"
ip -n "$netns" addr add "$sink_address/32" dev lo
case "$nameserver" in 127.*) ;; *) ip -n "$netns" addr add "$nameserver/32" dev lo ;; esac
# A connection is routed before it is redirected: the fake addresses need a route.
ip -n "$netns" route add 198.18.0.0/15 dev lo

on_cpu 1 "$sink" sink "$sink_address" $sink_port & pids+=($!)
on_cpu 1 "$load" resolver "$nameserver" "$sink_address" & pids+=($!)
wait_port $sink_port "$sink_address"

start_capture_session "$netns"
inside "${environment[@]}" "$tool" route set dns_load direct > /dev/null

# The program in a cgroup of the script's own, under which velmoractl makes the captured one.
group=$mount/velmora-dnsbench-$$
mkdir "$group"
echo "Connections of a captured program, $rounds rounds, direct route (median and p99):"
# In the background, waited for: a signal then ends the run at once, not when the program ends.
bash -c 'echo $$ > "$0/cgroup.procs" && exec "${@}"' "$group" \
  nsenter --net="/run/netns/$netns" taskset -c 1 "${environment[@]}" \
  "$tool" run --transparent -- "$load" connect $name $sink_address $sink_port "$rounds" & pids+=($!)
wait $!
echo
echo "The same program uncaptured, for comparison (the name resolved by the namespace's resolver):"
on_cpu 1 "${environment[@]}" "$load" connect $name $sink_address $sink_port "$rounds" & pids+=($!)
wait $!
# Refused and failed connections say why in velmorad's log.
if grep -q '拒绝\|失败\|错误' "$work/velmorad.log"; then
  echo "velmorad reported:"
  grep '拒绝\|失败\|错误' "$work/velmorad.log" | head -n 5
fi

echo
echo "Answers of the DNS responder (dns_bench):"
"$build/bench/dns_bench" --benchmark_format=console > "$work/dns_bench.out" 2> /dev/null & pids+=($!)
wait $!
grep '^BM_' "$work/dns_bench.out"
