#!/usr/bin/env bash
# Times velmoractl against a running velmorad on a private session bus, with an active profile of
# 1,000 rules: whole runs of status, rule list and test through the daemon (hyperfine), and how
# long the daemon takes to pick up an edit made to the profile file behind its back.
# Usage: bench/daemon_timing.sh [build dir] (default: the release build); RUNS sets the number of
# hyperfine runs (default 50), EDITS the number of timed edits (default 30).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
tool=$build/src/velmoractl/velmoractl
daemon=$build/src/velmorad/velmorad
runs=${RUNS:-50}
edits=${EDITS:-30}
home=$(mktemp -d)
daemon_pid=
bus_pid=
cleanup() {
  [ -n "$daemon_pid" ] && kill "$daemon_pid" 2> /dev/null && wait "$daemon_pid" || true
  [ -n "$bus_pid" ] && kill "$bus_pid" 2> /dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
export HOME=$home TMPDIR=$home
unset XDG_CONFIG_HOME
# Nothing here may reach the machine's own buses.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$home/no-system-bus
{
  read -r address
  read -r bus_pid
} < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$address

. "$root/bench/timing_common.sh"
activate_bench_profile

log=$home/daemon.log
"$daemon" 2> "$log" &
daemon_pid=$!
deadline=$((SECONDS + 10))
until grep -q 已就绪 "$log"; do
  [ $SECONDS -lt $deadline ] || { cat "$log" >&2; exit 1; }
done

measure "status (daemon, 1,000 rules)" status
measure "rule list (daemon, 1,000 rules)" rule list
measure "test App example.com:443 (daemon, 1,000 rules)" test App example.com:443
measure "status --offline (1,000 rules, for comparison)" status --offline

# Each edit renames a changed copy over the active profile's file, as the store does, and waits
# for the daemon's log line that it has read the new version.
store=$home/.config/Velmora
file=$store/profiles/$(cat "$store/active").json
times=()
for i in $(seq 1 "$edits"); do
  sed "s/\"rule 1\( edit [0-9]*\)\?\"/\"rule 1 edit $i\"/" "$file" > "$home/edit.json"
  before=$(grep -c 已更新 "$log" || true)
  start=$(date +%s%N)
  mv "$home/edit.json" "$file"
  deadline=$((SECONDS + 10))
  until [ "$(grep -c 已更新 "$log")" -gt "$before" ]; do
    [ $SECONDS -lt $deadline ] || { echo "the daemon did not pick up edit $i" >&2; exit 1; }
  done
  times+=($((($(date +%s%N) - start) / 1000)))
done
printf '%s\n' "${times[@]}" | sort -n | awk -v label="pick-up of an offline edit ($edits edits)" '
  {t[NR] = $1; sum += $1}
  END {printf "%-52s mean %6.2f ms   median %6.2f ms   max %6.2f ms\n", label, sum / NR / 1000,
       t[int((NR + 1) / 2)] / 1000, t[NR] / 1000}'
