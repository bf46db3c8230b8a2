#!/usr/bin/env bash
# Loads the completion of one shell in that shell and asks it for candidates, with the built
# velmoractl first on PATH and a scratch home holding a store.
# Usage: shell_completion_test.sh bash|zsh|fish VELMORACTL SHELL_DIRECTORY
set -euo pipefail
shell=$1 tool=$(realpath "$2") scripts=$(realpath "$3")
command -v "$shell" >/dev/null || { echo "$shell is not installed"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
ln -s "$tool" "$scratch/bin/velmoractl"
export HOME=$scratch PATH="$scratch/bin:$PATH"
unset XDG_CONFIG_HOME DBUS_SESSION_BUS_ADDRESS
velmoractl --offline profile create Work >/dev/null
velmoractl --offline proxy add Clash 127.0.0.1 7890 >/dev/null

failures=0
expect() {  # description, expected, actual
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}

case $shell in
bash)
    [ -f /usr/share/bash-completion/bash_completion ] || { echo "bash-completion is not installed"; exit 77; }
    # Completes the line as typed: the words bash would see, the last one under the cursor.
    complete_bash() {
        bash --norc --noprofile -c '
            source /usr/share/bash-completion/bash_completion
            source "$1"; shift
            COMP_LINE=$1; COMP_POINT=${#COMP_LINE}; shift
            COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
            _velmoractl velmoractl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            printf "%s\n" "${COMPREPLY[@]}"' bash "$scripts/velmoractl.bash" "$@"
    }
    expect "the completion is registered" "complete -F _velmoractl velmoractl" \
        "$(bash --norc --noprofile -c 'source /usr/share/bash-completion/bash_completion
            source "$1"; complete -p velmoractl' bash "$scripts/velmoractl.bash")"
    expect "command words" "profile
proxy" "$(complete_bash 'velmoractl pro' velmoractl pro | sort)"
    expect "profile names" "Work" "$(complete_bash 'velmoractl profile switch W' velmoractl profile switch W)"
    expect "proxy names after proxy:" "Clash" \
        "$(complete_bash 'velmoractl route set firefox proxy:C' velmoractl route set firefox proxy : C)"
    expect "rule names with spaces" 'App:\ firefox' \
        "$(velmoractl --offline route set firefox direct >/dev/null
           complete_bash 'velmoractl rule rm Ap' velmoractl rule rm Ap)"
    expect "the program of run" "velmoractl" "$(complete_bash 'velmoractl run velmoract' velmoractl run velmoract)"
    expect "the program's own completion" "switch" \
        "$(complete_bash 'velmoractl run velmoractl profile sw' velmoractl run velmoractl profile sw)"
    ;;
zsh)
    zsh -n "$scripts/_velmoractl"
    expect "compinit picks the function up" "_velmoractl" \
        "$(zsh -f -c 'fpath=("$1" $fpath); autoload -Uz compinit; compinit -u -d "$HOME/zcompdump"
            print -r -- ${_comps[velmoractl]}' zsh "$scripts")"
    # Runs the function on the words given, the last under the cursor, and prints what it
    # offers (compadd stands in for the completion system's own).
    complete_zsh() {
        zsh -f -c 'fpath=("$1" $fpath); shift; autoload -Uz _velmoractl
            compadd() { zparseopts -D -E S:=suffix a=arrays; local name; for name; do print -rl -- ${(P)name}; done }
            words=("$@"); CURRENT=$#; _velmoractl' zsh "$scripts" "$@"
    }
    expect "command words" "profile
proxy" "$(complete_zsh velmoractl pro)"
    expect "profile names" "Work" "$(complete_zsh velmoractl profile switch W)"
    expect "proxy names after proxy:" "proxy:Clash" "$(complete_zsh velmoractl route set firefox proxy:C)"
    expect "quoted words are read unquoted" "App: firefox" \
        "$(velmoractl --offline route set firefox direct >/dev/null
           complete_zsh velmoractl rule rm "'App: f'")"
    ;;
fish)
    complete_fish() {
        fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$scripts/velmoractl.fish" "$1"
    }
    expect "command words" "profile
proxy" "$(complete_fish 'velmoractl pro' | sort)"
    expect "profile names" "Work" "$(complete_fish 'velmoractl profile switch W')"
    expect "every sub-command after a space" "create
list
rename
rm
switch" "$(complete_fish 'velmoractl profile ' | sort)"
    expect "proxy names after proxy:" "proxy:Clash" "$(complete_fish 'velmoractl route set firefox proxy:C')"
    expect "options of a command" "--follow" "$(complete_fish 'velmoractl logs --fol')"
    expect "the program's own completion" "switch" "$(complete_fish 'velmoractl run velmoractl profile sw')"
    ;;
esac
exit $((failures > 0))
