#!/usr/bin/env bash
# Times whole runs of the built velmoractl with hyperfine: the offline status, rule list and dry
# run on a profile of 1,000 rules, and status with no session bus at all, against the floor of
# starting the program at all. Usage: bench/cli_timing.sh [path/to/velmoractl] (default: the
# release build); RUNS sets the number of runs (default 50).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-$root/build/release/src/velmoractl/velmoractl}
runs=${RUNS:-50}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home
unset XDG_CONFIG_HOME
export DBUS_SESSION_BUS_ADDRESS=unix:path=$home/no-bus

"$root/bench/bench_profile.sh" > "$home/bench.json"
"$tool" import "$home/bench.json" --offline > /dev/null
"$tool" profile switch Bench --offline > /dev/null

measure() {
  local label=$1
  shift
  hyperfine --shell=none --warmup 3 --runs "$runs" --style none --export-json "$home/run.json" \
    "$(printf '%q ' "$tool" "$@")" > /dev/null
  printf '%-52s %s\n' "$label" "$(sed -n 's/.*"mean": \([0-9.e-]*\),/\1/p; s/.*"median": \([0-9.e-]*\),/\1/p' "$home/run.json" |
    awk 'NR == 1 {mean = $1 * 1000} NR == 2 {printf "mean %6.2f ms   median %6.2f ms", mean, $1 * 1000}')"
}

measure "--json alone (start-up and help only)" --json
measure "status --offline (1,000 rules)" status --offline
measure "rule list --offline (1,000 rules)" rule list --offline
measure "test --offline App example.com:443 (1,000 rules)" test --offline App example.com:443
measure "status, no session bus" status
unset DBUS_SESSION_BUS_ADDRESS
measure "status, no bus address at all" status
