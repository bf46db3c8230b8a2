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

. "$root/bench/timing_common.sh"
activate_bench_profile

measure "--json alone (start-up and help only)" --json
measure "status --offline (1,000 rules)" status --offline
measure "rule list --offline (1,000 rules)" rule list --offline
measure "test --offline App example.com:443 (1,000 rules)" test --offline App example.com:443
measure "status, no session bus" status
unset DBUS_SESSION_BUS_ADDRESS
measure "status, no bus address at all" status
