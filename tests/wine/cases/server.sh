# The hooks as the server calls them: its control events in every order, and
# packets from many threads at once, on the Windows C runtime's streams.
# shellcheck shell=bash

# Pause, continue, a second start while the info log is open (which keeps the
# open stream and writes its line), a second stop and an unknown code.
case_server_control_events() {
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/error.log")"
    reg_set CalloutInfoLogFile REG_SZ "$(win_path "$PWD/info.log")"
    wine_run "$PROBE" events "$(win_path "$DLL")" 3 1 3 4 1 2 2 4 5 | tr -d '\r' >out
    expect_eq "results of the control hook" \
        "$(printf '%s -> 0\n' 3 1 3 4 1 2 2 4 5)" "$(cat out)"
    expect_crlf_file info.log "$(printf '%s\n' 'Action specified is : DENY' \
        'Successfully read mac addresses' 'The DHCP server has successfully started.' \
        'The DHCP server has been paused.' 'The DHCP server has been continued.' \
        'The DHCP server has successfully started.' \
        'The DHCP server has successfully stopped.')"$'\n'
}

# The example capture two hundred times over, replayed on eight threads: the
# verdicts are those of one thread, and every info log line is whole.
case_server_threads() {
    {
        head -c 24 "$EXAMPLE_CAPTURE"
        for _ in $(seq 200); do tail -c +25 "$EXAMPLE_CAPTURE"; done
    } >repeated.pcap
    linux_tool replay --list "$EXAMPLE_DENY_LIST" --info-log "$PWD/linux.log" \
        --error-log "$PWD/linux-error.log" repeated.pcap | verdicts_of >linux.out
    wine_run "$TOOL" replay --threads 8 --list "$(win_path "$EXAMPLE_DENY_LIST")" \
        --info-log "$(win_path "$PWD/info.log")" --error-log "$(win_path "$PWD/error.log")" \
        "$(win_path "$PWD/repeated.pcap")" | verdicts_of >out
    # Only the thread count in the summary differs.
    expect_same_text "verdicts" <(sed 's/ on 1 thread:/ on 8 threads:/' linux.out) out
    expect_crlf_lines info.log
    expect_same_text "info log lines, in any order" <(masked_log linux.log | sort) \
        <(masked_log info.log | sort)
    grep -q 'replayed on 8 threads' out || fail "the replay did not use 8 threads"
}

register_case wine "control events in every order give their info log lines" case_server_control_events
register_case wine "packets on eight threads: same verdicts, whole info log lines" case_server_threads
