# Sourced by the whole-run timing scripts, which set root, tool, runs and home first: the
# 1,000-rule "Bench" profile made active in the scratch home, and hyperfine's mean and median of
# one run of the tool.

activate_bench_profile() {
  "$root/bench/bench_profile.sh" > "$home/bench.json"
  "$tool" import "$home/bench.json" --offline > /dev/null
  "$tool" profile switch Bench --offline > /dev/null
}

# measure LABEL ARGUMENTS…: one line with the label, the mean and the median.
measure() {
  local label=$1
  shift
  hyperfine --shell=none --warmup 3 --runs "$runs" --style none --export-json "$home/run.json" \
    "$(printf '%q ' "$tool" "$@")" > /dev/null
  printf '%-52s %s\n' "$label" "$(sed -n 's/.*"mean": \([0-9.e-]*\),/\1/p; s/.*"median": \([0-9.e-]*\),/\1/p' "$home/run.json" |
    awk 'NR == 1 {mean = $1 * 1000} NR == 2 {printf "mean %6.2f ms   median %6.2f ms", mean, $1 * 1000}')"
}
