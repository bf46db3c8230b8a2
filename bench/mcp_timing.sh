#!/usr/bin/env bash
# Times velmoractl mcp serve with hyperfine on a profile of 1,000 rules, with no application: from
# starting the server to its answer to initialize (the process ends at the end of its input right
# after), and one tools/call of test_route and of list_rules inside one running server, from a
# run of CALLS calls less a run of initialize alone. Usage: bench/mcp_timing.sh [path/to/velmoractl]
# (default: the release build); RUNS sets the number of runs (default 30), CALLS the calls per run
# (default 100).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=${1:-$root/build/release/src/velmoractl/velmoractl}
runs=${RUNS:-30}
calls=${CALLS:-100}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home
unset XDG_CONFIG_HOME
export DBUS_SESSION_BUS_ADDRESS=unix:path=$home/no-bus

. "$root/bench/timing_common.sh"
activate_bench_profile

initialize='{"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2024-11-05"}}'
printf '%s\n' "$initialize" > "$home/initialize.jsonl"
for tool_call in test_route list_rules; do
  {
    printf '%s\n' "$initialize"
    for i in $(seq 1 "$calls"); do
      case $tool_call in
        test_route) arguments='{"app":"App","host":"example.com","port":443}' ;;
        list_rules) arguments='{}' ;;
      esac
      printf '{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"%s","arguments":%s}}\n' \
        "$i" "$tool_call" "$arguments"
    done
  } > "$home/$tool_call.jsonl"
done

# The median of one run of the server over a file of requests, in milliseconds.
median() {
  # hyperfine subtracts the cost of the shell that does the redirection.
  hyperfine --warmup 2 --runs "$runs" --style none --export-json "$home/run.json" \
    "$(printf '%q ' "$tool" mcp serve) < $(printf '%q' "$home/$1.jsonl")" > /dev/null 2>&1
  sed -n 's/.*"median": \([0-9.e-]*\),/\1/p' "$home/run.json" | awk '{printf "%.3f", $1 * 1000}'
}

start=$(median initialize)
printf '%-58s %8.2f ms\n' "start to the answer of initialize (then end of input)" "$start"
for tool_call in test_route list_rules; do
  total=$(median "$tool_call")
  printf '%-58s %8.3f ms\n' "one tools/call of $tool_call (1,000 rules; $calls per run)" \
    "$(awk -v t="$total" -v s="$start" -v n="$calls" 'BEGIN {print (t - s) / n}')"
done
