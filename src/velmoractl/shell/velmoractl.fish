# fish completion for velmoractl. The tool itself says what may come next
# (velmoractl __complete WORDS…); this only hands its answer to fish.

function __velmoractl_complete
    # An empty word under the cursor is still one word to complete (commandline -ct gives no
    # element, or two empty ones, for it).
    set -l current (commandline -ct)
    set -q current[1]; or set current ''
    set -l words (commandline -opc) $current[1]
    set -l answer ($words[1] __complete $words[2..-1] 2>/dev/null)
    switch "$answer[1]"
        case files
            __fish_complete_path $current[1]
        case programs
            complete -C "$current[1]"
        case 'delegate *'
            # The program of "velmoractl run" completes its own arguments.
            set -l program (math (string replace 'delegate ' '' -- $answer[1]) + 2)
            complete -C (string join ' ' -- (string escape -- $words[$program..-2]) $current[1])
        case words
            printf '%s\n' $answer[2..-1]
    end
end

complete -c velmoractl -f -a '(__velmoractl_complete)'
