#!/usr/bin/env bash
# What velmorad's dashboard costs the data plane. In one network namespace, with velmorad pinned to
# CPU 0 and the load, the sink and the watchers to CPU 1: connections per second with 8 clients
# through velmorad's SOCKS5 proxy (routing on), with handshake latency p50/p99, for
#   off      "dashboard": false;
#   on       the dashboard served, nobody watching;
#   watcher  one client streaming /api/events (a tick a second with every open connection);
#   page     the page itself open in Debian's chromium, headless (only when chromium is there).
# velmorad starts afresh for every measurement (one session bus throughout); the cases alternate,
# REPS rounds (default 3) of SECONDS_EACH (default 5) each, and the table gives every round and
# the median. Then velmorad's CPU time (utime + stime from /proc) over IDLE_SECONDS (default 10)
# with no load at all, dashboard off against dashboard on with a watcher (and with the page).
# Needs root. Usage: bench/dashboard_bench.sh [build dir] (default: the release build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${SECONDS_EACH:-5}
reps=${REPS:-3}
idle_seconds=${IDLE_SECONDS:-10}
load=$build/bench/proxy_load
daemon=$build/src/velmorad/velmorad
work=$(mktemp -d)
netns=velmora-bench-$$-dashboard
pids=()
daemon_pid=
watcher_pid=
# chromium's process group: it starts a dozen processes of its own.
browser_group=

stop_watchers() {
  [ -z "$watcher_pid" ] || { kill "$watcher_pid" 2> /dev/null || true; wait "$watcher_pid" 2> /dev/null || true; }
  watcher_pid=
  if [ -n "$browser_group" ]; then
    kill -- "-$browser_group" 2> /dev/null || true
    for _ in $(seq 50); do kill -0 -- "-$browser_group" 2> /dev/null || break; sleep 0.1; done
    kill -KILL -- "-$browser_group" 2> /dev/null || true
    wait "$browser_group" 2> /dev/null || true
  fi
  browser_group=
}
stop_velmorad() {
  [ -z "$daemon_pid" ] || { kill "$daemon_pid" 2> /dev/null || true; wait "$daemon_pid" 2> /dev/null || true; }
  daemon_pid=
}
cleanup() {
  stop_watchers
  stop_velmorad
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  ip netns delete "$netns" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
[ "$(id -u)" -eq 0 ] || { echo "dashboard_bench: needs root for its network namespace" >&2; exit 1; }
for program in "$load" "$daemon" curl dbus-daemon taskset; do
  command -v "$program" > /dev/null || { echo "dashboard_bench: missing $program (scripts/setup --bench, then build)" >&2; exit 1; }
done
browser=$(command -v chromium || true)

inside() { ip netns exec "$netns" "$@"; }
# Always in a subshell here (background, command substitution): exec keeps the pid that cleanup
# kills the program's own.
on_cpu() { local cpu=$1; shift; exec ip netns exec "$netns" taskset -c "$cpu" "$@"; }
listening() { inside bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2> /dev/null; }
wait_port() {
  for _ in $(seq 100); do listening "$1" && return 0; sleep 0.05; done
  echo "dashboard_bench: nothing listens on port $1" >&2
  exit 1
}

sink_port=9000
proxy_port=11080
dashboard_port=11070
hard_limit=$(ulimit -Hn)
token=$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')
home=$work/home
store=$home/.config/Velmora
mkdir -p "$store"

ip netns add "$netns"
ip -n "$netns" link set lo up
# As in proxy_bench.sh: a wide port range and reuse, so that the TIME_WAIT sockets of one case do
# not slow the connects of the next; velmorad's ports stay out of it.
inside sysctl -qw net.ipv4.ip_local_port_range="10000 65535" net.ipv4.tcp_tw_reuse=1 \
  net.ipv4.ip_local_reserved_ports="11070-11096"
on_cpu 1 "$load" sink 127.0.0.1 $sink_port & pids+=($!)
wait_port $sink_port
{
  read -r bus_address
  read -r bus_pid
} < <(inside env -i HOME="$home" dbus-daemon --session --fork --print-address=1 --print-pid=1)
pids+=("$bus_pid")

start_velmorad() {  # true|false: whether the dashboard is served
  printf '{\n  "enabled" : true,\n  "proxyAddress" : "127.0.0.1",\n  "proxyPort" : %s,\n  "transparentPort" : %s,\n  "dashboard" : %s,\n  "dashboardPort" : %s,\n  "dashboardToken" : "%s"\n}\n' \
    $proxy_port $((proxy_port + 1)) "$1" $dashboard_port "$token" > "$store/velmorad.json"
  on_cpu 0 prlimit --nofile="1024:$hard_limit" env -i HOME="$home" TMPDIR="$home" \
    DBUS_SESSION_BUS_ADDRESS="$bus_address" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$home/no-system-bus" \
    "$daemon" > /dev/null 2>> "$work/velmorad.log" &
  daemon_pid=$!
  wait_port $proxy_port
  if [ "$1" = true ]; then
    wait_port $dashboard_port
  elif listening $dashboard_port; then
    echo "dashboard_bench: the dashboard answers although it is off" >&2
    exit 1
  fi
}

# Connections to the dashboard's port that are open, seen from the server's side.
dashboard_streams() { inside ss -Htn state established "( sport = :$dashboard_port )" | wc -l; }

start_watcher() {  # watcher|page
  case $1 in
    watcher)
      on_cpu 1 curl -sN -H "Cookie: velmora-dashboard=$token" -H "Host: 127.0.0.1:$dashboard_port" \
        "http://127.0.0.1:$dashboard_port/api/events" > "$work/events" &
      watcher_pid=$!
      ;;
    page)
      # A background subshell of a script leads no process group, so setsid makes chromium's
      # in place and the pid is the group's.
      on_cpu 1 setsid env HOME="$work/browser" "$browser" --headless=new --no-sandbox --disable-gpu \
        --user-data-dir="$work/browser/profile" --no-first-run --disable-extensions \
        "http://127.0.0.1:$dashboard_port/?token=$token" > /dev/null 2>&1 &
      browser_group=$!
      ;;
  esac
  # Until the stream is open and its first ticks have come.
  for _ in $(seq 100); do [ "$(dashboard_streams)" -gt 0 ] && break; sleep 0.1; done
  sleep 2
  [ "$(dashboard_streams)" -gt 0 ] || { echo "dashboard_bench: the $1 opened no stream to the dashboard" >&2; exit 1; }
}

# One case: velmorad started afresh, a second of warm-up, the measurement.
run_case() {  # off|on|watcher|page round
  local result streams=-
  start_velmorad "$([ "$1" = off ] && echo false || echo true)"
  case $1 in watcher | page) start_watcher "$1" ;; esac
  (on_cpu 1 "$load" conns 127.0.0.1 $sink_port $proxy_port 8 1 > /dev/null)
  result=$(on_cpu 1 "$load" conns 127.0.0.1 $sink_port $proxy_port 8 "$seconds")
  [ "$1" = off ] || streams=$(dashboard_streams)
  stop_watchers
  stop_velmorad
  printf '%-8s %-6s %s\n' "$1" "$2" "$result  streams $streams"
  echo "$1 $result" >> "$work/results"
}

cases=(off on watcher)
[ -z "$browser" ] || cases+=(page)
count=${#cases[@]}
echo "8 clients through velmorad's SOCKS5 proxy, $seconds s each, velmorad on CPU 0, load and sink on CPU 1"
printf '%-8s %-6s %s\n' case round "proxy_load (streams: open connections to the dashboard)"
for round in $(seq "$reps"); do
  # Each round starts one case further on, so that no case always follows the same one.
  for i in $(seq 0 $((count - 1))); do
    name=${cases[$(((i + round - 1) % count))]}
    run_case "$name" "$round"
  done
done

echo
printf '%-8s %12s %10s %10s\n' case "conn/s" "p50 µs" "p99 µs"
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
for name in "${cases[@]}"; do
  rate=$(awk -v c="$name" '$1 == c {print $2}' "$work/results" | median)
  p50=$(awk -v c="$name" '$1 == c {print $5}' "$work/results" | median)
  p99=$(awk -v c="$name" '$1 == c {print $8}' "$work/results" | median)
  printf '%-8s %12s %10s %10s\n' "$name" "$rate" "$p50" "$p99"
done

# CPU time over an idle period: no load at all, only the dashboard's ticks.
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }
# Time on a CPU in nanoseconds, every thread's, to a finer grain than the clock ticks above.
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{sum += $1} END {printf "%.0f", sum}'; }
idle_cpu() {  # off|watcher|page
  local before after ns_before ns_after streams=-
  start_velmorad "$([ "$1" = off ] && echo false || echo true)"
  case $1 in watcher | page) start_watcher "$1" ;; esac
  sleep 1
  before=$(cpu_ticks "$daemon_pid")
  ns_before=$(cpu_ns "$daemon_pid")
  sleep "$idle_seconds"
  after=$(cpu_ticks "$daemon_pid")
  ns_after=$(cpu_ns "$daemon_pid")
  [ "$1" = off ] || streams=$(dashboard_streams)
  stop_watchers
  stop_velmorad
  printf '%-8s %6s ms utime+stime (%s ticks of %s ms), %8s µs on a CPU (schedstat), streams %s\n' "$1" \
    "$(((after - before) * 1000 / ticks))" "$((after - before))" "$((1000 / ticks))" \
    "$(((ns_after - ns_before) / 1000))" "$streams"
}
echo
echo "velmorad's CPU time (utime + stime) over $idle_seconds s with no load:"
idle_cpu off
idle_cpu watcher
[ -z "$browser" ] || idle_cpu page
bytes=$(stat -c %s "$work/events" 2> /dev/null || echo 0)
echo "last watcher received $bytes bytes of events"
