#!/usr/bin/env bash
# Proves the Windows builds: checks the x86 and x64 macgate.dll files, then
# drives them under Wine with macgate.exe and wineprobe.exe against the real
# Win32 registry, C runtime text mode and share modes.
#
# Usage: tests/wine/run.sh   (after the mingw-x86, mingw-x64 and debug builds)
#
# One fresh private Wine prefix per run, shared by all its cases and removed
# at the end; install.cmd's rows also run in copies of it, three at once
# (MACGATE_WINE_INSTALL_WORKERS=N for another number). Cases that need a missing tool are reported as SKIP with the
# reason; the run fails if any case fails.
#
# MACGATE_WINE_ONLY=REGEX runs only the cases whose names match;
# MACGATE_WINE_COUNTS=FILE writes "PASSED SKIPPED REASONS" to FILE at the end,
# REASONS naming what made cases skip, per architecture;
# MACGATE_WINE_KEEP=1 keeps the prefix and every case's files for a look;
# MACGATE_UPDATE_GOLDEN=1 writes the golden files the cases compare with;
# WINE_STEP_TIMEOUT bounds each Windows program (60 s by default).
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
cleanup() {
    if [ -n "${WINEPREFIX:-}" ] && command -v wineserver >/dev/null; then
        wineserver -k >/dev/null 2>&1 || true
    fi
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
    export WINEPREFIX="$run_dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
    # reg.exe takes its command line in the Unix locale: characters above
    # U+00FF reach the registry as one UTF-16 unit only in a UTF-8 locale.
    export LC_ALL=C.UTF-8
    mkdir -p "$WINEPREFIX"
    started=$SECONDS
    if timeout 300 wineboot -i >/dev/null 2>&1 && timeout 120 wineserver -w; then
        printf 'Wine prefix ready in %d s (%s)\n' $((SECONDS - started)) "$(wine --version)"
    else
        cases_fail "wineboot could not make a Wine prefix in $WINEPREFIX"
        skip_reason_wine='no Wine prefix'
    fi
fi

for arch in x86 x64; do
    arch_dir="$build/mingw-$arch"
    DLL="$arch_dir/macgate.dll"
    PROBE="$arch_dir/tests/wine/wineprobe.exe"
    TOOL="$arch_dir/macgate.exe"
    [ -f "$TOOL" ] || TOOL=""
    export DLL PROBE TOOL
    if [ ! -f "$DLL" ] || [ ! -f "$PROBE" ]; then
        cases_fail "$arch  $DLL or $PROBE is missing: build the mingw-$arch preset first"
        continue
    fi

    # Debian's wine32 and wine64 packages each bring the loader of one size.
    arch_skip=$skip_reason_wine
    loader=/usr/lib/wine/$([ "$arch" = x86 ] && echo wine || echo wine64)
    # Wine may exit with 0 when it cannot start a program, so the helper must
    # say what it did.
    if [ -z "$arch_skip" ] && ! wine_run "$PROBE" open "$(win_path "$run_dir/arch-$arch")" w denyno \
        2>/dev/null | grep '^opened' >/dev/null; then
        if [ -e "$loader" ]; then
            cases_fail "$arch  Wine is installed but cannot run $PROBE"
            arch_skip='Wine cannot run the helper'
        elif [ "$arch" = x86 ]; then
            arch_skip='wine32 is not installed'
        else
            arch_skip='wine64 is not installed'
        fi
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
        set +e
        (
            set -euo pipefail
            cd "$work"
            # Every case starts from a server key without values.
            [ "${case_kinds[$i]}" != wine ] || reg_clear
            "${case_functions[$i]}" "$arch"
        ) >"$work/log" 2>&1
        status=$?
        set -e
        if [ "$status" -eq 0 ]; then
            pass "$arch  $name ($((SECONDS - started)) s)"
        else
            cases_fail "$arch  $name ($((SECONDS - started)) s)"
            sed 's/^/      | /' "$work/log"
        fi
    done
done

printf '\nWine suite: %d passed, %d failed, %d skipped%s\n' "$passed" "$failures" "$skipped" \
    "${reasons:+ ($reasons)}"
[ "$skipped" -eq 0 ] || echo "scripts/install-deps.sh installs what the skipped cases need"
cases_counts "${MACGATE_WINE_COUNTS:-}"
[ "$failures" -eq 0 ]
