# The table of decisions on a list with sections (tests/data/scopes/), sent
# through the DLL's packet hook with relay agent and interface addresses:
# the verdicts and the info log lines that name the deciding section, as the
# Linux load test checks them through libmacgate.so.
# shellcheck shell=bash

SCOPE_DATA="$root/tests/data/scopes"

case_scope_decisions() {
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$SCOPE_DATA/list.txt")"
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/error.log")"
    reg_set CalloutInfoLogFile REG_SZ "$(win_path "$PWD/info.log")"
    wine_run "$PROBE" decide "$(win_path "$DLL")" "$(win_path "$SCOPE_DATA/decisions.txt")" |
        tr -d '\r' >out
    local rows
    rows=$(grep -v '^#' "$SCOPE_DATA/decisions.txt")
    expect_same_text "verdicts" <(awk '{print $1, $2, $3, $4}' <<<"$rows") out
    expect_crlf_file error.log ''
    expect_same_text "decision lines" \
        <(awk '{print "TIME " $1 " " $4 ($5 == "-" ? "" : " " $5)}' <<<"$rows") \
        <(masked_log info.log | grep '^TIME ')
}

register_case wine "sections decide by relay agent or interface address, longest prefix first" \
    case_scope_decisions

# macgate.exe replays the example capture as received on an interface in a
# section, and names the section per client, as the Linux tool does.
case_scope_replay() {
    local status=0
    (cd "$root/tests/data/tool" && wine_run "$TOOL" replay --list sections-replay.txt \
        --error-log "$(win_path "$PWD/error.log")" --interface-address 10.1.2.9 \
        "$(win_path "$EXAMPLE_CAPTURE")") >out 2>&1 || status=$?
    expect_eq "exit status" 0 "$status"
    expect_same_text "replay" "$root/tests/data/tool/replay-sections.golden" <(tr -d '\r' <out)
}

register_case wine "replay names the section that decided for each client" case_scope_replay
