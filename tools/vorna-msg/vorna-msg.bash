# bash completion for vorna-msg: commands, their options, and the names that servers listen on.

_vorna_msg_names() {
    vorna-msg list 2>/dev/null | awk '{ print $1 }'
}

_vorna_msg() {
    local current previous command options
    current=${COMP_WORDS[COMP_CWORD]}
    previous=${COMP_WORDS[COMP_CWORD - 1]}
    if ((COMP_CWORD == 1)); then
        COMPREPLY=($(compgen -W "list call listen serve bench demo --help --version" -- "$current"))
        return
    fi
    command=${COMP_WORDS[1]}
    case $previous in
        --timeout | --count | --notify-every | --code | --value | --data | --reply | --clients | --size | --seconds)
            return ;;
    esac
    case $command in
        list) options="--json --quiet --help" ;;
        call) options="--hex --json --timeout --quiet --help" ;;
        listen) options="--count --json --reconnect --timeout --quiet --help" ;;
        serve) options="--reply --notify-every --code --value --data --quiet --help" ;;
        bench) options="--clients --size --seconds --json --quiet --help" ;;
        demo) options="--quiet --help" ;;
        *) return ;;
    esac
    if [[ $current == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$current"))
    elif ((COMP_CWORD == 2)) && [[ $command == call || $command == listen || $command == serve ]]; then
        COMPREPLY=($(compgen -W "$(_vorna_msg_names)" -- "$current"))
    fi
}

complete -F _vorna_msg vorna-msg
