#!/usr/bin/env bash
# UDP of a captured program. In a network namespace of the script's own ("near"), velmora-netd
# and velmorad capture a program that `velmoractl run --transparent` starts; its datagrams to a
# sink in a second namespace ("far", over a veth pair: the helper leaves the machine's own
# addresses alone) are marked by the helper, brought back in by policy routing, handed to
# velmorad's transparent sockets (TPROXY), decided as UDP by the rules and carried on, and the
# sink's echoes go back to the program from a socket bound to the sink's address. The program
# (proxy_load udp, straight to the sink as it would be uncaptured) sends datagrams of 64 and of
# 1,200 bytes for SECONDS_EACH (default 3) each, with at most WINDOW (default 64) unanswered.
# Paths: uncaptured (the floor); captured with a rule sending proxy_load direct; captured with a
# rule sending it through dante's UDP association. Figures: what reached the sink a second
# (datagrams, Mbit/s of payload), what came back, what was lost each way and the stalls, as
# proxy_load reports them; beside them the CPU time velmorad, the helper and dante took during
# the run, each CPU's busy share, and the datagrams the kernel dropped for full receive buffers
# (RcvbufErrors, near and far).
# velmorad, the helper and dante are pinned to CPU 0, the program and the sink to CPU 1.
# Needs root. Usage: bench/captured_udp_bench.sh [build dir] (default: the release build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
seconds=${SECONDS_EACH:-3}
window=${WINDOW:-64}
load=$build/bench/proxy_load
daemon=$build/src/velmorad/velmorad
helper=$build/src/velmora-netd/velmora-netd
tool=$build/src/velmoractl/velmoractl
work=$(mktemp -d)
near=velmora-cudp-$$-near
far=velmora-cudp-$$-far
made_near=
made_far=
group=
dante_pid=
pids=()
cleanup() {
  # dante forks workers of its own: its process group goes whole.
  [ -z "$dante_pid" ] || kill -- -"$dante_pid" 2> /dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  [ -z "$made_near" ] || ip netns delete "$near" 2> /dev/null || true
  [ -z "$made_far" ] || ip netns delete "$far" 2> /dev/null || true
  remove_program_group
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
. "$root/bench/capture_session.sh"
[ "$(id -u)" -eq 0 ] || { echo "captured_udp_bench: needs root for its network namespaces" >&2; exit 1; }
for program in "$load" "$daemon" "$helper" "$tool" dbus-daemon danted pgrep timeout setsid; do
  command -v "$program" > /dev/null || { echo "captured_udp_bench: missing $program (scripts/setup --bench, then build)" >&2; exit 1; }
done
mount=$(awk '$9 == "cgroup2" && $4 == "/" {print $5; exit}' /proc/self/mountinfo)
case "$mount" in
  /sys/fs/cgroup | /sys/fs/cgroup/*) ;;
  *) echo "captured_udp_bench: no cgroup v2 hierarchy under /sys/fs/cgroup" >&2; exit 1 ;;
esac

# Into a namespace through nsenter: ip netns exec would mount a /sys without the cgroup
# hierarchy, which the helper, velmorad and velmoractl need.
inside() { local netns=$1; shift; nsenter --net="/run/netns/$netns" "$@"; }
# Always in a subshell here (background, command substitution): exec keeps the pid that cleanup
# kills the program's own.
on_cpu() { local netns=$1 cpu=$2; shift 2; exec nsenter --net="/run/netns/$netns" taskset -c "$cpu" "$@"; }
wait_port() {  # port: TCP on 127.0.0.1 in near
  for _ in $(seq 100); do
    inside "$near" bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2> /dev/null && return 0
    sleep 0.05
  done
  echo "captured_udp_bench: nothing listens on port $1" >&2
  exit 1
}

near_address=198.51.100.1
dante_address=198.51.100.2
sink_address=198.51.100.7
sink_port=9002
dante_port=21081
ip netns add "$near"
made_near=1
ip netns add "$far"
made_far=1
ip -n "$near" link set lo up
ip -n "$far" link set lo up
ip -n "$near" link add velmora-near type veth peer name velmora-far netns "$far"
ip -n "$near" addr add "$near_address/24" dev velmora-near
ip -n "$near" addr add "$dante_address/24" dev velmora-near
ip -n "$far" addr add "$sink_address/24" dev velmora-far
ip -n "$near" link set velmora-near up
ip -n "$far" link set velmora-far up

on_cpu "$far" 1 "$load" udpsink $sink_address $sink_port & pids+=($!)
# The sink answers its count question (one datagram) once it is bound; at most 5 s.
ready=
for _ in $(seq 50); do
  if inside "$near" timeout 0.1 bash -c "exec 3<>/dev/udp/$sink_address/$sink_port; printf count? >&3; read -r -t 0.1 -n 1 <&3" 2> /dev/null; then
    ready=1
    break
  fi
done
[ -n "$ready" ] || { echo "captured_udp_bench: the sink does not answer" >&2; exit 1; }

start_capture_session "$near"
velmoractl() { inside "$near" timeout 10 "${environment[@]}" "$tool" "$@"; }

# The program in a cgroup of the script's own, under which velmoractl makes the captured one.
group=$mount/velmora-cudpbench-$$
mkdir "$group"

# CPU time (clock ticks) of the processes given, threads included; those gone count nothing.
ticks() {
  local total=0 pid fields
  for pid in "$@"; do
    fields=$(cat "/proc/$pid/stat" 2> /dev/null) || continue
    fields=${fields##*) }
    read -r -a fields <<< "$fields"
    total=$((total + fields[11] + fields[12]))
  done
  echo "$total"
}
dante_processes() { [ -z "$dante_pid" ] || pgrep -g "$dante_pid" || true; }
# Busy and total ticks of CPU 0 and CPU 1 (time the hypervisor took counts as idle).
cpu_ticks() { awk '$1 == "cpu0" || $1 == "cpu1" {print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9}' /proc/stat | tr '\n' ' '; }
# Udp RcvbufErrors of a namespace.
dropped() { inside "$1" awk '$1 == "Udp:" && $2 ~ /^[0-9]+$/ {print $6}' /proc/net/snmp; }
hz=$(getconf CLK_TCK)

# One run of proxy_load udp, bounded; captured or not. Prints proxy_load's report, then what
# velmorad, the helper and dante took of a CPU, each CPU's busy share and the receive-buffer drops.
measure() {  # name size captured(0/1)
  local out=$work/out status=0 start_cpu end_cpu daemon_before helper_before dante_before \
    near_before far_before started ended report
  read -r -a start_cpu <<< "$(cpu_ticks)"
  daemon_before=$(ticks "$daemon_pid")
  helper_before=$(ticks "$helper_pid")
  # shellcheck disable=SC2046
  dante_before=$(ticks $(dante_processes))
  near_before=$(dropped "$near")
  far_before=$(dropped "$far")
  started=$(date +%s.%N)
  if [ "$3" = 1 ]; then
    # In the background, waited for: a signal then ends the run at once, not when the program ends.
    timeout -k 5 $((seconds + 30)) bash -c 'echo $$ > "$0/cgroup.procs" && exec "${@}"' "$group" \
      nsenter --net="/run/netns/$near" taskset -c 1 "${environment[@]}" \
      "$tool" run --transparent -- "$load" udp $sink_address $sink_port 0 "$2" "$window" "$seconds" \
      > "$out" 2> "$work/err" & pids+=($!)
  else
    timeout -k 5 $((seconds + 30)) nsenter --net="/run/netns/$near" taskset -c 1 \
      "$load" udp $sink_address $sink_port 0 "$2" "$window" "$seconds" > "$out" 2> "$work/err" & pids+=($!)
  fi
  wait $! || status=$?
  ended=$(date +%s.%N)
  read -r -a end_cpu <<< "$(cpu_ticks)"
  report=$(head -n 1 "$out")
  [ "$status" = 0 ] && [ -n "$report" ] || report="failed ($status): $(tr '\n' ' ' < "$work/err")"
  # shellcheck disable=SC2046
  awk -v name="$1" -v size="$2 B" -v report="$report" -v hz="$hz" -v started="$started" -v ended="$ended" \
    -v d="$(($(ticks "$daemon_pid") - daemon_before))" -v h="$(($(ticks "$helper_pid") - helper_before))" \
    -v s="$(($(ticks $(dante_processes)) - dante_before))" \
    -v b0="$((end_cpu[0] - start_cpu[0]))" -v t0="$((end_cpu[1] - start_cpu[1]))" \
    -v b1="$((end_cpu[2] - start_cpu[2]))" -v t1="$((end_cpu[3] - start_cpu[3]))" \
    -v n="$(($(dropped "$near") - near_before))" -v f="$(($(dropped "$far") - far_before))" \
    'BEGIN { wall = ended - started; printf "%-15s %-7s %-78s %3.0f %% %3.0f %% %3.0f %%   %3.0f %% %3.0f %%   %s / %s\n",
               name, size, report, d / hz / wall * 100, h / hz / wall * 100, s / hz / wall * 100,
               t0 ? b0 / t0 * 100 : 0, t1 ? b1 / t1 * 100 : 0, n, f }'
}
measure_path() {  # name captured(0/1)
  measure "$1" 64 "$2"
  measure "$1" 1200 "$2"
}

echo "UDP of a captured program to a sink over a veth pair, ${seconds} s each, window $window; load average $(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '%-15s %-7s %-78s %s\n' "" "" "at the sink, echoed, lost there / back, stalls (proxy_load)" \
  "velmorad helper dante  CPU 0 CPU 1  rcvbuf drops near / far"
measure_path uncaptured 0

velmoractl route set proxy_load direct > /dev/null
measure_path direct 1

cat > "$work/danted.conf" << CONF
logoutput: /dev/null
internal: 127.0.0.1 port = $dante_port
external: $dante_address
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }
socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 command: connect udpassociate udpreply }
CONF
# A process group of its own (setsid, same pid), which cleanup ends whole.
on_cpu "$near" 0 setsid danted -f "$work/danted.conf" -p "$work/danted.pid" > /dev/null 2>&1 & pids+=($!)
dante_pid=$!
wait_port $dante_port
velmoractl proxy add Dante 127.0.0.1 $dante_port > /dev/null
velmoractl route set proxy_load proxy:Dante > /dev/null
measure_path dante 1

# How velmorad decided the captured flows (its connection log), and what it complained of.
echo
echo "velmorad's decisions:"
velmoractl logs 2> /dev/null | grep -F "$sink_address:$sink_port" | grep -F open | sed 's/^\[[^]]*\] //' | sort | uniq -c || true
if grep -q '拒绝\|失败\|错误\|上限\|丢弃' "$work/velmorad.log"; then
  echo "velmorad reported:"
  grep '拒绝\|失败\|错误\|上限\|丢弃' "$work/velmorad.log" | head -n 10
fi
