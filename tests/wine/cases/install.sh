# windows/install.cmd and uninstall.cmd, run by Wine's cmd.exe with its
# reg.exe: installing registers the library so that it runs with the given
# files, and uninstalling leaves the whole HKEY_LOCAL_MACHINE as it was.
# shellcheck shell=bash

SERVICE_KEY='HKLM\System\CurrentControlSet\Services\DhcpServer'

run_cmd_script() {
    local script=$1
    shift
    wine_run cmd /c "$(win_path "$root/windows/$script")" "$@" | tr -d '\r'
}

# install_then_uninstall: the server's key holds whatever the caller set.
install_then_uninstall() {
    local status=0
    wine_run reg delete 'HKLM\Software\macgate' /f >/dev/null 2>&1 || true
    wine_run reg export HKLM before.reg /y >/dev/null
    cp "$EXAMPLE_DENY_LIST" deny.txt
    run_cmd_script install.cmd "$(win_path "$DLL")" "$(win_path "$PWD/deny.txt")" \
        "$(win_path "$PWD/error.log")" "$(win_path "$PWD/info.log")" >install.out || status=$?
    [ "$status" -eq 0 ] || fail "install.cmd exited $status: $(cat install.out)"

    # The server would now load the library with these files.
    wine_run reg query "$PARAMS_KEY" | tr -d '\r' >installed
    grep -qE "^ +CalloutDlls +REG_MULTI_SZ +(.*\\\\0)?$(win_path "$DLL" | sed 's/[\\.]/\\&/g')$" installed ||
        fail "CalloutDlls does not end with the library: $(cat installed)"
    grep -qE '^ +CalloutEnabled +REG_DWORD +0x1$' installed || fail "CalloutEnabled is not 1"
    wine_run "$TOOL" replay "$(win_path "$EXAMPLE_CAPTURE")" | verdicts_of >out
    expect_deny_list_verdicts out
    grep -qx 'Action specified is : DENY' <(tr -d '\r' <info.log) ||
        fail "the installed info log was not written"

    run_cmd_script uninstall.cmd >uninstall.out || status=$?
    [ "$status" -eq 0 ] || fail "uninstall.cmd exited $status: $(cat uninstall.out)"
    wine_run reg export HKLM after.reg /y >/dev/null
    if ! cmp -s before.reg after.reg; then
        diff <(iconv -f UTF-16 -t UTF-8 before.reg) <(iconv -f UTF-16 -t UTF-8 after.reg) >&2 || true
        fail "HKEY_LOCAL_MACHINE differs after install.cmd and uninstall.cmd"
    fi
}

# A server with only its own parameters.
case_install_fresh() {
    wine_run reg add "$PARAMS_KEY" /v DatabaseName /t REG_SZ /d dhcp.mdb /f >/dev/null
    install_then_uninstall
    reg_clear
}

# A server with another callout library and an earlier configuration.
case_install_over_another_callout() {
    wine_run reg add "$PARAMS_KEY" /v DatabaseName /t REG_SZ /d dhcp.mdb /f >/dev/null
    wine_run reg add "$PARAMS_KEY" /v CalloutDlls /t REG_MULTI_SZ \
        /d 'C:\Program Files\Other\other.dll' /f >/dev/null
    reg_set CalloutEnabled REG_DWORD 0
    reg_set CalloutErrorLogFile REG_SZ 'C:\old\error.log'
    reg_set CalloutInfoLogFile REG_EXPAND_SZ '%SystemRoot%\old-info.log'
    install_then_uninstall
    reg_clear
}

register_case wine "install.cmd then uninstall.cmd leave HKLM as it was" case_install_fresh
register_case wine "install.cmd then uninstall.cmd beside another callout library" case_install_over_another_callout
