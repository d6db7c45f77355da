# The tables of decisions on lists with sections (tests/data/scopes/), sent
# through the DLL's packet hook with relay agent and interface addresses and
# options:
# the verdicts and the info log lines that name the deciding section, as the
# Linux load test checks them through libmacgate.so.
# shellcheck shell=bash

SCOPE_DATA="$root/tests/data/scopes"

# Each table: PREFIXlist.txt, its error log PREFIXerror.txt and the rows of
# PREFIXdecisions.txt.
scope_table() {
    local table=$1
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$SCOPE_DATA/${table}list.txt")"
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD/error.log")"
    reg_set CalloutInfoLogFile REG_SZ "$(win_path "$PWD/info.log")"
    wine_run "$PROBE" decide "$(win_path "$DLL")" "$(win_path "$SCOPE_DATA/${table}decisions.txt")" |
        tr -d '\r' >out
    local rows
    rows=$(grep -v '^#' "$SCOPE_DATA/${table}decisions.txt")
    expect_same_text "${table}verdicts" <(awk '{print $1, $2, $3, $4}' <<<"$rows") out
    local errors
    errors=$(cat "$SCOPE_DATA/${table}error.txt" && echo .)
    expect_crlf_file error.log "${errors%.}"
    expect_same_text "${table}decision lines" \
        <(awk '{print "TIME " $1 " " $4 ($5 == "-" ? "" : " " $5)}' <<<"$rows") \
        <(masked_log info.log | grep '^TIME ')
}

case_scope_decisions() {
    scope_table ""
}

register_case wine "sections decide by link selection, relay agent or interface address, longest prefix first" \
    case_scope_decisions

case_scope_closed() {
    scope_table closed-
}

register_case wine "a section line in error closes its network, an ALLOW section that loads nothing allows no one" \
    case_scope_closed

case_scope_unusable() {
    scope_table unusable-
}

register_case wine "a section line whose network cannot be read drops every client" case_scope_unusable

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
