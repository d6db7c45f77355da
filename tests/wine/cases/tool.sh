# macgate.exe's list commands against the Linux tool's golden output: check
# through the C runtime's text mode, import of text and CSV read in binary,
# export, and the generated help.
# shellcheck shell=bash

TOOL_DATA="$root/tests/data/tool"

# same_as_golden NAME STATUS ARGUMENTS...: macgate.exe run in the golden
# files' folder exits STATUS and prints NAME.golden, with CR LF line ends.
same_as_golden() {
    local name=$1 expected=$2 status=0
    shift 2
    (cd "$TOOL_DATA" && wine_run "$TOOL" "$@") >"$name.out" 2>&1 || status=$?
    [ "$status" -eq "$expected" ] || fail "macgate.exe $* exited $status, not $expected"
    expect_crlf_lines "$name.out"
    expect_same_text "macgate.exe $*" "$TOOL_DATA/$name.golden" <(tr -d '\r' <"$name.out")
}

case_tool_list_commands() {
    same_as_golden check-messy 1 check messy-list.txt remark-after-header.txt
    same_as_golden check-note-encoding 1 check note-byte-order-mark.txt \
        note-utf16-little-endian.txt note-utf16-big-endian.txt
    same_as_golden check-note-cannot-open 2 check no-such-list.txt ..
    same_as_golden import-messy 1 import messy-addresses.txt windows-filter.csv inventory.csv
    same_as_golden export-messy 1 export --windows-filter messy-list.txt
    same_as_golden check-sections 1 check sections.txt
    same_as_golden check-sections-closed 1 check sections-closed.txt
    same_as_golden check-sections-nested 0 check sections-nested.txt
    same_as_golden export-sections 1 export --windows-filter sections.txt --scope 10.1.2.0/24
    same_as_golden help-import 0 import --help
}

register_case wine "macgate.exe checks, imports and exports lists as the Linux tool does" \
    case_tool_list_commands
