# The Windows zips of scripts/package.sh, used as an administrator gets them:
# unpacked, install.cmd registers the zip's own macgate.dll with the zip's
# deny list, and the zip's macgate.exe, reading the server's configuration,
# gives the example verdicts. Registered only when MACGATE_PACKAGES names the
# folder of the packages (tests/package/run.sh does).
# shellcheck shell=bash

case_zip_install_and_replay() {
    local arch=$1 zip top version status=0
    zip=$(find "$MACGATE_PACKAGES" -maxdepth 1 -name "macgate-*-windows-$arch.zip")
    if [ -z "$zip" ] || [ "$(wc -l <<<"$zip")" -ne 1 ]; then
        fail "not one windows-$arch zip in $MACGATE_PACKAGES: $zip"
    fi
    unzip -q "$zip"
    top=$PWD/$(basename "$zip" .zip)
    version=${top##*/macgate-}
    expect_eq "version" "macgate ${version%-windows-*}" \
        "$(wine_run "$top/macgate.exe" --version | tr -d '\r')"

    # icacls does nothing under Wine: the recording stand-in takes its calls.
    mkdir -p standins
    cp "$PROBE" standins/icacls.exe
    export WINEPATH
    WINEPATH=$(win_path "$PWD/standins")
    wine_run reg delete 'HKLM\Software\macgate' /f >/dev/null 2>&1 || true
    wine_run reg add "$PARAMS_KEY" /v DatabaseName /t REG_SZ /d dhcp.mdb /f >/dev/null
    (cd "$top" && wine_run cmd /c install.cmd macgate.dll "$(win_path "$top/examples/deny-list.txt")" \
        "$(win_path "$PWD/error.log")") >install.out || status=$?
    [ "$status" -eq 0 ] || fail "install.cmd exited $status: $(tr -d '\r' <install.out)"
    wine_run reg query "$PARAMS_KEY" /v CalloutDlls | tr -d '\r' >installed
    grep -qE "REG_MULTI_SZ +$(win_path "$top/macgate.dll" | sed 's/[\\.]/\\&/g')$" installed ||
        fail "CalloutDlls is not the zip's DLL: $(cat installed)"

    wine_run "$top/macgate.exe" replay "$(win_path "$top/examples/dhcp.pcap")" | verdicts_of >out
    expect_same_text "verdicts" "$root/tests/data/tool/replay-deny.txt" out
    [ ! -s error.log ] || fail "the installed error log is not empty: $(cat error.log)"

    (cd "$top" && wine_run cmd /c uninstall.cmd) >uninstall.out ||
        fail "uninstall.cmd failed: $(tr -d '\r' <uninstall.out)"
    ! wine_run reg query 'HKLM\Software\macgate' >/dev/null 2>&1 ||
        fail "uninstall.cmd left HKLM\\Software\\macgate"
    reg_clear
}

if [ -n "${MACGATE_PACKAGES:-}" ]; then
    register_case wine "zip: install.cmd registers the zip's own DLL, which gives the example verdicts" \
        case_zip_install_and_replay
fi
