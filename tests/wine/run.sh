#!/usr/bin/env bash
# Proves the Windows builds: checks the x86 and x64 macgate.dll files, then
# drives them under Wine with macgate.exe and wineprobe.exe against the real
# Win32 registry, C runtime text mode and share modes.
#
# Usage: tests/wine/run.sh   (after the mingw-x86, mingw-x64 and debug builds)
#
# One fresh private Wine prefix per architecture, shared by that
# architecture's cases and removed at the end: a 64-bit one (WINEARCH=win64)
# for x64, and a 32-bit one (WINEARCH=win32) for x86, the way a 32-bit
# Windows Server's DHCP service loads the x86 DLL. install.cmd's rows also
# run in copies of it, three at once (MACGATE_WINE_INSTALL_WORKERS=N for
# another number). Cases that need a missing tool are reported as SKIP with
# the reason; the run fails if any case fails. A case that runs longer than
# MACGATE_WINE_CASE_TIMEOUT seconds (900) is stopped, with every Wine
# program and wineserver it started, and fails with its name.
#
# MACGATE_WINE_ONLY=REGEX runs only the cases whose names match;
# MACGATE_WINE_COUNTS=FILE writes "PASSED SKIPPED REASONS" to FILE at the end,
# REASONS naming what made cases skip, per architecture, and the same for
# each architecture alone to FILE.x86 and FILE.x64;
# MACGATE_WINE_KEEP=1 keeps the prefix and every case's files for a look;
# MACGATE_UPDATE_GOLDEN=1 writes the golden files the cases compare with;
# WINE_STEP_TIMEOUT bounds each Windows program (120 s by default: the two
# architectures' cases share the processors).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${MACGATE_BUILD_ROOT:-$root/build}
# The Linux build of the tool is the reference the Windows builds must match.
LINUX_TOOL=${MACGATE_LINUX_TOOL:-$build/debug/macgate}
EXAMPLE_CAPTURE=${MACGATE_EXAMPLE_CAPTURE:-$root/examples/dhcp.pcap}
read -r -a EXAMPLE_LISTS <<<"${MACGATE_EXAMPLE_LISTS:-$root/examples/allow-list.txt $root/examples/deny-list.txt}"
EXAMPLE_DENY_LIST=${MACGATE_EXAMPLE_DENY_LIST:-$root/examples/deny-list.txt}

case_kinds=() case_names=() case_functions=() case_arches=()
# register_case KIND NAME FUNCTION [ARCH]: KIND is "binary" (needs
# binutils-mingw-w64) or "wine" (needs Wine for the architecture). FUNCTION
# gets the architecture (x86 or x64) and runs in a fresh working directory
# with set -e; with ARCH, on that architecture only.
register_case() {
    case_kinds+=("$1")
    case_names+=("$2")
    case_functions+=("$3")
    case_arches+=("${4:-x86 x64}")
}

cases_pass_word=PASS
# shellcheck source=tests/lib/cases.sh
source "$here/../lib/cases.sh"
# lib.sh's fail fails a case from within it; run.sh counts with cases_fail.
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"
for cases in "$here"/cases/*.sh; do
    # shellcheck disable=SC1090
    source "$cases"
done

run_dir=$(mktemp -d "${TMPDIR:-/tmp}/macgate-wine.XXXXXX")
# stop_wine DIR: stops the wineserver of every Wine prefix in DIR (a prefix
# holds system.reg), so that nothing is left to wait on.
stop_wine() {
    command -v wineserver >/dev/null || return 0
    local registry
    while IFS= read -r registry; do
        WINEPREFIX=$(dirname "$registry") timeout 30 wineserver -k >/dev/null 2>&1 || true
    done < <(find "$1" -name system.reg -not -path '*/drive_c/*' 2>/dev/null)
}
# kill_tree PID: PID and every process below it.
kill_tree() {
    local child
    for child in $(pgrep -P "$1" 2>/dev/null); do
        kill_tree "$child"
    done
    kill -KILL "$1" 2>/dev/null || true
}
printed=''
cleanup() {
    local job
    for job in $(jobs -p); do
        kill_tree "$job"
    done
    # Cut short: what each architecture's cases said so far.
    [ -n "$printed" ] || cat "$run_dir"/out-* 2>/dev/null || true
    stop_wine "$run_dir"
    if [ -n "${MACGATE_WINE_KEEP:-}" ]; then
        echo "kept $run_dir"
    else
        rm -rf "$run_dir"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

skip_reason_binary='' skip_reason_wine=''

if ! command -v x86_64-w64-mingw32-objdump >/dev/null ||
    ! command -v i686-w64-mingw32-objdump >/dev/null; then
    skip_reason_binary='binutils-mingw-w64 is not installed'
fi

if ! command -v wine >/dev/null || ! command -v wineboot >/dev/null; then
    skip_reason_wine='Wine is not installed'
else
    export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    # reg.exe takes its command line in the Unix locale: characters above
    # U+00FF reach the registry as one UTF-16 unit only in a UTF-8 locale.
    export LC_ALL=C.UTF-8
fi

# make_prefix ARCH: makes the architecture's Wine prefix and exports
# WINEPREFIX and WINEARCH for its cases; prints why it cannot, and fails.
make_prefix() {
    local started=$SECONDS
    export WINEPREFIX="$run_dir/prefix-$1" WINEARCH
    WINEARCH=$([ "$1" = x86 ] && echo win32 || echo win64)
    mkdir -p "$WINEPREFIX"
    if timeout 300 wineboot -i >"$run_dir/wineboot-$1.log" 2>&1 && timeout 120 wineserver -w; then
        printf 'Wine prefix for %s (%s) ready in %d s (%s)\n' "$1" "$WINEARCH" \
            $((SECONDS - started)) "$(wine --version)"
    else
        sed 's/^/      | /' "$run_dir/wineboot-$1.log" | tail -n 20
        return 1
    fi
}

# run_arch ARCH: every case on one architecture, in its own prefix. The two
# architectures run at once, since their cases mostly wait on Wine's
# start-up of each program; each writes its lines to its own file and its
# counts with cases_counts.
run_arch() {
    local arch=$1 arch_dir DLL PROBE TOOL arch_skip loader i name reason work started case_pid \
        watchdog status
    arch_dir="$build/mingw-$arch"
    DLL="$arch_dir/macgate.dll"
    PROBE="$arch_dir/tests/wine/wineprobe.exe"
    TOOL="$arch_dir/macgate.exe"
    [ -f "$TOOL" ] || TOOL=""
    export DLL PROBE TOOL
    if [ ! -f "$DLL" ] || [ ! -f "$PROBE" ]; then
        cases_fail "$arch  $DLL or $PROBE is missing: build the mingw-$arch preset first"
        return
    fi

    # Debian's wine32 and wine64 packages each bring the loader of one size;
    # a 32-bit prefix needs wine32.
    arch_skip=$skip_reason_wine
    loader=/usr/lib/wine/$([ "$arch" = x86 ] && echo wine || echo wine64)
    if [ -z "$arch_skip" ] && [ ! -e "$loader" ]; then
        arch_skip="wine$([ "$arch" = x86 ] && echo 32 || echo 64) is not installed"
    elif [ -z "$arch_skip" ] && ! make_prefix "$arch"; then
        cases_fail "$arch  wineboot could not make a $WINEARCH Wine prefix in $WINEPREFIX"
        arch_skip="no $WINEARCH Wine prefix"
    fi
    # Wine may exit with 0 when it cannot start a program, so the helper must
    # say what it did.
    if [ -z "$arch_skip" ] && ! wine_run "$PROBE" open "$(win_path "$run_dir/arch-$arch")" w denyno \
        2>/dev/null | grep '^opened' >/dev/null; then
        cases_fail "$arch  Wine is installed but cannot run $PROBE"
        arch_skip='Wine cannot run the helper'
    fi

    for i in "${!case_names[@]}"; do
        name=${case_names[$i]}
        [[ "$name" =~ ${MACGATE_WINE_ONLY:-.} ]] || continue
        [[ " ${case_arches[$i]} " == *" $arch "* ]] || continue
        reason=$skip_reason_binary
        [ "${case_kinds[$i]}" = wine ] && reason=$arch_skip
        if [ -n "$reason" ]; then
            skip "$arch  $name" "$reason" "$arch: $reason"
            continue
        fi
        work="$run_dir/case-$arch-$i"
        mkdir -p "$work"
        started=$SECONDS
        (
            set -euo pipefail
            cd "$work"
            # Every case starts from a server key without values.
            [ "${case_kinds[$i]}" != wine ] || reg_clear
            "${case_functions[$i]}" "$arch"
        ) >"$work/log" 2>&1 &
        case_pid=$!
        (
            sleep "${MACGATE_WINE_CASE_TIMEOUT:-900}"
            touch "$work/hung"
            kill_tree "$case_pid"
        ) 2>/dev/null &
        watchdog=$!
        status=0
        wait "$case_pid" || status=$?
        kill_tree "$watchdog"
        wait "$watchdog" 2>/dev/null || true
        # Whatever prefix the case made below its folder is stopped with it.
        stop_wine "$work"
        if [ -e "$work/hung" ]; then
            cases_fail "$arch  $name: stopped after $((SECONDS - started)) s, hung"
            sed 's/^/      | /' "$work/log"
        elif [ "$status" -eq 0 ]; then
            pass "$arch  $name ($((SECONDS - started)) s)"
        else
            cases_fail "$arch  $name ($((SECONDS - started)) s)"
            sed 's/^/      | /' "$work/log"
        fi
    done
    [ -z "${WINEPREFIX:-}" ] || stop_wine "$WINEPREFIX"
}

for arch in x86 x64; do
    (
        passed=0 failures=0 skipped=0 reasons='' arch_started=$SECONDS
        run_arch "$arch"
        printf '%s: %d s in all\n' "$arch" $((SECONDS - arch_started))
        cases_counts "$run_dir/counts-$arch"
        echo "$failures" >"$run_dir/failures-$arch"
    ) >"$run_dir/out-$arch" 2>&1 &
done
wait
printed=yes
for arch in x86 x64; do
    cat "$run_dir/out-$arch"
    read -r arch_passed arch_skipped arch_reasons <"$run_dir/counts-$arch" ||
        { cases_fail "$arch  the run of its cases ended early"; continue; }
    passed=$((passed + arch_passed)) skipped=$((skipped + arch_skipped))
    failures=$((failures + $(cat "$run_dir/failures-$arch")))
    [ -z "$arch_reasons" ] || reasons+="${reasons:+, }$arch_reasons"
done

printf '\nWine suite: %d passed, %d failed, %d skipped%s\n' "$passed" "$failures" "$skipped" \
    "${reasons:+ ($reasons)}"
[ "$skipped" -eq 0 ] || echo "scripts/install-deps.sh installs what the skipped cases need"
cases_counts "${MACGATE_WINE_COUNTS:-}"
# And each architecture's own, beside it.
for arch in x86 x64; do
    [ -z "${MACGATE_WINE_COUNTS:-}" ] || [ ! -f "$run_dir/counts-$arch" ] ||
        cp "$run_dir/counts-$arch" "$MACGATE_WINE_COUNTS.$arch"
done
[ "$failures" -eq 0 ]
