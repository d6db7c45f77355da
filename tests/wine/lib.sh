# Helpers shared by the Wine test cases; sourced by run.sh.
# shellcheck shell=bash

PARAMS_KEY='HKLM\System\CurrentControlSet\Services\DhcpServer\Parameters'

# The Windows form of a Unix path: Wine maps drive Z: to /.
win_path() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

# The Unix form of a Windows path on drive Z:.
unix_path() {
    local path=${1#Z:}
    printf "%s" "${path//\\//}"
}

# Runs a Windows program in the run's prefix, bounded in time.
wine_run() {
    [ -n "$1" ] || fail "macgate.exe is missing: build the mingw presets first"
    timeout --kill-after=5 "${WINE_STEP_TIMEOUT:-120}" wine "$@"
}

# Sets one value under the DHCP server's Parameters key (creating the key).
reg_set() {
    wine_run reg add "$PARAMS_KEY" /v "$1" /t "$2" /d "$3" /f >/dev/null
}

# Removes the Parameters key with every value in it.
reg_clear() {
    wine_run reg delete "$PARAMS_KEY" /f >/dev/null 2>&1 || true
}

# Fails the case with a message on stderr.
fail() {
    printf 'FAILED: %s\n' "$*" >&2
    return 1
}

# expect_crlf_file FILE TEXT: FILE holds exactly TEXT (given with "\n" line
# ends) written with CR LF line ends, as the C runtime's text mode writes it.
expect_crlf_file() {
    local file=$1 text=$2 expected
    [ -f "$file" ] || fail "$file was not created"
    [ -z "$text" ] || [ "${text: -1}" = $'\n' ] || fail "expected text must end with a line feed"
    expected=$(mktemp)
    printf '%s' "$text" | sed 's/$/\r/' >"$expected"
    if ! cmp -s "$expected" "$file"; then
        echo "--- expected (cat -A) / +++ $file" >&2
        diff <(cat -A "$expected") <(cat -A "$file") >&2 || true
        rm -f "$expected"
        fail "$file differs"
    fi
    rm -f "$expected"
}

# expect_eq WHAT EXPECTED ACTUAL
expect_eq() {
    if [ "$2" != "$3" ]; then
        printf '%s: expected\n%s\nbut got\n%s\n' "$1" "$2" "$3" >&2
        fail "$1"
    fi
}

# The info log with every packet line's local time replaced by TIME and the
# line ends turned into "\n": what two runs at different moments share.
masked_log() {
    tr -d '\r' <"$1" |
        sed -E 's/^[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4} /TIME /'
}

# Fails unless every line of FILE ends in CR LF (and there is at least one).
expect_crlf_lines() {
    local file=$1 lines crlf
    [ -s "$file" ] || fail "$file is missing or empty"
    lines=$(wc -l <"$file")
    crlf=$(grep -c $'\r$' "$file" || true)
    [ "$lines" -eq "$crlf" ] || fail "$file: only $crlf of $lines lines end in CR LF"
    [ "$(tail -c 1 "$file" | od -An -tx1 | tr -d " ")" = 0a ] ||
        fail "$file does not end with a line end"
    ! grep -q $'\r\r$' "$file" || fail "$file has lines ending in CR CR LF"
}

# wait_for_line FILE LINE: waits (at most 60 s) until FILE holds LINE.
wait_for_line() {
    local waited=0
    until [ -f "$1" ] && tr -d '\r' <"$1" | grep -qx "$2"; do
        [ "$waited" -lt 600 ] || fail "no '$2' in $1 after 60 s"
        sleep 0.1
        waited=$((waited + 1))
    done
}

# expect_same_text WHAT EXPECTED_FILE ACTUAL_FILE
expect_same_text() {
    if ! diff -u "$2" "$3" >&2; then
        fail "$1 differs"
    fi
}

# Standard input with the CRs dropped and the case's folder, in its Windows
# form, written WORK: what a golden file can hold wherever the case runs.
as_work() {
    tr -d '\r' | sed "s|$(win_path "$PWD" | sed 's/[\\.&|]/\\&/g')|WORK|g"
}

# Standard input with the processor of the case's run ($arch) written ARCH
# and the other one OTHER, so that one golden file serves both.
as_arch() {
    if [ "$arch" = x64 ]; then
        sed 's/x64/ARCH/g; s/x86/OTHER/g; s/64-bit/ARCH-bit/g'
    else
        sed 's/x86/ARCH/g; s/x64/OTHER/g; s/32-bit/ARCH-bit/g'
    fi
}

# expect_golden WHAT GOLDEN ACTUAL: ACTUAL holds the text of the golden file.
# With MACGATE_UPDATE_GOLDEN=1 the golden file is written instead: review
# the change with git diff.
expect_golden() {
    if [ -n "${MACGATE_UPDATE_GOLDEN:-}" ]; then
        mkdir -p "$(dirname "$2")"
        cp "$3" "$2"
    fi
    expect_same_text "$1" "$2" "$3"
}

# Runs the Linux build of the tool (the reference the Windows builds must match).
linux_tool() {
    [ -x "$LINUX_TOOL" ] || fail "$LINUX_TOOL is missing: build the debug preset first"
    "$LINUX_TOOL" "$@"
}

# replay_registry OUT: replays the example capture from the current
# directory with whatever the Parameters key holds; verdicts go to OUT.
# Replay exits 1 when the library loaded no address and says so: the case's
# verdicts then show whether that was meant.
replay_registry() {
    local status=0
    wine_run "$TOOL" replay "$(win_path "$EXAMPLE_CAPTURE")" >registry-replay.out \
        2>registry-replay.err || status=$?
    if [ "$status" -ne 0 ] &&
        ! { [ "$status" -eq 1 ] && grep -q 'the library loaded no address' registry-replay.err; }; then
        cat registry-replay.err >&2
        fail "replay exited $status"
    fi
    verdicts_of registry-replay.out >"$1"
    reg_clear
}

# expect_all_allowed OUT: an empty set lets every client through.
expect_all_allowed() {
    grep -qE ' Allow$' "$1" || fail "$1 has no verdicts"
    ! grep -qE ' Deny$' "$1" || fail "$1 denies a client, but no list was loaded"
}

# expect_deny_list_verdicts OUT: OUT holds the verdicts of the Linux build
# for the example deny list.
expect_deny_list_verdicts() {
    linux_tool replay --list "$EXAMPLE_DENY_LIST" --error-log "$PWD/linux-error.log" \
        "$EXAMPLE_CAPTURE" | verdicts_of >linux.out
    expect_same_text "verdicts" linux.out "$1"
}

# What macgate replay printed (FILE, or standard input), without CRs and
# without its copy of the library's error log, which names the log's path:
# the logs themselves are compared as files.
verdicts_of() {
    tr -d '\r' <"${1:-/dev/stdin}" |
        awk '/^The library.s error log \(/ {exit}
             {lines[n++] = $0}
             END {while (n > 0 && lines[n - 1] == "") n--; for (i = 0; i < n; i++) print lines[i]}'
}
