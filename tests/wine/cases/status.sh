# macgate.exe status against the real registry: what it says the server
# will do at its next start, compared with a golden file per row, and its
# exit status.
# shellcheck shell=bash

STATUS_GOLDEN="$root/tests/data/wine/status"

# status_setup ROW: the server's values for one row; WORK is the case's
# folder, which holds the DLL, the other library and the lists.
status_setup() {
    local work
    work=$(win_path "$PWD")
    [ "$1" = not-installed ] && return
    reg_set CalloutEnabled REG_DWORD "$([ "$1" = disabled ] && echo 0 || echo 1)"
    case $1 in
        behind-other) reg_set CalloutDlls REG_MULTI_SZ "$work\\othercallout.dll\\0$work\\macgate.dll" ;;
        *) reg_set CalloutDlls REG_MULTI_SZ "$work\\missing.dll\\0$work\\macgate.dll\\0$work\\othercallout.dll" ;;
    esac
    reg_set CalloutErrorLogFile REG_SZ "$work\\logs\\error.log"
    reg_set CalloutMacAddressListFile REG_SZ "$work\\deny.txt"
    reg_set CalloutInfoLogFile REG_SZ "$work\\logs\\info.log"
    case $1 in
        long-value) reg_set CalloutErrorLogFile REG_SZ "$(make_long_path 512)" ;;
        empty-list) reg_set CalloutMacAddressListFile REG_SZ "$work\\empty.txt" ;;
        value-types)
            reg_set CalloutMacAddressListFile REG_EXPAND_SZ "$work\\deny.txt"
            reg_set CalloutInfoLogFile REG_SZ "$work\\logs\\Ωinfo.log"
            ;;
        no-log-folder) reg_set CalloutErrorLogFile REG_SZ "$work\\no folder\\error.log" ;;
        held-log)
            printf '%s' "$HELD_LOG" >logs/info.log
            wine_run "$PROBE" hold "$work\\logs\\info.log" "$work\\gate" >holder.out 2>&1 &
            HOLDER=$!
            wait_for_line holder.out holding
            ;;
        other-bitness) reg_set CalloutDlls REG_MULTI_SZ "$work\\other arch\\macgate.dll" ;;
    esac
}

# A log that a second process held while status ran, as it was before.
HELD_LOG=$'Action specified is : DENY\r\nSuccessfully read mac addresses\r\n'

# row            | status
STATUS_ROWS='
not-installed    | 1
installed        | 0
behind-other     | 1
disabled         | 1
long-value       | 1
empty-list       | 1
value-types      | 0
no-log-folder    | 1
held-log         | 1
other-bitness    | 1
'

case_status_rows() {
    local name status got
    cp "$DLL" "$(dirname "$PROBE")/othercallout.dll" .
    cp "$EXAMPLE_DENY_LIST" deny.txt
    printf '# nothing but a remark\n' >empty.txt
    mkdir logs "other arch"
    # The other processor's build, registered as an administrator might.
    cp "$build/mingw-$([ "$arch" = x64 ] && echo x86 || echo x64)/macgate.dll" "other arch/"
    while IFS='|' read -r name status; do
        name=$(echo $name) status=$(echo $status)
        [ -n "$name" ] || continue
        echo "row $name"
        reg_clear
        status_setup "$name"
        got=0
        wine_run "$TOOL" status >raw.out 2>&1 || got=$?
        # The length of a path under WORK depends on where the case runs.
        as_work <raw.out | as_arch |
            sed -E 's/[0-9]+ characters(.*): "WORK/N characters\1: "WORK/' >"$name.out"
        expect_golden "status, row $name" "$STATUS_GOLDEN/$name.txt" "$name.out"
        [ "$got" -eq "$status" ] || fail "row $name: status exited $got, not $status"
        if [ "$name" = held-log ]; then
            touch gate
            wait "$HOLDER" || fail "row $name: the holder failed: $(cat holder.out)"
            rm gate
            # The held log is as it was, and stays.
            printf '%s' "$HELD_LOG" | cmp -s - logs/info.log || fail "row $name: status changed the held log"
            rm logs/info.log
        fi
        # A look changes nothing: no log is left behind.
        [ -z "$(ls logs)" ] || fail "row $name: status left files in logs/: $(ls logs)"
    done <<<"$STATUS_ROWS"
}

register_case wine "macgate status: what the server will load and what start-up will open" \
    case_status_rows
