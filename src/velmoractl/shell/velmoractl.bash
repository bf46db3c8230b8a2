# bash completion for velmoractl. The tool itself says what may come next
# (velmoractl __complete WORDS…); this only hands its answer to bash.

_velmoractl() {
    local cur prev words cword
    # Keep "proxy:Clash" one word although bash breaks words at colons.
    _init_completion -n : || return

    local -a answer
    mapfile -t answer < <("${words[0]}" __complete "${words[@]:1:cword}" 2>/dev/null)
    case ${answer[0]-} in
    files)
        _filedir
        ;;
    programs)
        mapfile -t COMPREPLY < <(compgen -c -- "$cur")
        ;;
    "delegate "*)
        # The program of "velmoractl run" completes its own arguments.
        _command_offset $((${answer[0]#delegate } + 1))
        ;;
    words)
        local candidate
        COMPREPLY=()
        for candidate in "${answer[@]:1}"; do
            printf -v candidate '%q' "$candidate"
            COMPREPLY+=("$candidate")
        done
        # "proxy:", "chain:" and "interface:" are the start of a word, not a whole one.
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *: ]] && compopt -o nospace
        __ltrim_colon_completions "$cur"
        ;;
    esac
} && complete -F _velmoractl velmoractl
