# bash completion for qelconfig                                  -*- shell-script -*-
#
# Completes the commands, each command's options, setting key paths and, for `set`, the
# setting's allowed values. Key paths come from `qelconfig list --json`, allowed values from
# `qelconfig describe SETTING --json` and capability names from `qelconfig caps --json`, run
# as the qelconfig being completed (the command line's first word), so a build tree's tool
# completes its own settings. They run with both hives read-only (QELCONFIG_READONLY_HIVES), so
# completing never creates or changes a hive; their failure completes nothing.
# Needs nothing from the bash-completion package.

# The qelconfig on the command line, with a leading ~/ expanded.
_qelconfig_tool() {
    local tool=${COMP_WORDS[0]}
    if [[ $tool == "~/"* ]]; then
        tool=$HOME/${tool#"~/"}
    fi
    printf '%s\n' "$tool"
}

# JSON string text as it is: undoes the escapes of quotes and backslashes (the only ones a key
# path or an allowed value of a setting can hold).
_qelconfig_unescape() {
    sed -e 's/\\"/"/g' -e 's/\\\\/\\/g'
}

# Every setting's key path, one a line. `list --json` prints an array of objects, two spaces an
# indent, so each setting's own fields are the lines indented by four.
_qelconfig_keys() {
    QELCONFIG_READONLY_HIVES=user,machine "$(_qelconfig_tool)" list --json </dev/null 2>/dev/null |
        sed -n 's/^    "key": "\(.*\)",\{0,1\}$/\1/p' | _qelconfig_unescape
}

# The key paths and every key above a setting, ending in / (for `reset PREFIX/`).
_qelconfig_keys_and_prefixes() {
    local key prefix
    while IFS= read -r key; do
        printf '%s\n' "$key"
        prefix=$key
        while [[ $prefix == */* ]]; do
            prefix=${prefix%/*}
            printf '%s/\n' "$prefix"
        done
    done < <(_qelconfig_keys) | sort -u
}

# The values SETTING ($1) allows: its list of allowed values, or true and false for a bool.
_qelconfig_values() {
    local description
    description=$(QELCONFIG_READONLY_HIVES=user,machine "$(_qelconfig_tool)" describe "$1" --json \
        </dev/null 2>/dev/null) || return 0
    if printf '%s\n' "$description" | grep -q '^  "type": "bool",\{0,1\}$'; then
        printf '%s\n' true false
        return 0
    fi
    printf '%s\n' "$description" |
        sed -n '/^  "allowed": \[$/,/^  \],\{0,1\}$/s/^    "\(.*\)",\{0,1\}$/\1/p' |
        _qelconfig_unescape
}

# Capability names (capsLimit28), one a line.
_qelconfig_capabilities() {
    QELCONFIG_READONLY_HIVES=user,machine "$(_qelconfig_tool)" caps --json </dev/null 2>/dev/null |
        sed -n 's/^ *"name": "\(caps[A-Za-z0-9_]*\)",\{0,1\}$/\1/p'
}

# Adds to COMPREPLY the lines of standard input that start with $1, ignoring letter case (the
# tool reads key paths in any case).
_qelconfig_add_matching() {
    local typed=${1,,} word
    while IFS= read -r word; do
        if [[ ${word,,} == "$typed"* ]]; then
            COMPREPLY+=("$word")
        fi
    done
}

_qelconfig() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local commands="help list get set reset describe caps export import doctor info watch"
    local command="" word i
    local -a positionals=()
    local all=false

    # The command is the first word that is not an option; the words after it that are not
    # options (nor the argument of --mask) are its positional arguments.
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $command ]]; then
            [[ $word != -* ]] && command=$word
            continue
        fi
        case $word in
            --mask) ((i++)) ;;
            --all) all=true ;;
            --*) ;;
            *) positionals+=("$word") ;;
        esac
    done

    COMPREPLY=()
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            mapfile -t COMPREPLY < <(compgen -W "--help --version" -- "$cur")
        else
            mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        fi
        return 0
    fi

    # The argument of --mask is a number: nothing to offer.
    if [[ ${COMP_WORDS[COMP_CWORD - 1]} == --mask && $command == caps ]]; then
        return 0
    fi

    local options="--help"
    case $command in
        help) options+=" --json" ;;
        list) options+=" --changed --stored --wide --json" ;;
        get) options+=" --verbose --json" ;;
        set) options+=" --machine --json" ;;
        reset) options+=" --all --machine --json" ;;
        describe | info) options+=" --json" ;;
        caps) options+=" --mask --json" ;;
        export) options+=" --utf8 --utf16 --json" ;;
        import) options+=" --dry-run --json" ;;
        doctor) options+=" --repair --json" ;;
        watch) options+=" --json" ;;
        *) return 0 ;;
    esac
    if [[ $cur == -?* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
        return 0
    fi

    local position=${#positionals[@]}
    case $command in
        help)
            ((position == 0)) && mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
            ;;
        list | get | describe)
            ((position == 0)) && _qelconfig_add_matching "$cur" < <(_qelconfig_keys)
            ;;
        watch)
            _qelconfig_add_matching "$cur" < <(_qelconfig_keys)
            ;;
        set)
            if ((position == 0)); then
                _qelconfig_add_matching "$cur" < <(_qelconfig_keys)
            elif ((position == 1)); then
                _qelconfig_add_matching "$cur" < <(_qelconfig_values "${positionals[0]}")
            fi
            ;;
        reset)
            if ((position == 0)) && ! $all; then
                _qelconfig_add_matching "$cur" < <(_qelconfig_keys_and_prefixes)
                # A key above settings goes on with /: no space after it.
                if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} == */ ]]; then
                    compopt -o nospace 2>/dev/null
                fi
            fi
            ;;
        caps)
            if ((position == 0)); then
                _qelconfig_add_matching "$cur" < <(_qelconfig_capabilities)
            fi
            ;;
        export | import)
            if ((position == 0)); then
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                if [[ $command == import && -z $cur ]]; then
                    COMPREPLY+=("-")
                fi
            fi
            ;;
    esac
    # Nothing left to name: the options.
    if ((${#COMPREPLY[@]} == 0)) && [[ -n $options ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    fi
    return 0
}

complete -F _qelconfig qelconfig
