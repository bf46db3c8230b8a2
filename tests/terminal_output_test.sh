#!/usr/bin/env bash
# The tool's listings on a terminal (run under script(1), which gives them a pseudo-terminal) are
# byte for byte what they are in a pipe, with or without NO_COLOR; waiting shows on standard error
# only when that is a terminal.
# Usage: terminal_output_test.sh VELMORACTL
set -euo pipefail
tool=$1
command -v script >/dev/null || { echo "script is not installed"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME=$scratch TERM=xterm
unset XDG_CONFIG_HOME DBUS_SESSION_BUS_ADDRESS NO_COLOR
"$tool" proxy add Clash 127.0.0.1 7890 >/dev/null
"$tool" route set com.tencent.xinWeChat proxy:clash >/dev/null
"$tool" rule add Off --app Safari --action block >/dev/null
"$tool" rule disable Off >/dev/null
"$tool" export -o "$scratch/profile.json" >/dev/null

failures=0
# What the command line writes to a terminal, with the terminal's line ends made plain again.
on_terminal() {
  script -q -e -c "$1" /dev/null | sed 's/\r$//'
}
for words in "rule list" "profile list" "proxy list" "status" "test com.tencent.xinWeChat weixin.qq.com" \
  "rule list --json" "mcp clients" "env list" "help"; do
  piped=$("$tool" $words)
  for environment in "" "NO_COLOR=1"; do
    shown=$(on_terminal "$environment '$tool' $words 2>/dev/null")
    if [ "$shown" != "$piped" ]; then
      printf 'FAIL %s %s differs on a terminal:\n%s\n--- piped:\n%s\n' "$environment" "$words" "$shown" "$piped"
      failures=$((failures + 1))
    fi
  done
done

# Waiting is shown on a terminal and erased; a pipe gets nothing of it.
for words in "import $scratch/profile.json" "proxy discover"; do
  errors=$("$tool" $words 2>&1 >/dev/null)
  if [ -n "$errors" ]; then
    printf 'FAIL %s wrote to a piped standard error: %q\n' "$words" "$errors"
    failures=$((failures + 1))
  fi
  shown=$(on_terminal "'$tool' $words >/dev/null")
  if [[ $shown != *"正在"*"…"* || $shown != *$'\e[K' ]]; then
    printf 'FAIL %s showed no erased progress on a terminal: %q\n' "$words" "$shown"
    failures=$((failures + 1))
  fi
done
exit $((failures > 0))
