# The share modes of the C runtime's _fsopen as the library uses them: the
# logs and the list let readers in but no writer, and a reader that lets
# others write never keeps a log from opening.
# shellcheck shell=bash

# The library's own opens of one file, inside one start-up: the info log
# cannot be opened while start-up holds the error log on the same file, so
# nothing is loaded and every client is let through.
case_share_logs_on_one_file() {
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/both.log")"
    reg_set CalloutInfoLogFile REG_SZ "$(win_path "$PWD/both.log")"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    replay_registry out
    expect_all_allowed out
    expect_crlf_lines both.log
    ! grep -qE 'Action specified|Successfully read' both.log ||
        fail "the list was loaded although the info log could not be opened"
    # Linux emulates the share modes: the same file must come out.
    # It loads nothing either, which replay tells by exit status 1.
    linux_tool replay --list "$EXAMPLE_DENY_LIST" --error-log "$PWD/linux.log" \
        --info-log "$PWD/linux.log" "$EXAMPLE_CAPTURE" >linux-replay.out 2>/dev/null ||
        [ $? -eq 1 ] || fail "the Linux replay failed"
    verdicts_of linux-replay.out >linux.out
    expect_same_text "verdicts" linux.out out
    expect_same_text "the shared log" <(masked_log linux.log) <(masked_log both.log)
}

# The list file cannot be opened while start-up holds the log of the same
# name: "Could not open the data file".
case_share_list_is_a_log() {
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/error.log")"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$PWD/error.log")"
    replay_registry out
    expect_all_allowed out
    expect_crlf_file error.log $'Could not open the data file\n'

    cp "$EXAMPLE_DENY_LIST" info.log
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/error.log")"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$PWD/info.log")"
    reg_set CalloutInfoLogFile REG_SZ "$(win_path "$PWD/info.log")"
    replay_registry out
    expect_all_allowed out
    expect_crlf_file error.log $'Could not open the data file\n'
    # Start-up truncated the info log; the server's start and stop wrote to it.
    expect_crlf_lines info.log
    expect_eq "first info log line" "The DHCP server has successfully started." \
        "$(head -n 1 info.log | tr -d '\r')"
    expect_eq "last info log line" "The DHCP server has successfully stopped." \
        "$(tail -n 1 info.log | tr -d '\r')"
    cp "$EXAMPLE_DENY_LIST" linux.log
    linux_tool replay --list "$PWD/linux.log" --error-log "$PWD/linux-error.log" \
        --info-log "$PWD/linux.log" "$EXAMPLE_CAPTURE" >linux-replay.out 2>/dev/null ||
        [ $? -eq 1 ] || fail "the Linux replay failed"
    verdicts_of linux-replay.out >linux.out
    expect_same_text "verdicts" linux.out out
    expect_same_text "the info log" <(masked_log linux.log) <(masked_log info.log)
}

# While the server runs, its info log is open for appending: another process
# may read it but not write it. After start-up the error log is closed again.
case_share_running_server() {
    local info error server_status=0
    info=$(win_path "$PWD/info.log")
    error=$(win_path "$PWD/error.log")
    reg_set CalloutErrorLogFile REG_SZ "$error"
    reg_set CalloutInfoLogFile REG_SZ "$info"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    # However the case ends, the server stops.
    trap 'touch "$PWD/stop"' EXIT
    wine_run "$PROBE" serve "$(win_path "$DLL")" "$(win_path "$PWD/stop")" >server.out &
    local server=$!
    wait_for_line server.out started
    reg_clear

    local outcome
    outcome=$(wine_run "$PROBE" open "$info" a denyno | tr -d '\r' || true)
    expect_eq "a second process appending to the info log" refused "$outcome"
    outcome=$(wine_run "$PROBE" open "$info" w denyno | tr -d '\r' || true)
    expect_eq "a second process truncating the info log" refused "$outcome"
    # A reader gets in, and sees every line so far: each was flushed when written.
    outcome=$(wine_run "$PROBE" open "$info" r denyno | tr -d '\r' || true)
    expect_eq "a second process reading the info log" \
        "$(printf '%s\n' opened 'Action specified is : DENY' \
            'Successfully read mac addresses' 'The DHCP server has successfully started.')" \
        "$outcome"
    outcome=$(wine_run "$PROBE" open "$error" a denyno | tr -d '\r' || true)
    expect_eq "a second process writing the error log after start-up" opened "$outcome"

    touch stop
    wait "$server" || server_status=$?
    [ "$server_status" -eq 0 ] || fail "wineprobe serve exited $server_status: $(cat server.out)"
    expect_crlf_file info.log "$(printf '%s\n' 'Action specified is : DENY' \
        'Successfully read mac addresses' 'The DHCP server has successfully started.' \
        'The DHCP server has successfully stopped.')"$'\n'
}

# A log viewer holds the info log open while the library starts, reading
# and letting others read and write: the list loads and filters all the
# same, and the viewer reads, through that open, every line written.
case_share_viewer_holds_info_log() {
    local viewer viewer_status=0
    printf 'from the last run\r\n' >info.log
    trap 'touch "$PWD/seen"' EXIT
    wine_run "$PROBE" view "$(win_path "$PWD/info.log")" "$(win_path "$PWD/seen")" >viewer.out &
    viewer=$!
    wait_for_line viewer.out viewing
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/error.log")"
    reg_set CalloutInfoLogFile REG_SZ "$(win_path "$PWD/info.log")"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    replay_registry out
    expect_deny_list_verdicts out
    expect_crlf_file error.log ''
    expect_eq "first info log line" "Action specified is : DENY" "$(head -n 1 info.log | tr -d '\r')"

    touch seen
    wait "$viewer" || viewer_status=$?
    [ "$viewer_status" -eq 0 ] || fail "wineprobe view exited $viewer_status: $(cat viewer.out)"
    tail -n +2 viewer.out >viewed
    expect_same_text "what the viewer read" <(masked_log info.log) <(masked_log viewed)
}

register_case wine "share modes: error log and info log on one file" case_share_logs_on_one_file
register_case wine "share modes: the list file is one of the logs" case_share_list_is_a_log
register_case wine "share modes: a running server's info log takes readers, not writers" case_share_running_server
register_case wine "share modes: a log viewer holding the info log keeps nothing from loading" \
    case_share_viewer_holds_info_log
