# Start-up with the real registry: the values are set with reg.exe under the
# DHCP server's Parameters key and macgate.exe runs without options, so the
# library reads them itself with RegOpenKeyExW and RegQueryValueExW.
# shellcheck shell=bash

case_startup_no_values() {
    replay_registry out
    expect_crlf_file ErrorFile.txt \
        $'Could not read ErrorLog file from registry\nCould Not Read Mac File From Registry\n'
    expect_all_allowed out
}

# The value type is not looked at: a REG_DWORD's bytes 41 00 00 00 read as
# the UTF-16 string "A", and a REG_EXPAND_SZ is used as written, unexpanded.
case_startup_value_types() {
    cp "$EXAMPLE_DENY_LIST" A
    reg_set CalloutMacAddressListFile REG_DWORD 0x41
    reg_set CalloutErrorLogFile REG_EXPAND_SZ "$(win_path "$PWD")\\error-%TEMP%.log"
    replay_registry out
    expect_deny_list_verdicts out
    [ -f 'error-%TEMP%.log' ] || fail "the REG_EXPAND_SZ error log path was not used as written"
    [ ! -s 'error-%TEMP%.log' ] || fail "a clean list wrote to the error log"
    [ ! -e ErrorFile.txt ] || fail "ErrorFile.txt was written although a path was configured"
}

# make_long_path UNITS: prints a Windows path of exactly UNITS characters
# under the current directory (no part longer than 255), and makes its folders.
make_long_path() {
    local units=$1 folders prefix name
    folders="$(printf "d%.0s" $(seq 1 200))/$(printf "e%.0s" $(seq 1 150))"
    mkdir -p "$folders"
    prefix="$(win_path "$PWD/$folders")\\"
    name=$(printf "f%.0s" $(seq 1 $((units - ${#prefix} - 4))))
    printf "%s%s.log" "$prefix" "$name"
}

# The registry read gets 1024 bytes: 511 UTF-16 units and the terminator fit,
# a 512-unit value does not and counts as missing. (Wine opens a path of any
# length through the C runtime; Windows refuses one past MAX_PATH, but then
# too writes no ErrorFile.txt, which is what shows the value was read.)
case_startup_long_values() {
    local fits too_long
    fits=$(make_long_path 511)
    too_long=$(make_long_path 512)
    [ ${#fits} -eq 511 ] && [ ${#too_long} -eq 512 ] || fail "path lengths ${#fits} ${#too_long}"
    reg_set CalloutErrorLogFile REG_SZ "$fits"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    replay_registry out
    expect_deny_list_verdicts out
    [ -f "$(unix_path "$fits")" ] ||
        fail "the 511-unit error log path was not used"
    [ ! -e ErrorFile.txt ] || fail "ErrorFile.txt was written although a 511-unit path was set"

    reg_set CalloutErrorLogFile REG_SZ "$too_long"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    replay_registry out
    expect_deny_list_verdicts out
    expect_crlf_file ErrorFile.txt $'Could not read ErrorLog file from registry\n'
    [ ! -e "$(unix_path "$too_long")" ] ||
        fail "the 512-unit path was used"
}

# In the C runtime's "C" locale a character above U+00FF cannot become a
# narrow path: the value counts as missing.
case_startup_wide_character() {
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD")\\Ωmega.log"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    replay_registry out
    expect_deny_list_verdicts out
    expect_crlf_file ErrorFile.txt $'Could not read ErrorLog file from registry\n'
    [ -z "$(find . -name '*mega.log')" ] || fail "a file was made from the unconvertible path"

    # U+00E9 still converts, to the byte E9, which the ANSI code page (1252
    # here) reads back as the same character.
    rm ErrorFile.txt
    reg_set CalloutErrorLogFile REG_SZ "$(win_path "$PWD")\\café.log"
    reg_set CalloutMacAddressListFile REG_SZ "$(win_path "$EXAMPLE_DENY_LIST")"
    replay_registry out
    expect_deny_list_verdicts out
    [ -f café.log ] || fail "the path with U+00E9 was not used: $(ls)"
    [ ! -e ErrorFile.txt ] || fail "ErrorFile.txt was written although café.log was configured"
}

# Paths that name no disk file: the console, the null device, a named pipe
# whose server never sends a byte, and a Unix FIFO. Each is refused as the
# error log, as the list and as the info log, at once: reading the console or
# the pipe would hold the server's start-up for ever.
case_startup_device_paths() {
    local pipe path error_log list
    pipe="\\\\.\\pipe\\macgate-$$-$RANDOM"
    trap 'touch "$PWD/stop"' EXIT
    wine_run "$PROBE" pipe "$pipe" "$(win_path "$PWD/stop")" >pipe.out &
    wait_for_line pipe.out listening
    mkfifo fifo
    error_log=$(win_path "$PWD/error.log")
    list=$(win_path "$EXAMPLE_DENY_LIST")
    for path in CON NUL "$pipe" "$(win_path "$PWD/fifo")"; do
        # As the error log: start-up ends, and the deny list is never loaded.
        reg_set CalloutErrorLogFile REG_SZ "$path"
        reg_set CalloutMacAddressListFile REG_SZ "$list"
        WINE_STEP_TIMEOUT=30 replay_registry out
        expect_all_allowed out
        [ ! -e ErrorFile.txt ] || fail "$path as the error log: ErrorFile.txt was written"

        reg_set CalloutErrorLogFile REG_SZ "$error_log"
        reg_set CalloutMacAddressListFile REG_SZ "$path"
        WINE_STEP_TIMEOUT=30 replay_registry out
        expect_all_allowed out
        expect_crlf_file error.log $'Could not open the data file\n'

        # As the info log: start-up ends before the list is read.
        reg_set CalloutErrorLogFile REG_SZ "$error_log"
        reg_set CalloutMacAddressListFile REG_SZ "$list"
        reg_set CalloutInfoLogFile REG_SZ "$path"
        WINE_STEP_TIMEOUT=30 replay_registry out
        expect_all_allowed out
        expect_crlf_file error.log $'Could not open the info log file\n'
    done
    touch stop
    wait
}

register_case wine "start-up, no registry values: ErrorFile.txt in the current folder" case_startup_no_values
register_case wine "start-up, REG_DWORD and REG_EXPAND_SZ values read as strings" case_startup_value_types
register_case wine "start-up, values of 511 and 512 UTF-16 units" case_startup_long_values
register_case wine "start-up, paths with characters above U+00FF and below" case_startup_wide_character
register_case wine "start-up, CON, NUL, a named pipe and a FIFO as paths: refused at once" \
    case_startup_device_paths
