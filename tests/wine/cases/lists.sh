# The list file through the C runtime's text mode: a list written with CR LF
# line ends loads exactly as the same list with LF, and a byte 0x1A ends the
# data, as on Linux, where the platform layer reads the same way.
# shellcheck shell=bash

LIST_DATA="$root/tests/data/wine/mixed-list.txt"

# check_list DIR: macgate check on DIR/list.txt, from DIR, so the summary
# names the file alike everywhere; Linux into DIR/linux, Windows DIR/windows.
check_list() {
    local dir=$1 status=0
    (cd "$dir" && "$LINUX_TOOL" check list.txt >linux) || status=$?
    [ "$status" -eq 1 ] || fail "Linux check of $dir/list.txt exited $status, not 1"
    status=0
    (cd "$dir" && wine_run "$TOOL" check list.txt | tr -d '\r' >windows) || status=$?
    [ "$status" -eq 1 ] || fail "Windows check of $dir/list.txt exited $status, not 1"
}

case_list_line_ends() {
    local dir
    mkdir lf crlf lf-eof crlf-eof
    cp "$LIST_DATA" lf/list.txt
    perl -pe 's/\n/\r\n/' "$LIST_DATA" >crlf/list.txt
    # Whatever follows a byte 0x1A is not part of the data.
    printf '%s\x1a5254006a0110\n' "$(cat lf/list.txt)" >lf-eof/list.txt
    printf '%s\x1a5254006a0110\r\n' "$(cat crlf/list.txt)" >crlf-eof/list.txt
    # Bytes that text mode leaves alone: 0xFF, a NUL inside a line, a lone CR.
    mkdir bytes
    { cat lf/list.txt; printf '\n\xff5254006a0111\n5254006a01\x0012\n5254006a0113\r5254006a0114\n'; } >bytes/list.txt
    for dir in lf crlf lf-eof crlf-eof bytes; do
        check_list "$dir"
        expect_same_text "check of $dir/list.txt, Windows against Linux" "$dir/linux" "$dir/windows"
        [ "$dir" = bytes ] ||
            expect_same_text "check of $dir/list.txt against lf/list.txt" lf/linux "$dir/windows"
    done
    grep -q 'action DENY, 4 addresses and 0 prefixes loaded, 6 messages on 6 lines' lf/linux ||
        fail "unexpected summary: $(tail -n 1 lf/linux)"

    # The library itself, through macgate.exe replay: same logs and verdicts.
    for dir in lf crlf; do
        wine_run "$TOOL" replay --list "$(win_path "$PWD/$dir/list.txt")" \
            --error-log "$(win_path "$PWD/$dir/error.log")" \
            --info-log "$(win_path "$PWD/$dir/info.log")" \
            "$(win_path "$EXAMPLE_CAPTURE")" | verdicts_of >"$dir/replay"
        expect_crlf_lines "$dir/error.log"
    done
    expect_same_text "replay with the CR LF list" lf/replay crlf/replay
    expect_same_text "error log with the CR LF list" lf/error.log crlf/error.log
    expect_same_text "info log with the CR LF list" <(masked_log lf/info.log) <(masked_log crlf/info.log)
    # The error log holds the errors check printed, there with the loader's
    # own line numbers.
    expect_same_text "error log against check" <(sed -n 's/^list\.txt:[0-9]*: error: //p' lf/linux) \
        <(tr -d '\r' <lf/error.log | sed 's/ on line number [0-9]*//; s/^Line Number [0-9]* /Line /')
}

register_case wine "a list with CR LF line ends loads as with LF; 0x1A ends the data" case_list_line_ends
