# windows/install.cmd and uninstall.cmd, run by Wine's cmd.exe with its
# reg.exe, from a folder whose name holds a space and '&'. icacls and net do
# nothing under Wine: wineprobe.exe stands in for both, first on the PATH,
# and records each call. Every run's output and calls are compared with a
# golden file; a refused install must leave the registry keys the scripts
# may write byte for byte as they were and take back every right it granted,
# and after a successful one `macgate replay --server` must give the list's
# verdicts and uninstall.cmd must take back the rights granted and put those
# keys back.
# shellcheck shell=bash

INSTALL_GOLDEN="$root/tests/data/wine/install"
SAVED_KEY='HKLM\Software\macgate'

# install_files: the folder an administrator copies the files to, with
# macgate.exe beside the DLL, the lists, and the stand-ins for icacls and net.
install_files() {
    files="$PWD/server files & lists"
    mkdir -p "$files" standins
    cp "$DLL" "$TOOL" "$(dirname "$PROBE")/othercallout.dll" "$files/"
    cp "$EXAMPLE_DENY_LIST" "$files/deny.txt"
    # A DLL without macgate.exe beside it to check lists with.
    mkdir -p "dll alone"
    cp "$DLL" "dll alone/"
    printf '# nothing but a remark\n' >"$files/empty.txt"
    printf 'MAC_ACTION = {DENY}\n5254006a0101\n52:54:00:6a:01:02\n' >"$files/bad lines.txt"
    # Sections that do not decide as written: a network closed by its host
    # bits, and an ALLOW section whose only entry is mistyped.
    printf 'MAC_ACTION = {DENY}\n5254006a0101\nSCOPE 10.1.2.5/24 = {ALLOW}\n5254006a0102\n' \
        >"$files/closed section.txt"
    printf 'MAC_ACTION = {DENY}\n5254006a0101\nSCOPE 10.1.2.0/24 = {ALLOW}\n5254006a010\n' \
        >"$files/allow section.txt"
    # The other processor's build, and a macgate.exe that says the DLL is
    # macgate but prints nothing when asked to check a list.
    local other
    other=$([ "$arch" = x64 ] && echo x86 || echo x64)
    mkdir -p "other arch" "broken tool"
    cp "$build/mingw-$other/macgate.dll" "other arch/" ||
        fail "the $other build of macgate.dll is missing: build the mingw-$other preset"
    cp "$TOOL" "other arch/"
    cp "$DLL" "broken tool/"
    cp "$PROBE" "broken tool/macgate.exe"
    printf '@echo macgate.dll is macgate 1.0.0.1, with the eight callout functions.\r\n' \
        >"broken tool/macgate-inspect.cmd"
    cp "$PROBE" standins/icacls.exe
    cp "$PROBE" standins/net.exe
    export WINEPATH
    WINEPATH=$(win_path "$PWD/standins")
}

# The Windows path that stands for each word of a row's arguments.
install_argument() {
    local work
    work=$(win_path "$PWD")
    case $1 in
        DLL) printf '%s' "$work\\server files & lists\\macgate.dll" ;;
        NODLL) printf '%s' "$work\\server files & lists\\missing.dll" ;;
        LONEDLL) printf '%s' "$work\\dll alone\\macgate.dll" ;;
        OTHERARCH) printf '%s' "$work\\other arch\\macgate.dll" ;;
        BROKENDLL) printf '%s' "$work\\broken tool\\macgate.dll" ;;
        DLLFOLDER) printf '%s' "$work\\server files & lists" ;;
        PROGRAM) printf '%s' "$work\\server files & lists\\macgate.exe" ;;
        DENY) printf '%s' "$work\\server files & lists\\deny.txt" ;;
        EMPTY) printf '%s' "$work\\server files & lists\\empty.txt" ;;
        BADLINES) printf '%s' "$work\\server files & lists\\bad lines.txt" ;;
        CLOSED) printf '%s' "$work\\server files & lists\\closed section.txt" ;;
        ALLOWNONE) printf '%s' "$work\\server files & lists\\allow section.txt" ;;
        MISSING) printf '%s' "$work\\server files & lists\\no list.txt" ;;
        ERROR) printf '%s' "$work\\logs & more\\error.log" ;;
        INFO) printf '%s' "$work\\logs & more\\info.log" ;;
        NEWERROR) printf '%s' "$work\\new logs\\error.log" ;;
        SYSLOG) printf '%s' 'C:\windows\system32\macgate-error.log' ;;
        DATALOG) printf '%s' 'C:\ProgramData\macgate-info.log' ;;
        LOGFOLDER) printf '%s' "$work\\logs & more\\log files" ;;
        SLASHLOG) printf '%s' "$work\\logs & more\\logs\\" ;;
        QUOTELOG) printf '%s' "$work\\logs & more\\in\"fo.log" ;;
        FILELOG) printf '%s' "$work\\server files & lists\\deny.txt\\logs\\error.log" ;;
        *) printf '%s' "$1" ;;
    esac
}

# run_script SCRIPT OUT WORD...: runs windows\SCRIPT from a batch file, the
# way an administrator types it, with each WORD as a quoted argument (options
# bare). OUT gets what it printed and then the recorded calls, with the case's
# folder written WORK. Gives the script's exit status.
run_script() {
    local script=$1 out=$2 word line status=0
    shift 2
    line="@\"$(win_path "$root/windows/$script")\""
    for word in "$@"; do
        case $word in
            /*) line+=" $word" ;;
            *) line+=" \"$(install_argument "$word")\"" ;;
        esac
    done
    printf '%s\r\n' "$line" >run.cmd
    rm -f standins/calls.txt
    wine_run cmd /c "$(win_path "$PWD/run.cmd")" >raw.out 2>&1 || status=$?
    {
        cat raw.out
        printf -- '--- calls\n'
        [ ! -f standins/calls.txt ] || cat standins/calls.txt
    } | as_work | as_arch >"$out"
    return "$status"
}

# The paths that FILE (a script's output) says it granted rights on, or
# tried to, or, with "removed", those whose access lists it put back.
icacls_paths() {
    if [ "${2:-}" = removed ]; then
        sed -n 's|^put back the access list of "\(.*\)" as it was before its grant$|\1|p' "$1"
    else
        sed -n 's|^granted NETWORK SERVICE [a-z]* rights on "\(.*\)"$|\1|p
            s|^install.cmd: icacls could not let NETWORK SERVICE [a-z]* "\(.*\)" (exit status [0-9]*)\.$|\1|p' "$1"
    fi | sort -u
}

# Registry states before a row runs. Every one but "none" has the server's
# key with a value of its own.
install_setup() {
    [ "$1" = none ] && return
    wine_run reg add "$PARAMS_KEY" /v DatabaseName /t REG_SZ /d dhcp.mdb /f >/dev/null
    local other
    other="$(install_argument DLL)"
    other="${other%macgate.dll}othercallout.dll"
    case $1 in
        server) ;;
        installed)
            # What uninstall.cmd puts back, after the row's install too.
            registry_snapshot pristine.reg
            run_script install.cmd setup.out DLL DENY ERROR >/dev/null ||
                fail "installing before the row failed: $(cat setup.out)"
            ;;
        log-folder) mkdir -p "logs & more/log files" ;;
        grant-fails)
            # The second grant fails, the other calls go through.
            printf '%s\r\n' '@if not "%~2"=="/grant" exit /b 0' '@if exist "%~dp0failed" exit /b 0' \
                '@if exist "%~dp0granted" (echo.>"%~dp0failed" & exit /b 5)' \
                '@echo.>"%~dp0granted"' >standins/icacls.cmd
            ;;
        listed) reg_set CalloutDlls REG_MULTI_SZ "$(install_argument DLL)" ;;
        listed-behind) reg_set CalloutDlls REG_MULTI_SZ "$other\\0$(install_argument DLL)" ;;
        other | other-disabled)
            reg_set CalloutDlls REG_MULTI_SZ "$other"'\0C:\Program Files\Second\second.dll'
            reg_set CalloutEnabled REG_DWORD "$([ "$1" = other ] && echo 1 || echo 0)"
            reg_set CalloutErrorLogFile REG_SZ 'C:\old\error.log'
            reg_set CalloutInfoLogFile REG_EXPAND_SZ '%SystemRoot%\old-info.log'
            ;;
        restart)
            # Starting the service loads the library the way the server does;
            # the service starts whether or not the filter loads a list.
            printf '@"%s" replay --server "%s" >"%s" 2>"%s"\r\n@exit /b 0\r\n' \
                "$(win_path "$files/macgate.exe")" \
                "$(win_path "$EXAMPLE_CAPTURE")" "$(win_path "$PWD/service.out")" \
                "$(win_path "$PWD/service.err")" \
                >standins/net-start.cmd
            ;;
        restart-silent)
            # The service starts without the library getting to write its log.
            printf '@exit /b 0\r\n' >standins/net-start.cmd
            ;;
        no-service)
            printf '@echo The service name is invalid.\r\n@exit /b 2\r\n' >standins/net-stop.cmd
            cp standins/net-stop.cmd standins/net-start.cmd
            ;;
    esac
}

# name               | setup          | status | arguments
INSTALL_ROWS='
usage-none           | server         | 2 |
usage-two            | server         | 2 | DLL DENY
usage-option         | server         | 2 | /quick DLL DENY ERROR
usage-five           | server         | 2 | DLL DENY ERROR INFO extra
missing-dll          | server         | 1 | NODLL DENY ERROR INFO
no-tool              | server         | 1 | LONEDLL DENY ERROR INFO
no-server-key        | none           | 1 | DLL DENY ERROR INFO
installed-already    | installed      | 0 | DLL DENY NEWERROR INFO
update-refused       | installed      | 1 | DLL DENY SYSLOG
fresh                | server         | 0 | DLL DENY ERROR INFO
no-info-log          | server         | 0 | DLL DENY ERROR
listed-already       | listed         | 0 | DLL DENY ERROR INFO
other                | other          | 1 | DLL DENY ERROR INFO
other-first          | other          | 0 | /first DLL DENY ERROR INFO
other-disabled       | other-disabled | 1 | DLL DENY ERROR INFO
listed-behind        | listed-behind  | 1 | DLL DENY ERROR INFO
listed-behind-first  | listed-behind  | 0 | /first DLL DENY ERROR INFO
unreadable           | server         | 1 | DLL MISSING ERROR INFO
unreadable-force     | server         | 0 | /force DLL MISSING ERROR INFO
empty                | server         | 1 | DLL EMPTY ERROR INFO
empty-force          | server         | 0 | /force DLL EMPTY ERROR INFO
closed-section       | server         | 1 | DLL CLOSED ERROR INFO
closed-section-force | server         | 0 | /force DLL CLOSED ERROR INFO
allow-section-empty  | server         | 1 | DLL ALLOWNONE ERROR INFO
restart              | restart        | 0 | /restart DLL DENY ERROR INFO
restart-bad-lines    | restart        | 0 | /restart DLL BADLINES ERROR INFO
restart-no-service   | no-service     | 1 | /restart DLL DENY ERROR INFO
restart-empty-force  | restart        | 1 | /restart /force DLL EMPTY ERROR INFO
restart-no-log       | restart-silent | 1 | /restart DLL DENY ERROR INFO
share-list           | server         | 0 | /force DLL \\files\dhcp$\list.txt ERROR INFO
system-folder        | server         | 1 | DLL DENY SYSLOG INFO
program-data         | server         | 1 | DLL DENY ERROR DATALOG
folder-as-log        | log-folder     | 1 | DLL DENY LOGFOLDER INFO
trailing-backslash   | server         | 1 | DLL DENY ERROR SLASHLOG
quote-in-path        | server         | 1 | DLL DENY ERROR QUOTELOG
same-logs            | server         | 1 | DLL DENY ERROR ERROR
folder-cannot-exist  | server         | 1 | DLL DENY FILELOG INFO
dll-folder           | server         | 1 | DLLFOLDER DENY ERROR INFO
dll-program          | server         | 1 | PROGRAM DENY ERROR INFO
other-bitness        | server         | 1 | OTHERARCH DENY ERROR INFO
checker-silent       | server         | 1 | BROKENDLL DENY ERROR INFO
checker-silent-force | server         | 0 | /force BROKENDLL DENY ERROR INFO
grant-fails          | grant-fails    | 1 | DLL DENY ERROR INFO
'

# The verdicts a row's list gives: the Linux build's for the same list, or
# every client served for a list that loads nothing.
expect_list_verdicts() {
    local list=$1 out=$2
    case $list in
        DENY) expect_deny_list_verdicts "$out" ;;
        BADLINES | CLOSED)
            local file="bad lines.txt"
            [ "$list" = BADLINES ] || file="closed section.txt"
            linux_tool replay --list "$files/$file" --error-log "$PWD/linux-error.log" \
                "$EXAMPLE_CAPTURE" | verdicts_of >linux.out
            expect_same_text "verdicts" linux.out "$out"
            ;;
        *) expect_all_allowed "$out" ;;
    esac
}

# The rows take a Wine start-up for each program they run, which waits far
# more than it computes: they run in INSTALL_WORKERS folders at once, each
# with a Wine prefix of its own (the first the run's, the others copies of
# it) and so a registry and wineserver of its own.
INSTALL_WORKERS=${MACGATE_WINE_INSTALL_WORKERS:-3}

case_install_rows() {
    local worker failed=0
    # The prefix on disk holds the registry once its wineserver has ended.
    timeout 120 wineserver -w || fail "the Wine prefix's wineserver did not end"
    for ((worker = 0; worker < INSTALL_WORKERS; worker++)); do
        mkdir "worker-$worker"
        (
            cd "worker-$worker"
            if [ "$worker" -gt 0 ]; then
                cp -a "$WINEPREFIX" prefix
                WINEPREFIX=$PWD/prefix
            fi
            # A wineserver that starts again rewrites keys of its own under
            # HKEY_LOCAL_MACHINE\System, which a row compares before and after. It
            # stays until this worker ends, however the worker ends.
            trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
            wineserver -p
            install_worker_rows "$worker"
            wineserver -k
            trap - EXIT
            [ "$worker" -eq 0 ] || rm -rf prefix
        ) >"worker-$worker/log" 2>&1 &
    done
    for ((worker = 0; worker < INSTALL_WORKERS; worker++)); do
        wait -n || failed=1
    done
    cat worker-*/log
    [ "$failed" -eq 0 ] || fail "a worker's rows failed"
}

# install_worker_rows WORKER: the rows that fall to WORKER, one in every
# INSTALL_WORKERS.
install_worker_rows() {
    local name setup status arguments got words list row=-1
    install_files
    while IFS='|' read -r name setup status arguments; do
        name=$(echo $name) setup=$(echo $setup) status=$(echo $status)
        [ -n "$name" ] || continue
        row=$((row + 1))
        [ $((row % INSTALL_WORKERS)) -eq "$1" ] || continue
        echo "row $name"
        read -r -a words <<<"$arguments"
        # Now and then Wine's cmd cannot start a program that is there (it
        # says "Can't recognize"); the row then runs again from its setup.
        # A script that names a missing program fails all three tries.
        for try in 1 2 3; do
            reg_clear
            wine_run reg delete "$SAVED_KEY" /f >/dev/null 2>&1 || true
            rm -rf "$PWD/logs & more" "$PWD/new logs" standins/net-*.cmd standins/icacls.cmd \
                standins/granted standins/failed standins/acls.txt pristine.reg setup.out \
                "$files"/macgate-acl-*.txt
            install_setup "$setup" || fail "row $name: setting up the registry failed"
            registry_snapshot before.reg
            got=0
            run_script install.cmd "$name.out" "${words[@]}" || got=$?
            grep -q "Can't recognize '" "$name.out" || break
            echo "row $name: Wine's cmd could not start a program (try $try of 3)"
        done
        expect_golden "install.cmd, row $name" "$INSTALL_GOLDEN/$name.txt" "$name.out"
        [ "$got" -eq "$status" ] || fail "row $name: install.cmd exited $got, not $status"
        # Every failure but a restart's is a refusal, which changes nothing
        # or puts back what it changed.
        if [ "$status" -ne 0 ] && [[ " $arguments " != *" /restart "* ]]; then
            expect_same_registry "row $name, refused"
            expect_same_text "row $name: rights taken back" <(icacls_paths "$name.out") \
                <(icacls_paths "$name.out" removed)
            [ ! -e "$PWD/logs & more/error.log" ] || [ "$setup" = installed ] ||
                fail "row $name: a refusal left the error log behind"
            continue
        fi
        wine_run reg query "$SAVED_KEY" /v InstalledDll >/dev/null 2>&1 ||
            fail "row $name: install.cmd saved nothing under $SAVED_KEY"
        got=0
        wine_run "$TOOL" replay --server "$(win_path "$EXAMPLE_CAPTURE")" >replay.out \
            2>/dev/null || got=$?
        verdicts_of replay.out >verdicts
        # The list is the second word that is no option. Replay exits 1 when
        # the library loaded no address.
        list=$(printf '%s\n' "${words[@]}" | grep -v '^/' | sed -n 2p)
        expect_list_verdicts "$list" verdicts
        case $list in
            DENY | BADLINES | CLOSED) [ "$got" -eq 0 ] || fail "row $name: replay exited $got, not 0" ;;
            *) [ "$got" -eq 1 ] || fail "row $name: replay exited $got, not 1" ;;
        esac
        if [ "$setup" = restart ]; then
            expect_same_text "the service's verdicts" verdicts <(verdicts_of service.out)
        fi
        got=0
        run_script uninstall.cmd uninstall.out || got=$?
        [ "$got" -eq 0 ] || fail "row $name: uninstall.cmd exited $got: $(cat uninstall.out)"
        # Every right granted, by the row or by its setup, is taken back.
        expect_same_text "row $name: rights taken back by uninstall.cmd" \
            <(cat "$name.out" setup.out 2>/dev/null | icacls_paths /dev/stdin) \
            <(icacls_paths uninstall.out removed)
        [ ! -f pristine.reg ] || mv pristine.reg before.reg
        expect_same_registry "row $name, installed and uninstalled"
    done <<<"$INSTALL_ROWS"
}

# The keys that the scripts write, with everything beside the server's own
# key: all of HKEY_LOCAL_MACHINE\System, and macgate's key under Software.
# The rest of HKEY_LOCAL_MACHINE\Software, some 6 MB of Wine's classes that
# cost seconds to export each time, is left to the one check below that the
# scripts write nowhere else.
REGISTRY_KEYS=('HKLM\System' "$SAVED_KEY")

# registry_snapshot FILE: the keys the scripts may write, as reg exports
# them, into FILE (a key that does not exist says so).
registry_snapshot() {
    local key
    : >"$1"
    for key in "${REGISTRY_KEYS[@]}"; do
        if wine_run reg query "$key" >/dev/null 2>&1; then
            wine_run reg export "$key" snapshot.reg /y >/dev/null || fail "reg export $key failed"
            iconv -f UTF-16 -t UTF-8 snapshot.reg >>"$1"
        else
            printf 'no key %s\n' "$key" >>"$1"
        fi
    done
}

# expect_same_registry WHAT: the keys the scripts may write are as
# before.reg holds them, byte for byte.
expect_same_registry() {
    registry_snapshot after.reg
    if ! cmp -s before.reg after.reg; then
        diff before.reg after.reg >&2 || true
        fail "$1: the registry differs"
    fi
}

# Every registry change the scripts make names the server's key or
# macgate's, or imports what they exported of those.
case_registry_writes() {
    local script bad
    for script in install.cmd uninstall.cmd; do
        bad=$(grep -inE '(^|[ (&])reg +(add|delete|import|copy|restore|load|unload)\b' \
            "$root/windows/$script" | grep -viE '^[0-9]+:[[:space:]]*(rem |::)' |
            grep -viE 'reg +(add|delete) +"%(PARAMS|SAVED)%"|reg +import +"%UNDO%\\(params|saved)\.reg"') || true
        [ -z "$bad" ] || fail "$script changes another key of the registry: $bad"
        grep -qi '^set "PARAMS=HKLM\\System\\CurrentControlSet\\Services\\DHCPServer\\Parameters"' \
            "$root/windows/$script" || fail "$script's PARAMS is not the server's key"
        grep -qi '^set "SAVED=HKLM\\Software\\macgate"' "$root/windows/$script" ||
            fail "$script's SAVED is not macgate's key"
    done
}

# uninstall.cmd on its own: not installed, by install.cmd or by hand; and
# after another library was registered behind macgate, which then stays
# while everything else goes back and the rights granted are taken back.
case_uninstall_rows() {
    local got other
    install_files
    wine_run reg delete "$SAVED_KEY" /f >/dev/null 2>&1 || true
    install_setup server
    got=0
    run_script uninstall.cmd uninstall-not-installed.out || got=$?
    [ "$got" -eq 1 ] || fail "uninstall.cmd without an install exited $got, not 1"
    expect_golden "uninstall.cmd, not installed" "$INSTALL_GOLDEN/uninstall-not-installed.txt" \
        uninstall-not-installed.out
    # Registered by hand: it says that CalloutDlls still names macgate.
    reg_set CalloutDlls REG_MULTI_SZ "$(install_argument DLL)"
    got=0
    run_script uninstall.cmd uninstall-by-hand.out || got=$?
    [ "$got" -eq 1 ] || fail "uninstall.cmd after a registration by hand exited $got, not 1"
    expect_golden "uninstall.cmd, registered by hand" "$INSTALL_GOLDEN/uninstall-by-hand.txt" \
        uninstall-by-hand.out
    wine_run reg delete "$PARAMS_KEY" /v CalloutDlls /f >/dev/null

    reg_set CalloutEnabled REG_DWORD 0
    registry_snapshot before.reg
    run_script install.cmd install.out DLL DENY ERROR INFO ||
        fail "install.cmd failed: $(cat install.out)"
    other='C:\Program Files\Later\later.dll'
    reg_set CalloutDlls REG_MULTI_SZ "$(install_argument DLL)\\0$other"
    run_script uninstall.cmd uninstall-changed.out || fail "uninstall.cmd failed"
    expect_golden "uninstall.cmd, CalloutDlls changed" "$INSTALL_GOLDEN/uninstall-changed.txt" \
        uninstall-changed.out
    expect_eq "CalloutDlls after uninstall.cmd" "    CalloutDlls    REG_MULTI_SZ    $other" \
        "$(wine_run reg query "$PARAMS_KEY" /v CalloutDlls | tr -d '\r' | grep CalloutDlls)"
    # Everything else is as before.
    wine_run reg delete "$PARAMS_KEY" /v CalloutDlls /f >/dev/null
    expect_same_registry "uninstall.cmd after CalloutDlls changed"
}

register_case wine "install.cmd: each branch, its output, its calls and the registry after" \
    case_install_rows
register_case wine "uninstall.cmd: not installed; CalloutDlls changed since the install" \
    case_uninstall_rows
register_case binary "install.cmd and uninstall.cmd write only the server's key and macgate's" \
    case_registry_writes x64
