#!/usr/bin/env bash
# The macgate tool as an administrator runs it: the example capture and
# lists, every kind of bad argument and file, and libraries that break the
# host contract.
#
#   run-tool-tests.sh TOOL SOURCE_DIR FAKE_LIBRARY_DIR
set -uo pipefail

tool=$1
source=$2
fakes=$3
examples=$source/examples
expected=$source/tests/data/tool
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/lib/cases.sh
. "$source/tests/lib/cases.sh"

# expect STATUS TEXT -- ARGUMENTS: runs the tool, checks its exit status and
# that TEXT appears in its standard output or error.
expect() {
    local status=$1 text=$2
    shift 3
    "$tool" "$@" >"$work/out" 2>&1
    local got=$?
    if [ "$got" -ne "$status" ]; then
        fail "macgate $* exited $got, not $status"
        sed 's/^/      /' "$work/out"
    elif ! grep -qF -- "$text" "$work/out"; then
        fail "macgate $*: no '$text' in"
        sed 's/^/      /' "$work/out"
    else
        pass "macgate $*"
    fi
}

# Arguments.
expect 2 "Usage: macgate [OPTIONS] SUBCOMMAND" --
expect 0 "Usage: macgate [OPTIONS] SUBCOMMAND" -- --help
expect 0 "Usage: macgate [OPTIONS] SUBCOMMAND" -- help
expect 0 "Usage: macgate check [OPTIONS] LIST..." -- check -h
expect 0 "macgate 1.0.0.1" -- --version
expect 2 "unknown command 'list'" -- list x
expect 2 "CAPTURE is required" -- replay
expect 2 "CAPTURE is required" -- replay --threads 2
expect 2 "--list: 1 required LIST missing" -- replay x.pcap --list
expect 2 "--list: needs a value" -- replay --list "" x.pcap
# The order in which CLI11 names what it did not expect differs between its
# releases.
expect 2 "--lists" -- replay --lists a x.pcap
expect 2 "not expected: b.pcap" -- replay a.pcap b.pcap
for threads in 0 65 -1 x 1x 1000; do
    expect 2 "--threads takes a number from 1 to 64, not '$threads'" -- replay --threads "$threads" x
done
expect 2 "LIST is required" -- check
expect 2 "not expected: --x" -- check --x a
expect 2 "--action: deni not in {allow,deny}" -- import --action deni
expect 2 "--windows-filter is required" -- export
expect 2 "DLL is required" -- inspect
expect 2 "--machine: arm64 not in {x86,x64}" -- inspect --machine arm64 x.dll
expect 2 "cannot be read: No such file or directory" -- inspect --machine x64 "$work/none.dll"
expect 1 "is no Windows library: it does not begin as a program or library does (MZ)" \
    -- inspect --machine x64 "$examples/allow-list.txt"
expect 2 "not expected: b" -- export --windows-filter a b

# Capture files that cannot be replayed.
capture=$examples/dhcp.pcap
expect 2 "no-such.pcap: cannot open the capture file" -- replay "$work/no-such.pcap"
expect 2 "not a capture file" -- replay "$examples/allow-list.txt"
: >"$work/empty.pcap"
expect 2 "not a capture file: it holds only 0 bytes" -- replay "$work/empty.pcap"
head -c 5000 "$capture" >"$work/truncated.pcap"
expect 2 "truncated: frame 14 needs 342 bytes" -- replay "$work/truncated.pcap"
head -c 30 "$capture" >"$work/header-only.pcap"
expect 2 "truncated: the header of frame 1" -- replay "$work/header-only.pcap"
cp "$capture" "$work/linux-sll.pcap"
printf '\161' | dd of="$work/linux-sll.pcap" bs=1 seek=20 conv=notrunc status=none
expect 2 "link type 113 is not supported" -- replay "$work/linux-sll.pcap"
# The first frame, with only 100 of its 342 bytes captured.
{
    head -c 32 "$capture"
    printf '\144\000\000\000\126\001\000\000'
    dd if="$capture" bs=1 skip=40 count=100 status=none
} >"$work/snapped.pcap"
expect 2 "frame 1 is cut short: it holds 58 of the 300 bytes of its DHCP message" \
    -- replay "$work/snapped.pcap"
# Nothing is loaded for a capture that cannot be read: no log appears.
expect 2 "truncated" -- replay --error-log "$work/never.log" "$work/truncated.pcap"
[ ! -e "$work/never.log" ] || fail "the library was loaded for an unreadable capture"

# A list the library could not read is refused before it is loaded; the
# messages of a list with bad lines follow the verdicts.
expect 2 "cannot read the list file $work/no-such-list.txt" \
    -- replay --list "$work/no-such-list.txt" "$capture"
printf 'MAC_ACTION = {ALLOW}\n5254006a0101\n52:54:00:6a:01:02\n' >"$work/one-bad-line.txt"
# Two replays in a row: start-up writes the same messages anew, and they show
# after each.
for run in first second; do
    expect 0 "3 allowed, 12 denied" \
        -- replay --list "$work/one-bad-line.txt" --error-log "$work/error.log" "$capture"
    tail -2 "$work/out" | diff - <(printf "The library's error log (%s):\n    %s\n" \
        "$work/error.log" "Line Number 3 Not In Proper Format") ||
        fail "the $run replay does not show the error log"
done

# Libraries that are not callout libraries, or break the contract.
expect 2 "cannot load the callout library $work/none.so" -- replay --library "$work/none.so" "$capture"
expect 2 "exports no DhcpServerCalloutEntry" \
    -- replay --library "$fakes/libfake_callout_no_entry.so" "$capture"
expect 1 "DhcpServerCalloutEntry wrote slot 5, which belongs to the server" \
    -- replay --library "$fakes/libfake_callout_writes_slot5.so" "$capture"
expect 1 "DhcpNewPktHook left the process flag at 2122219134 for frame 1" \
    -- replay --library "$fakes/libfake_callout_flag_unset.so" "$capture"

# check on the example lists and on broken ones.
expect 0 "allow-list.txt: action ALLOW, 2 addresses and 0 prefixes loaded, 0 messages on 0 lines" \
    -- check "$examples/allow-list.txt"
expect 0 "action DENY, 2 addresses and 0 prefixes loaded, 0 messages on 0 lines" \
    -- check "$examples/deny-list.txt"
printf 'MAC_ACTION = {DENY}\n001a2b3c4d5e\n001a2b3c4d\n' >"$work/bad-lines.txt"
expect 1 "action DENY, 1 address and 0 prefixes loaded, 1 message on 1 line" \
    -- check "$work/bad-lines.txt"
grep -qx "$work/bad-lines.txt:3: error: Mac Address 001a2b3c4d not of proper format" "$work/out" ||
    fail "check: no message for line 3"
printf 'MAC_ACTION = {ALLOW}\n001a2b*\n5254006a01*\n001A2B*\n525400*\n' >"$work/prefixes.txt"
expect 1 "action ALLOW, 0 addresses and 3 prefixes loaded, 2 messages on 2 lines" \
    -- check "$work/prefixes.txt"
printf 'MAC_ACTION = {ALLOW}\n001a2b*\n001a2b3c4d5e\n00*1a\n' >"$work/prefix-bad.txt"
expect 1 "action ALLOW, 1 address and 1 prefix loaded, 2 messages on 2 lines" \
    -- check "$work/prefix-bad.txt"
printf '# no header line\n001a2b3c4d5e\n' >"$work/no-header.txt"
expect 1 "no-header.txt: no address loaded, 2 messages on 1 line" -- check "$work/no-header.txt"
grep -qx "$work/no-header.txt: error: File format not proper" "$work/out" ||
    fail "check: no 'File format not proper'"
: >"$work/empty.txt"
expect 1 "empty.txt:1: error: Nothing in the file" -- check "$work/empty.txt"
expect 2 "no-such-list.txt: error: Could not open the data file" -- check "$work/no-such-list.txt"
expect 2 "cannot read the list file" -- check "$work"
# Several lists: each has its summary, and the worst status wins.
expect 2 "cannot read the list file $work/no-such-list.txt" \
    -- check "$examples/allow-list.txt" "$work/no-such-list.txt" "$work/bad-lines.txt"
grep -q "allow-list.txt: action ALLOW" "$work/out" && grep -q "bad-lines.txt: action DENY" "$work/out" ||
    fail "check with three lists does not sum up each"
expect 1 "deny-list.txt: action DENY" -- check "$examples/deny-list.txt" "$work/bad-lines.txt"

# Texts that are golden files: each command's help, and what check, import
# and export make of messy input. MACGATE_UPDATE_GOLDEN=1 rewrites them.
golden() {
    local name=$1 status=$2
    shift 3
    (cd "$expected" && "$tool" "$@") >"$work/golden" 2>&1
    expect_golden "$name" "$status" $? "$*"
}
# expect_golden NAME STATUS GOT WHAT: $work/golden holds NAME.golden and the
# run exited STATUS.
expect_golden() {
    local name=$1 status=$2 got=$3 what=$4
    if [ -n "${MACGATE_UPDATE_GOLDEN:-}" ]; then
        cp "$work/golden" "$expected/$name.golden"
    fi
    if [ "$got" -ne "$status" ]; then
        fail "macgate $what exited $got, not $status"
    elif ! diff -u "$expected/$name.golden" "$work/golden"; then
        fail "macgate $what: output differs from $name.golden"
    else
        printf 'ok    macgate %s\n' "$what"
    fi
}
golden help 0 -- --help
for command in check replay import export inspect; do
    golden "help-$command" 0 -- "$command" --help
done
golden check-messy 1 -- check messy-list.txt remark-after-header.txt
# Each kind of note that says what to write instead of a line the server
# cannot use.
golden check-note-digits 1 -- check note-digits.txt
golden check-note-remarks 1 -- check note-remarks.txt
golden check-note-action 1 -- check note-action.txt
golden check-note-cr-line-ends 1 -- check note-cr-line-ends.txt
golden check-note-before-header 1 -- check note-before-header.txt note-no-header.txt
golden check-note-encoding 1 -- check note-byte-order-mark.txt note-utf16-little-endian.txt \
    note-utf16-big-endian.txt
golden check-note-cannot-open 2 -- check no-such-list.txt ..
# Sections: their errors, the four warnings and a summary line each.
golden check-sections 1 -- check sections.txt
# Sections that close their networks or allow no one, a list that a section
# line makes unusable, and a section inside another, which is meant.
golden check-sections-closed 1 -- check sections-closed.txt
golden check-sections-unusable 1 -- check sections-unusable.txt
golden check-sections-nested 0 -- check sections-nested.txt
golden import-messy 1 -- import messy-addresses.txt windows-filter.csv inventory.csv
golden import-deny 0 -- import --action deny windows-filter.csv
golden export-messy 1 -- export --windows-filter messy-list.txt
# A header whose remark may contradict its word gives no action; a switch's
# table with its headings and total, and wildcards with fewer groups; a
# prefix ending inside a byte and a long remark for the built-in filter.
golden import-header-remark 1 -- import header-with-remark.txt
golden import-header-remark-action 0 -- import --action allow header-with-remark.txt
golden import-switch-table 0 -- import switch-table.txt wildcards.txt
golden export-filter-patterns 0 -- export --windows-filter filter-patterns.txt
expect 0 "site-list.txt:10: section 10.1.2.0/24: action ALLOW, 1 address and 1 prefix loaded" \
    -- check "$examples/site-list.txt"
expect 0 "site-list.txt: note: in kea-dhcp6 the 2 sections apply to DHCPv4 only" \
    -- check --dhcpv6 "$examples/site-list.txt"
# A list with sections: replayed as received on an interface in one of them,
# and one section exported; without --scope export names the sections.
golden replay-sections 0 -- replay --list sections-replay.txt --error-log "$work/sections.log" \
    --interface-address 10.1.2.9 "$capture"
golden export-sections 1 -- export --windows-filter sections.txt --scope 10.1.2.0/24
expect 2 "has sections (10.1.2.0/24, 10.20.0.0/16, 10.1.2.128/25), and the built-in filter is server-wide: pick one with --scope NETWORK" \
    -- export --windows-filter "$expected/sections.txt"
expect 2 "has no section 10.9.0.0/16" -- export --windows-filter "$expected/sections.txt" --scope 10.9.0.0/16
expect 1 "nothing to export" -- export --windows-filter "$expected/sections.txt" --scope server-wide
golden export-site-server-wide 0 -- export --windows-filter "$examples/site-list.txt" --scope server-wide
expect 2 "--interface-address takes an IPv4 address as 10.1.2.7, not '10.1.2'" \
    -- replay --interface-address 10.1.2 "$capture"
# import from standard input, and inputs it cannot use at all.
printf '00:1a:2b:3c:4d:5e front desk\r\n' | "$tool" import 2>&1 |
    diff - <(printf 'MAC_ACTION = {ALLOW}\n001a2b3c4d5e  # front desk\n') ||
    fail "import from standard input"
printf '\377\376M\000A\000' >"$work/utf16.txt"
expect 1 "utf16.txt:1: the file is UTF-16 text; save it as UTF-8 or ASCII" -- import "$work/utf16.txt"
printf 'nothing here\n' >"$work/no-address.txt"
expect 1 "no hardware address found: no list written" -- import "$work/no-address.txt"
expect 2 "cannot read $work/no-such-file.csv" -- import "$work/no-address.txt" "$work/no-such-file.csv"
expect 2 "cannot read the list file $work/no-such-list.txt" -- export --windows-filter "$work/no-such-list.txt"
expect 1 "loads no address: nothing to export" -- export --windows-filter "$work/no-header.txt"
# What import writes, check finds clean; export and import again give it back.
(cd "$expected" && "$tool" import messy-addresses.txt windows-filter.csv inventory.csv) \
    >"$work/imported.txt" 2>/dev/null
expect 0 "0 messages on 0 lines" -- check "$work/imported.txt"
"$tool" export --windows-filter "$work/imported.txt" 2>/dev/null >"$work/exported.csv"
"$tool" import "$work/exported.csv" 2>/dev/null | diff -u "$work/imported.txt" - ||
    fail "export and import again change the list"

# The example capture and lists: the verdicts each list implies, the same
# on four threads, and the info log holding one line per decision.
for list in allow deny; do
    logs=$work/$list
    mkdir -p "$logs"
    "$tool" replay --list "$examples/$list-list.txt" --error-log "$logs/error.log" \
        --info-log "$logs/info.log" "$capture" >"$logs/out" 2>&1
    status=$?
    if [ "$status" -ne 0 ] || ! diff -u "$expected/replay-$list.txt" "$logs/out"; then
        fail "replay with the $list list (exit $status)"
    else
        printf 'ok    replay with the %s list\n' "$list"
    fi
    [ ! -s "$logs/error.log" ] || fail "replay with the $list list wrote to the error log"
    # Info log: action, summary, start, one decision per request, stop.
    sed -E 's/^.* ([0-9a-f]{12}) (Allow|Deny)$/\1 \2/' "$logs/info.log" >"$logs/info.short"
    {
        printf 'Action specified is : %s\nSuccessfully read mac addresses\n' "${list^^}"
        printf 'The DHCP server has successfully started.\n'
        awk '$3 == "frame" { print $5, $7 }' "$expected/replay-$list.txt"
        printf 'The DHCP server has successfully stopped.\n'
    } >"$logs/info.expected"
    diff -u "$logs/info.expected" "$logs/info.short" || fail "info log of the $list replay"

    "$tool" replay --threads 4 --list "$examples/$list-list.txt" --error-log "$logs/error.log" \
        "$capture" >"$logs/threads" 2>&1
    sed 's/on 1 thread:/on 4 threads:/' "$expected/replay-$list.txt" |
        diff -u - "$logs/threads" || fail "replay on four threads with the $list list"
done

# status and replay --server read the server's registry values, for which
# the environment stands in here ("CalloutDlls" entries separated by ':').
# Each row: exit status, a text the output holds, CalloutEnabled,
# CalloutDlls, the list (- for none), then the command. LIB is the built
# library, FAKE_ a fake from tests/tool.
lib=$(dirname "$tool")/libmacgate.so
printf 'MAC_ACTION = {ALLOW}\n001c23*\n' >"$work/prefix-only.txt"
server_rows="
0|macgate will filter with this list|1|LIB|deny|status
1|CalloutEnabled is not 1|0|LIB|deny|status
1|CalloutEnabled  a REG_SZ, not a REG_DWORD|yes|LIB|deny|status
1|the list loads no address|1|LIB|empty|status
1|the list loads no address: it is UTF-16 text|1|LIB|utf16|status
1|start-up finds no list path|1|LIB|-|status
2|cannot tell whether macgate will filter: the list cannot be read|1|LIB|dir|status
0|macgate will filter with this list|1|LIB|prefix|status
0|sections-replay.txt:4: section 10.1.2.0/24: action ALLOW, 0 addresses and 1 prefix loaded|1|LIB|sections|status
0|5254006b0201         3        3       0  -|1|LIB|sections|replay --server $capture
0|is no callout library: it exports no DhcpServerCalloutEntry|1|FAKE_no_entry:LIB|deny|status
1|2. $work/none.so: does not exist|1|FAKE_no_entry:$work/none.so|deny|status
1|2. LIB/x.so: does not exist|1|FAKE_no_entry:LIB/x.so|deny|status
2|not expected: now|1|LIB|deny|status now
0|9 allowed, 6 denied|1|$work/none.so:FAKE_no_entry:FAKE_entry_fails:LIB|deny|replay --server $capture
0|passed over FAKE_entry_fails: DhcpServerCalloutEntry returned 1, not 0|1|FAKE_entry_fails:LIB|deny|replay --server $capture
0|ChainDlls: LIB /b.so; version 0|1|FAKE_prints_chain:LIB:/b.so|deny|replay --server $capture
0|    Line Number 3 Not In Proper Format|1|LIB|bad|replay --server $capture
1|macgate: the library loaded no address, so it served every client|1|LIB|empty|replay --server $capture
1|    Could Not Read Mac File From Registry|1|LIB|-|replay $capture
1|macgate: the library loaded no address, so it served every client|1|LIB|-|replay $capture
2|CalloutEnabled is not 1: the server loads no callout library|0|LIB|deny|replay --server $capture
2|no entry of CalloutDlls loads and returns 0|1|$work/none.so|deny|replay --server $capture
2|--server uses the library and files that the server's configuration names|1|LIB|deny|replay --server --list x $capture
"
while IFS='|' read -r status text enabled dlls list command; do
    [ -n "$status" ] || continue
    expand() { sed -e "s|FAKE_\([a-z_]*\)|$fakes/libfake_callout_\1.so|g" -e "s|LIB|$lib|g" <<<"$1"; }
    read -r -a words <<<"$command"
    (
        export CalloutEnabled=$enabled CalloutDlls
        CalloutDlls=$(expand "$dlls")
        export CalloutErrorLogFile=$work/server-error.log
        [ "$list" = - ] || export CalloutMacAddressListFile=$examples/$list-list.txt
        [ "$list" != empty ] || CalloutMacAddressListFile=$work/empty.txt
        [ "$list" != bad ] || CalloutMacAddressListFile=$work/one-bad-line.txt
        [ "$list" != dir ] || CalloutMacAddressListFile=$work
        [ "$list" != prefix ] || CalloutMacAddressListFile=$work/prefix-only.txt
        [ "$list" != sections ] || CalloutMacAddressListFile=$expected/sections-replay.txt
        [ "$list" != utf16 ] || CalloutMacAddressListFile=$expected/note-utf16-little-endian.txt
        before=$failures
        expect "$status" "$(expand "$text")" -- "${words[@]}"
        [ "$failures" -eq "$before" ]
    ) || failures=$((failures + 1))
done <<<"$server_rows"

# status names the first section that does not decide as written, and exits 1.
for list in sections-closed sections-unusable; do
    (
        export CalloutEnabled=1 CalloutDlls=$lib CalloutMacAddressListFile=$expected/$list.txt
        export CalloutErrorLogFile=$work/server-error.log
        unset CalloutInfoLogFile
        "$tool" status
    ) >"$work/raw" 2>&1
    got=$?
    sed -e "s|$expected|DIR|g" -e "s|$work|WORK|g" -e "s|$lib|LIB|g" \
        -E -e 's/[0-9]+ characters: "(DIR|WORK)/N characters: "\1/' "$work/raw" >"$work/golden"
    expect_golden "status-$list" 1 "$got" "status with $list.txt"
done

# status --kea, asked through a socket that answers as kea-dhcp4 does with a
# list whose sections do not decide as written, names them and exits 1.
if command -v python3 >/dev/null; then
    python3 "$(dirname "$0")/fake-kea-socket.py" "$work/kea.sock" "$expected/kea-closed" 2 \
        >"$work/fake-kea" 2>&1 &
    for _ in $(seq 50); do [ -S "$work/kea.sock" ] && break; sleep 0.1; done
    "$tool" status --kea "$work/kea.sock" >"$work/raw" 2>&1
    got=$?
    wait
    sed -e "s|$work|WORK|g" "$work/raw" >"$work/golden"
    expect_golden status-kea-closed 1 "$got" "status --kea with closed sections"
else
    skip "status --kea with closed sections" "no python3 to stand in for Kea"
fi

# With no error log configured, the library writes ErrorFile.txt in the
# current folder, and replay shows it.
mkdir "$work/no-configuration"
(
    cd "$work/no-configuration" || exit 1
    unset CalloutErrorLogFile CalloutMacAddressListFile CalloutInfoLogFile
    before=$failures
    expect 1 "The library's error log (ErrorFile.txt):" -- replay "$capture"
    grep -qx "    Could not read ErrorLog file from registry" "$work/out" ||
        fail "replay does not show ErrorFile.txt"
    [ "$failures" -eq "$before" ]
) || failures=$((failures + 1))

# An error log that cannot be opened ends start-up before the list is read:
# replay says so and exits 1, whether its options or the server name the log.
expect 1 "the library loaded no address, so it served every client: it could not open its error log $work/no folder/error.log" -- \
    replay --list "$examples/deny-list.txt" --error-log "$work/no folder/error.log" "$capture"
(
    export CalloutEnabled=1 CalloutDlls=$lib CalloutMacAddressListFile=$examples/deny-list.txt
    export CalloutErrorLogFile="$work/no folder/error.log"
    before=$failures
    expect 1 "the library loaded no address, so it served every client: it could not open its error log $work/no folder/error.log" -- \
        replay --server "$capture"
    [ "$failures" -eq "$before" ]
) || failures=$((failures + 1))

# status run by an unprivileged user beside logs it may append to but not
# read, in a folder it may write (as the service may write its logs' folder):
# each is found to exist, never taken for missing, and left as it was,
# byte for byte and in its mode.
shared=$work/shared
chmod 711 "$work"
mkdir -m 777 "$shared"
cp "$examples/deny-list.txt" "$shared/list.txt"
: >"$shared/error.log"
printf 'Action specified is : DENY\n' >"$shared/info.log"
chmod 644 "$shared/list.txt"
chmod 622 "$shared/error.log" "$shared/info.log"
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
if [ "$(id -u)" -ne 0 ]; then
    skip "status with write-only logs" "only root can run it as nobody"
elif ! "${as_nobody[@]}" test -x "$tool" -a -r "$lib" -a -x "$work"; then
    skip "status with write-only logs" "nobody cannot reach $tool and $work"
else
    before=$(stat -c '%n %a %s %Y' "$shared"/*.log; sha256sum "$shared"/*.log)
    (
        export CalloutEnabled=1 CalloutDlls=$lib CalloutMacAddressListFile=$shared/list.txt
        export CalloutErrorLogFile=$shared/error.log CalloutInfoLogFile=$shared/info.log
        cd "$shared" && "${as_nobody[@]}" "$tool" status
    ) >"$work/raw" 2>&1
    got=$?
    sed -e "s|$shared|DIR|g" -e "s|$lib|LIB|g" -E -e 's/[0-9]+ characters: "DIR/N characters: "DIR/' \
        "$work/raw" >"$work/golden"
    expect_golden status-write-only-logs 0 "$got" "status as nobody with write-only logs"
    [ "$(stat -c '%n %a %s %Y' "$shared"/*.log; sha256sum "$shared"/*.log)" = "$before" ] ||
        fail "status as nobody changed a write-only log"
fi

if [ "$failures" -ne 0 ]; then
    printf '%d failures\n' "$failures"
    exit 1
fi
printf 'all tool runs as expected\n'
