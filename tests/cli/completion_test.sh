#!/usr/bin/env bash
# The manual page and the shell completions, against the built tool:
#   tests/cli/completion_test.sh TOOL SOURCE_DIR
# - doc/qelconfig.1 renders with groff without a warning, and documents every command and
#   option the tool's --help lists;
# - completions/qelconfig.bash, sourced in a clean bash and called as bash calls it
#   (COMP_WORDS, COMP_CWORD), offers the commands, each command's options, every setting's key
#   path (in any letter case), prefixes for reset, allowed values for set, capability names and
#   files, never creates a hive, and offers nothing (without a word on stderr) when the tool
#   cannot be run;
# - completions/_qelconfig is valid zsh, knows every command, and its helpers read the same key
#   paths and values from the tool.
# Needs groff and zsh (scripts/install-packages.sh test). The hives are files in a temporary
# directory; the completions must not even create them.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 TOOL SOURCE_DIR" >&2
    exit 2
fi
tool=$(realpath "$1")
source_dir=$(realpath "$2")
page=$source_dir/doc/qelconfig.1
bash_script=$source_dir/completions/qelconfig.bash
zsh_script=$source_dir/completions/_qelconfig

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export QELCONFIG_USER_HIVE=$scratch/hives/user.hive
export QELCONFIG_MACHINE_HIVE=$scratch/hives/machine.hive
unset QELCONFIG_READONLY_HIVES QELCONFIG_SYNC
mkdir -p "$scratch/hives"

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    printf 'FAILED: %s\n' "$*" >&2
}
# check DESCRIPTION COMMAND...: passes when COMMAND succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass; else fail "$what"; fi
}
# Whether the lines of $1 include $2 exactly.
has_line() { grep -qxF -- "$2" <<<"$1"; }
# Whether the lines of $1 are exactly the words $2..., in any order.
same_set() {
    local got=$1
    shift
    [ "$(sort <<<"$got")" = "$(printf '%s\n' "$@" | sort)" ]
}

for program in groff zsh; do
    if ! command -v "$program" >/dev/null; then
        echo "$program is missing: scripts/install-packages.sh test installs it" >&2
        exit 1
    fi
done

# What the tool itself says it has: its commands and each command's long options.
tool_commands=$("$tool" --help 2>/dev/null |
    sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\)  .*/\1/p')
if [ -z "$tool_commands" ]; then
    echo "the tool lists no command in its --help" >&2
    exit 1
fi
tool_options() {
    "$tool" "$1" --help 2>/dev/null |
        sed -n '/^Options:/,/^$/s/^  \(-[a-zA-Z],\)\{0,1\}\(--[a-z0-9][a-z0-9-]*\).*/\2/p'
}
settings_json=$("$tool" list --json 2>/dev/null)
setting_count=$(grep -c '^    "id": ' <<<"$settings_json")
rm -f "$scratch"/hives/*
check "list --json names the settings" [ "$setting_count" -gt 50 ]

# --- Manual page -----------------------------------------------------------------------------
warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
check "groff warns about doc/qelconfig.1: $warnings" [ -z "$warnings" ]
rendered=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)
commands_section=$(sed -n '/^COMMANDS$/,/^EXIT STATUS$/p' <<<"$rendered")
check "the page has a COMMANDS section" [ -n "$commands_section" ]
for command in $tool_commands; do
    check "the page's COMMANDS lack $command" \
        grep -qE "^       $command( |$)" <<<"$commands_section"
    for option in $(tool_options "$command"); do
        if [ "$option" = --help ]; then
            check "the page lacks --help" grep -qE "^       --help( |$)" <<<"$rendered"
        else
            check "the page's synopsis lacks $command $option" \
                grep -qE "^       qelconfig $command .*[[{ ]$option([]} ]|$)" <<<"$rendered"
        fi
    done
done
for variable in QELCONFIG_USER_HIVE QELCONFIG_MACHINE_HIVE QELCONFIG_READONLY_HIVES \
    QELCONFIG_SYNC; do
    check "the page lacks $variable" grep -qx "       $variable" <<<"$rendered"
done

# --- bash --------------------------------------------------------------------------------------
# complete_with TOOL WORD...: what the completion offers for the last word, one a line. Runs in a
# bash without start-up files, as bash runs a completion function; anything on stderr fails.
complete_with() {
    local program=$1
    shift
    local errors=$scratch/stderr
    bash --norc --noprofile -c '
        script=$1
        shift
        source "$script" || exit 1
        complete -p qelconfig >/dev/null || exit 1
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        _qelconfig qelconfig "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" || exit 1
        printf "%s\n" "${COMPREPLY[@]}"
    ' bash "$bash_script" "$program" "$@" 2>"$errors"
    local status=$?
    if [ -s "$errors" ] || [ $status -ne 0 ]; then
        fail "bash completion of '$*' exited with $status: $(cat "$errors")"
    fi
}
offer() { complete_with "$tool" "$@"; }

offered=$(offer "")
for command in $tool_commands help list get set reset describe caps export import doctor info \
    watch; do
    check "bash completion does not offer the command $command" has_line "$offered" "$command"
done
check "bash completion of --v" same_set "$(offer --v)" --version
check "bash completion of a command's start" same_set "$(offer de)" describe
check "bash completion of a command after --help" has_line "$(offer --help "")" list

for command in $tool_commands; do
    offered=$(offer "$command" --)
    for option in $(tool_options "$command"); do
        check "bash completion of '$command --' lacks $option" has_line "$offered" "$option"
    done
done
check "bash completion of list options" \
    same_set "$(offer list --)" --help --changed --stored --wide --json
check "bash completion of reset options" \
    same_set "$(offer reset --)" --help --all --machine --json
check "bash completion of export options" \
    same_set "$(offer export --u)" --utf8 --utf16

offered=$(offer get "")
check "bash completion of 'get' offers $(wc -l <<<"$offered") key paths, not $setting_count" \
    [ "$(wc -l <<<"$offered")" -eq "$setting_count" ]
check "bash completion of 'get' lacks UI/ButtonStylesDlg/Type" \
    has_line "$offered" UI/ButtonStylesDlg/Type
check "bash completion of a key path" \
    same_set "$(offer describe UI/ButtonStylesDlg/Ty)" UI/ButtonStylesDlg/Type
check "bash completion of a key path in other letters" \
    same_set "$(offer get ui/buttonstylesdlg/t)" UI/ButtonStylesDlg/Type
check "bash completion of a key path after an option" \
    same_set "$(offer get --json UI/BurnToD)" UI/BurnToDisk
check "bash completion of a second setting to watch" \
    same_set "$(offer watch 59 UI/ButtonStylesDlg/Ty)" UI/ButtonStylesDlg/Type
check "bash completion offers a second setting to get" [ -z "$(offer get 59 UI/B)" ]

check "bash completion of allowed values" \
    same_set "$(offer set UI/ButtonStylesDlg/Type "")" 1 2 4 8 16 32 63
check "bash completion of allowed values, setting by id, after --machine" \
    same_set "$(offer set --machine 59 1)" 1 16
check "bash completion of a bool's values" same_set "$(offer set ui/burntodisk "")" true false
check "bash completion of an unknown setting's values" \
    same_set "$(offer set No/Such/Setting "")" --help --machine --json

offered=$(offer reset UI/ButtonStylesDlg/F)
check "bash completion of reset: $offered" \
    same_set "$offered" UI/ButtonStylesDlg/Frame/ UI/ButtonStylesDlg/Frame/Bottom \
    UI/ButtonStylesDlg/Frame/Left UI/ButtonStylesDlg/Frame/Right UI/ButtonStylesDlg/Frame/Top
check "bash completion of reset offers a prefix" has_line "$(offer reset "")" UI/
check "bash completion after reset --all offers a setting" [ -z "$(offer reset --all UI/B)" ]

check "bash completion of capabilities" has_line "$(offer caps capsLimit2)" capsLimit28
check "bash completion after --mask" [ -z "$(offer caps --mask "")" ]

mkdir -p "$scratch/files"
touch "$scratch/files/settings.reg"
offered=$(offer import "$scratch/files/s")
check "bash completion of import's file" same_set "$offered" "$scratch/files/settings.reg"
offered=$(cd "$scratch/files" && offer import "")
check "bash completion of import offers - and files" same_set "$offered" - settings.reg
check "bash completion of help's command" same_set "$(offer help ex)" export

check "bash completion created a hive" [ -z "$(ls -A "$scratch/hives")" ]

missing_tool=$(complete_with "$scratch/no-such-qelconfig" get "")
check "bash completion with no tool offers more than the options: $missing_tool" \
    same_set "$missing_tool" --help --verbose --json
check "bash completion with no tool lacks the commands" \
    has_line "$(complete_with "$scratch/no-such-qelconfig" "")" list

# --- zsh ---------------------------------------------------------------------------------------
check "zsh -n completions/_qelconfig" zsh -n "$zsh_script"
# Sourced (not autoloaded) the file only defines its functions.
zsh_run() {
    zsh -f -c 'source "$1" || exit 1; shift; "$@"' zsh "$zsh_script" "$@" 2>"$scratch/stderr"
    local status=$?
    if [ -s "$scratch/stderr" ] || [ $status -ne 0 ]; then
        fail "zsh $* exited with $status: $(cat "$scratch/stderr")"
    fi
}
check "zsh key paths" [ "$(zsh_run _qelconfig_keys "$tool")" = "$(complete_with "$tool" get "")" ]
check "zsh allowed values" \
    same_set "$(zsh_run _qelconfig_values "$tool" UI/ButtonStylesDlg/Type)" 1 2 4 8 16 32 63
check "zsh bool values" same_set "$(zsh_run _qelconfig_values "$tool" 18)" true false
check "zsh capabilities" has_line "$(zsh_run _qelconfig_capabilities "$tool")" capsLimit28
zsh_commands=$(sed -n "/^    commands=(/,/^    )/s/^        ['\"]\([a-z-]*\):.*/\1/p" "$zsh_script")
for command in $tool_commands help info; do
    check "zsh completion lacks the command $command" has_line "$zsh_commands" "$command"
done
# The options of the command in its branch of the case statement; --json and --help come with
# $json.
zsh_branch() {
    sed -n "/^ \{16\}$1)\$/,/^ \{20\};;\$/p" "$zsh_script" | sed 's/\$json/--json[ --help[/'
}
for command in $tool_commands; do
    branch=$(zsh_branch "$command")
    check "zsh completion has no branch for $command" [ -n "$branch" ]
    for option in $(tool_options "$command"); do
        check "zsh completion of $command lacks $option" grep -qF -- "$option[" <<<"$branch"
    done
done
check "zsh completion created a hive" [ -z "$(ls -A "$scratch/hives")" ]

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
