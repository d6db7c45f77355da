# The example capture and lists through the Windows builds: the verdicts, the
# info log and the error log must be those of the Linux build, with CR LF
# line ends in the logs.
# shellcheck shell=bash

# replay_both LIST: runs the example capture with LIST through the Linux tool
# and through macgate.exe (configured by its options), in linux/ and windows/.
replay_both() {
    local list=$1 side
    for side in linux windows; do
        mkdir -p "$side"
    done
    linux_tool replay --list "$list" --info-log "$PWD/linux/info.log" \
        --error-log "$PWD/linux/error.log" "$EXAMPLE_CAPTURE" | verdicts_of >linux/out
    wine_run "$TOOL" replay --list "$(win_path "$list")" \
        --info-log "$(win_path "$PWD/windows/info.log")" \
        --error-log "$(win_path "$PWD/windows/error.log")" \
        "$(win_path "$EXAMPLE_CAPTURE")" | verdicts_of >windows/out
}

# expect_same_as_linux DIR: DIR/out, DIR/info.log and DIR/error.log (from a
# Windows run) agree with linux/ once line ends and log times are set aside.
expect_same_as_linux() {
    local dir=$1
    expect_same_text "verdicts" linux/out "$dir/out"
    expect_crlf_lines "$dir/info.log"
    expect_same_text "info log" <(masked_log linux/info.log) <(masked_log "$dir/info.log")
    if [ -s linux/error.log ]; then
        expect_crlf_lines "$dir/error.log"
    fi
    expect_same_text "error log" <(tr -d '\r' <linux/error.log) <(tr -d '\r' <"$dir/error.log")
}

case_example_replay() {
    local list
    for list in "${EXAMPLE_LISTS[@]}"; do
        echo "list $list"
        replay_both "$list"
        # Unless the list loaded on Linux, agreeing with it proves little.
        grep -q '^Successfully read mac addresses$' linux/info.log ||
            fail "the Linux run did not load $list"
        grep -qE ' (Allow|Deny)$' linux/out || fail "the Linux run gave no verdicts"
        expect_same_as_linux windows
    done
}

# The same run configured the way the DHCP server is: values under the
# server's Parameters key, set with reg.exe, and no options.
case_example_replay_registry() {
    local list=${EXAMPLE_LISTS[0]}
    replay_both "$list"
    mkdir registry
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$list")"
    reg_set CalloutInfoLogFile REG_SZ "$(win_path "$PWD/registry/info.log")"
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/registry/error.log")"
    wine_run "$TOOL" replay "$(win_path "$EXAMPLE_CAPTURE")" | verdicts_of >registry/out
    reg_clear
    expect_same_as_linux registry
}

# Options configure the library for one run through a private key that the
# process sees as HKEY_LOCAL_MACHINE: the server's own values are neither
# used nor changed, and nothing is left behind in HKEY_CURRENT_USER.
case_example_replay_private_configuration() {
    local allow=${EXAMPLE_LISTS[0]}
    mkdir linux windows server
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/server/error.log")"
    wine_run reg query "$PARAMS_KEY" >server-before
    wine_run reg export HKCU user-before.reg /y >/dev/null
    replay_both "$allow"
    expect_same_as_linux windows
    [ ! -e server/error.log ] || fail "the server's error log was written"
    wine_run reg query "$PARAMS_KEY" >server-after
    wine_run reg export HKCU user-after.reg /y >/dev/null
    expect_same_text "the server's Parameters key" server-before server-after
    cmp -s user-before.reg user-after.reg || fail "HKEY_CURRENT_USER changed"
}

# With no configuration at all the library writes ErrorFile.txt in the
# current folder and loads nothing: replay shows that log and exits 1.
case_replay_without_configuration() {
    local status=0
    wine_run "$TOOL" replay "$(win_path "$EXAMPLE_CAPTURE")" >out 2>err || status=$?
    [ "$status" -eq 1 ] || fail "replay without configuration exited $status, not 1"
    tr -d '\r' <out >out.lf
    grep -qx "The library's error log (ErrorFile.txt):" out.lf || fail "no ErrorFile.txt in: $(cat out.lf)"
    grep -qx "    Could Not Read Mac File From Registry" out.lf || fail "ErrorFile.txt not shown"
    grep -q "the library loaded no address" err || fail "nothing said on stderr: $(cat err)"
}

# An error log that cannot be opened ends start-up before the list is read:
# replay exits 1 and says why, with the files given as options and with the
# server's own configuration.
case_replay_error_log_unopenable() {
    local log status mode
    log="$(win_path "$PWD")\\no folder\\error.log"
    reg_set CalloutEnabled REG_DWORD 1
    reg_set CalloutDlls REG_MULTI_SZ "$(win_path "$DLL")"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    reg_set CalloutErrorLogFile REG_SZ "$log"
    for mode in --list --server; do
        status=0
        if [ "$mode" = --list ]; then
            wine_run "$TOOL" replay --list "$(win_path "$EXAMPLE_DENY_LIST")" --error-log "$log" \
                "$(win_path "$EXAMPLE_CAPTURE")" >out 2>err || status=$?
        else
            wine_run "$TOOL" replay --server "$(win_path "$EXAMPLE_CAPTURE")" >out 2>err || status=$?
        fi
        [ "$status" -eq 1 ] || fail "replay $mode exited $status, not 1: $(cat err)"
        tr -d '\r' <err | grep -qxF "macgate: the library loaded no address, so it served every client: it could not open its error log $log" ||
            fail "replay $mode does not say why: $(cat err)"
        verdicts_of out >verdicts
        expect_all_allowed verdicts
    done
}

register_case wine "example capture and lists: verdicts and logs as on Linux" case_example_replay
register_case wine "example capture, configured in the server's registry key" case_example_replay_registry
register_case wine "example capture with options: the server's values neither used nor changed" \
    case_example_replay_private_configuration
register_case wine "replay without configuration: ErrorFile.txt shown, exit 1" \
    case_replay_without_configuration
register_case wine "replay with an error log that cannot be opened: exit 1, and why" \
    case_replay_error_log_unopenable

# A file that is no library: the system's reason names the file, where
# Windows' own text holds a placeholder ("%1 is not a valid Win32
# application").
case_replay_not_a_library() {
    local status=0 library
    printf 'not a library\r\n' >notalib.dll
    library=$(win_path "$PWD/notalib.dll")
    wine_run "$TOOL" replay --library "$library" "$(win_path "$EXAMPLE_CAPTURE")" >out 2>err ||
        status=$?
    [ "$status" -eq 2 ] || fail "replay of no library exited $status, not 2: $(cat err)"
    tr -d '\r' <err | grep -qF "cannot load the callout library $library: " ||
        fail "replay does not name the library: $(cat err)"
    ! grep -q '%1' err || fail "the system's reason keeps its placeholder: $(cat err)"
    [ "$(tr -d '\r' <err | grep -o -F "$library" | wc -l)" -eq 2 ] ||
        fail "the reason does not name the library: $(cat err)"
}
register_case wine "replay of a file that is no library: the reason names it" case_replay_not_a_library
