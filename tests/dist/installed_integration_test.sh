#!/usr/bin/env bash
# The desktop and service files as installed: the desktop entries pass desktop-file-validate,
# the units pass systemd-analyze verify (the user unit with a user manager's directories of its
# own, since the test machine may run no systemd), the server's unit stays hardened, and each
# bash completion answers.
set -uo pipefail
prefix=$1
source "$(dirname "$0")/dist_lib.sh"

# quiet COMMAND...: passes only when COMMAND succeeds and says nothing (warnings included).
quiet() {
    local out
    out=$("$@" 2>&1) && [ -z "$out" ] || fail "$* said: $out"
}

command -v desktop-file-validate >/dev/null || fail "desktop-file-validate is missing (desktop-file-utils)"
for entry in share/applications/io.sonavert.Sonavert.desktop \
    share/sonavert/autostart/io.sonavert.Sonavert.desktop; do
    [ -f "$prefix/$entry" ] || fail "$entry is not installed"
    quiet desktop-file-validate "$prefix/$entry"
done
# Opening a sonavert://pair link from an invitation starts (or reaches) the app with the link.
app_entry=$prefix/share/applications/io.sonavert.Sonavert.desktop
grep -qx 'MimeType=x-scheme-handler/sonavert;' "$app_entry" && grep -qx 'Exec=.* %u' "$app_entry" ||
    fail "the desktop entry does not hand sonavert:// links to the app"
echo "desktop entries: valid"

system_unit=$prefix/lib/systemd/system/sonavert-cloud.service
user_unit=$prefix/lib/systemd/user/sonavert.service
grep -qx "ExecStart=$prefix/bin/sonavert-cloud .*" "$system_unit" ||
    fail "the server unit does not start $prefix/bin/sonavert-cloud"
quiet systemd-analyze verify --man=no "$system_unit"
mkdir -m 700 "$scratch/runtime"
quiet env XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze verify --user --man=no "$user_unit"
# Exposure 0 (locked down) to 10 (unprotected), compared in tenths: the unit scores 1.6.
exposure=$(systemd-analyze security --offline=true --threshold=20 --no-pager "$system_unit" 2>&1) ||
    fail "the server unit is exposed beyond 2.0: $exposure"
echo "units: verified; server $(grep -o 'exposure level for [^:]*: [0-9.]*' <<<"$exposure")"

# complete_words FILE WORD...: what bash completes for the command line WORD... (the last word
# being completed).
complete_words() {
    local file=$1
    shift
    bash -c '
        source /usr/share/bash-completion/bash_completion
        source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        function=$(complete -p "$1" | sed -E "s/.* -F ([^ ]+) .*/\1/")
        "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        [ ${#COMPREPLY[@]} -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "
    ' complete_words "$file" "$@"
}
completions=$prefix/share/bash-completion/completions
[ -f /usr/share/bash-completion/bash_completion ] || fail "bash-completion is not installed"
check_completion() {
    local expected=$1 got
    shift
    got=$(complete_words "$@")
    [ "$got" = "$expected" ] || fail "completing '${*:2}' gave '$got', not '$expected'"
}
check_completion "--headless " "$completions/sonavert" sonavert --head
check_completion "pull push " "$completions/sonavertctl" sonavertctl p
check_completion "" "$completions/sonavertctl" sonavertctl status ""
check_completion "issue revoke " "$completions/sonavert-cloud" sonavert-cloud token ""
check_completion "add " "$completions/sonavert-cloud" sonavert-cloud --data-dir /tmp account ""
check_completion "development production " "$completions/sonavert-cloud" sonavert-cloud zone delete --environment ""
echo "completions: answer for sonavert, sonavertctl and sonavert-cloud"

for page in sonavert sonavertctl sonavert-shortcuts sonavert-cloud; do
    file=$prefix/share/man/man1/$page.1.gz
    text=$(gzip -dc "$file" 2>/dev/null) || fail "no man page $file"
    grep -q "^$page \\\\- " <<<"$text" || fail "$page.1 has no NAME line"
    grep -q "^Usage: $page " <<<"$text" || fail "$page.1 does not carry the program's usage"
    grep -q "/build/" <<<"$text" && fail "$page.1 names a build path"
done
echo "man pages: four, from the programs' help"
