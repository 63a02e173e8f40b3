# bash completion for qvr: the commands and options as `qvr --help` lists
# them (so they never fall behind the tool), paths, and the entry names of
# the archive already named on the command line.

# Prints "OPTION TAKES_VALUE" for every option of a command's help: CLI11
# writes a value's type in capitals right after the option ("-C,--directory TEXT").
_qvr_options() {
    "$1" "$2" --help 2>/dev/null | awk '
        /^Options:/ { on = 1; next }
        /^[^ ]/ { on = 0 }
        on && /^  -/ {
            value = match($0, /^  -[^ ]+ [A-Z][A-Z:]+( |$)/) ? 1 : 0
            n = split($1, forms, ",")
            for (i = 1; i <= n; i++) print forms[i], value
        }'
}

# Completes $cur from the names stored in archive $2, read with `qvr list`
# (in encoding $3 when given), one folder level at a time as paths complete.
# A word with a '/' is completed with '/' (qvr takes both separators); an
# open quote stays open through folders and is closed after a name.
_qvr_entry_names() {
    local qvr=$1 archive=$2 encoding=$3 name want quote= bs='\' sep='\' rest level close special folders=0
    [[ $archive == - ]] && return
    archive=$(dequote "$archive")
    __expand_tilde_by_ref archive
    if [[ $cur == \'* && ${cur:1} != *\'* ]]; then
        quote="'" want=${cur:1}
    elif [[ $cur == \"* && ${cur:1} != *\"* ]]; then
        quote='"' want=${cur:1}
        want=${want//"$bs$bs"/"$bs"}
    else
        want=$(dequote "$cur")
    fi
    if [[ $want == */* ]]; then
        sep=/ want=${want//\\//}
    fi
    local -A seen=()
    while IFS= read -r name; do
        [[ $sep == / ]] && name=${name//\\//}
        [[ $name == "$want"* ]] || continue
        rest=${name:${#want}}
        level=$name
        [[ $rest == *"$sep"* ]] && level=$want${rest%%"$sep"*}$sep
        [[ -n ${seen[$level]-} ]] && continue
        seen[$level]=1
        close=$quote
        [[ $level == *"$sep" ]] && folders=1 close=
        case $quote in
            "'") COMPREPLY+=("'$level$close") ;;
            '"')
                for special in "$bs" '$' '`' '"'; do level=${level//"$special"/"$bs$special"}; done
                COMPREPLY+=("\"$level$close")
                ;;
            *) printf -v level '%q' "$level" && COMPREPLY+=("$level") ;;
        esac
    done < <("$qvr" list -q ${encoding:+--encoding "$encoding"} "$archive" 2>/dev/null)
    ((folders)) && compopt -o nospace 2>/dev/null
    return 0
}

_qvr() {
    local cur prev words cword
    _init_completion || return
    local qvr=${words[0]} command= command_at=0 i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            command=${words[i]} command_at=$i
            break
        fi
    done

    # The commands as `qvr --help` lists them, and help.
    local commands
    commands="$("$qvr" --help 2>/dev/null | awk '
        /^Subcommands:/ { on = 1; next }
        /^[^ ]/ { on = 0 }
        on && /^  [a-z]/ { sub(/,$/, "", $1); print $1 }') help"
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W '--help --version' -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    if [[ $command == help ]]; then
        ((cword == command_at + 1)) && COMPREPLY=($(compgen -W "${commands% help}" -- "$cur"))
        return
    fi

    local -A takes_value=()
    local option value
    while read -r option value; do
        takes_value[$option]=$value
    done < <(_qvr_options "$qvr" "$command")

    if [[ $prev == -* && ${takes_value[$prev]} == 1 ]]; then
        case $prev in
            -C | --directory) _filedir -d ;;
            -T | --files-from) _filedir ;;
            --encoding) COMPREPLY=($(compgen -W 'CP932 SHIFT_JIS EUC-JP UTF-8 GBK BIG5 CP949' -- "$cur")) ;;
        esac
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "${!takes_value[*]}" -- "$cur"))
        return
    fi

    # The positional words so far, skipping options and their values.
    local positional=() encoding=
    for ((i = command_at + 1; i < cword; i++)); do
        case ${words[i]} in
            --encoding=*) encoding=${words[i]#*=} ;;
            -*)
                if [[ ${takes_value[${words[i]}]} == 1 ]]; then
                    [[ ${words[i]} == --encoding ]] && encoding=${words[i + 1]}
                    ((i++))
                fi
                ;;
            *) positional+=("${words[i]}") ;;
        esac
    done

    if ((${#positional[@]} == 0)); then
        if [[ $command == unmount ]]; then _filedir -d; else _filedir; fi  # the mount point, or the archive
        return
    fi
    case $command in
        list | l | extract | x | delete | d | diff) _qvr_entry_names "$qvr" "${positional[0]}" "$encoding" ;;
        rename) ((${#positional[@]} == 1)) && _qvr_entry_names "$qvr" "${positional[0]}" "$encoding" ;;
        mount) _filedir -d ;;
        create | c | add | a) _filedir ;;
    esac
} &&
    complete -F _qvr qvr
