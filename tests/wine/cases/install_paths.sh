# The paths that install.cmd refuses, by macgate.exe paths, and that status
# names: an existing program, script, library or other file as a log, one
# file under two names (a device path, a second drive letter, another
# spelling), characters and device names that no file name can be, a path
# longer than cmd passes on, and a log folder two levels deep. After each
# refusal the registry keys the scripts may write, every file and every folder of the case are as
# before. Then the grants of an install, an update and an uninstall against
# the stand-in icacls, which keeps access lists.
# shellcheck shell=bash

PATHS_GOLDEN="$root/tests/data/wine/install-paths.txt"

# name             | arguments: @F@ the files' folder, @W@ the case's, Y: the
#                  | files' folder again, @LONG@ a path of 300 characters
PATHS_ROWS='
program-log        | DLL DENY @F@\macgate.exe
script-log         | DLL DENY ERROR @F@\uninstall.cmd
library-log        | DLL DENY ERROR @F@\othercallout.dll
dll-log            | DLL DENY ERROR DLL
text-log           | DLL DENY ERROR @F@\notes.txt
device-path        | DLL DENY \\?\@F@\old.log
device-path-dot    | DLL DENY @F@\old.log \\.\@F@\old.log
second-drive       | DLL DENY @F@\old.log Y:\old.log
second-drive-list  | DLL DENY ERROR Y:\deny.txt
other-spelling     | DLL DENY @F@\old.log @F@\OLD.LOG.
star               | DLL DENY ERROR @W@\logs\a*b.log
question-mark      | DLL DENY ERROR @W@\logs\a?b.log
less-than          | DLL DENY @W@\logs\a<b.log
greater-than       | DLL DENY @W@\logs\a>b.log
bar                | DLL DENY ERROR @W@\logs\a|b.log
colon              | DLL DENY ERROR @W@\logs\a:b.log
device-nul         | DLL DENY ERROR @W@\logs\NUL.log
device-con         | DLL DENY @W@\logs\con
device-com         | DLL DENY ERROR @W@\com1\info.log
too-long           | DLL DENY ERROR @LONG@
two-levels         | DLL DENY @W@\new\logs\error.log
'

# What a row may not change: every folder, and every file with its bytes,
# but the case's own records.
paths_snapshot() {
    find . -mindepth 1 \( -path ./out -o -path ./standins -o -path ./prefix -o -name '*.reg' \
        -o -name run.cmd -o -name raw.out -o -path ./log \) -prune -o \( -type d -printf 'folder %p\n' \) -o \
        \( -type f -exec sha256sum {} + \) | sort
}

# The files' folder as drive Y: too, for as long as the case runs.
paths_second_drive() {
    ln -sfn "$files" "$WINEPREFIX/dosdevices/y:"
}

# A wineserver that starts again rewrites keys of its own under
# HKEY_LOCAL_MACHINE\System, which the rows compare: one runs for the whole case,
# once the one before it has ended.
paths_wineserver() {
    timeout 120 wineserver -w || fail "the Wine prefix's wineserver did not end"
    wineserver -p
}

case_install_paths() {
    local name arguments words word got f w long status_out i
    install_files
    trap 'rm -f "$WINEPREFIX/dosdevices/y:"; wineserver -k >/dev/null 2>&1 || true' EXIT
    paths_second_drive
    paths_wineserver
    f=$(win_path "$files") w=$(win_path "$PWD")
    long="$w\\$(printf 'l%.0s' $(seq 1 $((300 - ${#w} - 5))))\\e.log"
    cp "$root/windows/uninstall.cmd" "$files/"
    printf 'Action specified is : DENY\r\nSuccessfully read mac addresses\r\n' >"$files/old.log"
    printf 'the server room key is in the second drawer\r\n' >"$files/notes.txt"
    mkdir -p out
    reg_clear
    install_setup server
    registry_snapshot before.reg
    paths_snapshot >out/before.files
    : >out/all.txt
    while IFS='|' read -r name arguments; do
        name=${name// /}
        [ -n "$name" ] || continue
        echo "row $name"
        read -r -a words <<<"$arguments"
        for ((i = 0; i < ${#words[@]}; i++)); do
            # Quoted: an & in a replacement stands for what it replaces.
            word=${words[$i]//@F@/"$f"}
            word=${word//@W@/"$w"}
            words[i]=${word//@LONG@/"$long"}
        done
        got=0
        run_script install.cmd "out/$name.out" "${words[@]}" || got=$?
        { printf '== %s: exit %s\n' "$name" "$got"; cat "out/$name.out"; } >>out/all.txt
        [ "$got" -eq 1 ] || fail "row $name: install.cmd exited $got, not 1: $(cat "out/$name.out")"
        expect_same_registry "row $name"
        paths_snapshot >out/after.files
        expect_same_text "row $name: the files and folders" out/before.files out/after.files
    done <<<"$PATHS_ROWS"

    # status names the same faults in what is registered.
    reg_set CalloutDlls REG_MULTI_SZ "$(install_argument DLL)"
    reg_set CalloutEnabled REG_DWORD 1
    reg_set CalloutMacAddressListFile REG_SZ "$(install_argument DENY)"
    for name in program-log second-drive; do
        reg_set CalloutErrorLogFile REG_SZ "$f\\old.log"
        case $name in
            program-log) reg_set CalloutInfoLogFile REG_SZ "$f\\macgate.exe" ;;
            second-drive) reg_set CalloutInfoLogFile REG_SZ 'Y:\old.log' ;;
        esac
        got=0
        wine_run "$TOOL" status >raw.out 2>&1 || got=$?
        status_out=$(as_work <raw.out | as_arch | sed -E 's/[0-9]+ characters/N characters/')
        printf '== status, %s: exit %s\n%s\n' "$name" "$got" "$status_out" >>out/all.txt
        [ "$got" -eq 1 ] || fail "status, $name: exited $got, not 1"
    done
    paths_snapshot >out/after.files
    expect_same_text "status: the files and folders" out/before.files out/after.files
    expect_golden "install.cmd and status, refused paths" "$PATHS_GOLDEN" out/all.txt
}

# acl_line ITEM: the access list that the stand-in icacls keeps for ITEM.
acl_line() {
    tr -d '\r' <standins/acls.txt | grep -F "$1|" || true
}

case_install_grants() {
    local deny held step
    install_files
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    paths_wineserver
    reg_clear
    wine_run reg delete "$SAVED_KEY" /f >/dev/null 2>&1 || true
    install_setup server
    registry_snapshot before.reg
    # NETWORK SERVICE could read the list before the install, and keeps that.
    deny=$(install_argument DENY)
    held="$deny|*S-1-5-20:R;"
    printf '%s\n' "$held" >standins/acls.txt
    : >all-calls.txt
    : >grants.out
    for step in install update uninstall; do
        case $step in
            install) run_script install.cmd step.out DLL DENY ERROR INFO ;;
            update) run_script install.cmd step.out DLL DENY NEWERROR ;;
            uninstall) run_script uninstall.cmd step.out ;;
        esac || fail "$step failed: $(cat step.out)"
        { printf '== %s\n' "$step"; cat step.out; } >>grants.out
        sed -n '/^--- calls$/,$p' step.out >>all-calls.txt
        expect_eq "the list's access list after the $step" "$held" "$(acl_line "$deny")"
    done
    expect_golden "install.cmd and uninstall.cmd, grants" "$INSTALL_GOLDEN/grants.txt" grants.out
    # Each item is granted once.
    expect_eq "items granted twice" "" "$(grep ' /grant ' all-calls.txt | sort | uniq -d)"
    # Every access list is as before: the list's as it was, the others empty.
    expect_eq "access lists after the uninstall" "$held" \
        "$(tr -d '\r' <standins/acls.txt | grep -v '|$')"
    expect_eq "saved access lists left" "" "$(compgen -G "$files/macgate-acl-*" || true)"
    expect_same_registry "install, update and uninstall"
}

register_case wine "install.cmd and status: paths that are refused, and nothing changed" \
    case_install_paths
register_case wine "install.cmd and uninstall.cmd: each grant once, access lists put back" \
    case_install_grants
