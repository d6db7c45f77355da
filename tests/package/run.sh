#!/usr/bin/env bash
# The release packages in dist/ as they are shipped, not the build tree:
# built again alike from a copy of the sources at another path (the zips and
# the host release's .deb), the host release's .deb passed by lintian, unpacked
# into a scratch root and run from there (the tool, and Kea with the
# packaged hooks library), and each Windows zip unpacked and installed under
# Wine.
#
#   tests/package/run.sh   (after scripts/package.sh and the debug build)
#
# Cases that need a missing tool are reported as SKIP with the reason; exits
# 1 if any case failed. MACGATE_PACKAGE_COUNTS=FILE writes "PASSED SKIPPED
# REASONS" to FILE at the end, the Wine cases of the zips included.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=$root/dist
expected=$root/tests/data/package
reference=${MACGATE_LINUX_TOOL:-$root/build/debug/macgate}
export LC_ALL=C

work=$(mktemp -d "${TMPDIR:-/tmp}/macgate-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/lib/cases.sh
. "$root/tests/lib/cases.sh"

[ -s "$dist/SHA256SUMS" ] || { echo "no $dist/SHA256SUMS: run scripts/package.sh first"; exit 1; }
# The host's release's package is the one checked here; each other
# release's is checked in its root (tests/kea/releases.sh).
host_tag=deb$(. /etc/os-release && echo "${VERSION_ID%%.*}")
deb=$(find "$dist" -maxdepth 1 -name "macgate_*~${host_tag}_*.deb" | sort)
version=${deb##*/macgate_}
version=${version%%-*}
arch=$(dpkg --print-architecture)
roots=${MACGATE_ROOTS:-$root/build/roots}
releases=$host_tag
for tag in ${MACGATE_RELEASES-$("$root/scripts/release-root.sh" --list)}; do
    [ "$tag" = "$host_tag" ] || [ ! -f "$roots/$tag/.macgate-root" ] || releases+=" $tag"
done
check "SHA256SUMS names and matches every package, one .deb for each of $releases, and nothing else is in dist/" \
    bash -c "cd '$dist' && sha256sum --strict -c SHA256SUMS &&
        diff <(ls) <({ printf '%s\n' SHA256SUMS macgate-$version-windows-x64-debug.zip \
            macgate-$version-windows-x64.zip macgate-$version-windows-x86-debug.zip \
            macgate-$version-windows-x86.zip
            for tag in $releases; do echo macgate_$version-1~\${tag}_$arch.deb; done; } | sort)"

# ---- the same commit builds the same bytes, from another folder and afresh
rebuild() {
    local copy=$root/build/package-check/src
    rm -rf "$root/build/package-check"
    mkdir -p "$copy"
    # The files of the checkout as they stand, without build/ and dist/.
    (cd "$root" && git ls-files --cached --others --exclude-standard -z |
        while IFS= read -r -d '' file; do
            [ ! -e "$file" ] || cp --parents -- "$file" "$copy"
        done)
    # Compiled afresh: a cached object would only repeat the first build.
    local status=0
    # The zips and this release's package: the other releases' packages are
    # made by the same script in their roots, and each root build costs as
    # much as all of these.
    if ! (cd "$copy" && CCACHE_DISABLE=1 SOURCE_DATE_EPOCH=$epoch MACGATE_RELEASES='' \
        scripts/package.sh >"$work/rebuild.log" 2>&1); then
        tail -n 20 "$work/rebuild.log"
        status=1
    elif ! diff <(grep -v '~deb' "$dist/SHA256SUMS"; grep "~${host_tag}_" "$dist/SHA256SUMS") \
        <(grep -v '~deb' "$copy/dist/SHA256SUMS"; grep "~${host_tag}_" "$copy/dist/SHA256SUMS"); then
        echo "the packages differ between the two builds (< first, > second)"
        status=1
    fi
    rm -rf "$root/build/package-check"
    return "$status"
}
if epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null)}; then
    check "a second build from a copy of the sources gives the same zips and $host_tag package" rebuild
else
    skip "second build" "not a git checkout"
fi

# ---- the Debian package
if command -v lintian >/dev/null; then
    check "lintian reports no error" lintian --fail-on error "$deb"
    sed 's/^/      | /' "$work/out"
else
    skip "lintian" "not installed (scripts/install-deps.sh installs it)"
fi
dpkg-deb -c "$deb" | awk '{print $1, $2, $6}' >"$work/deb-contents"
check "the .deb holds exactly the expected files, modes and owners" \
    diff -u "$expected/deb-contents.txt" "$work/deb-contents"

scratch=$work/root
dpkg-deb -x "$deb" "$scratch"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
hooks=$scratch/usr/lib/$multiarch/kea/hooks/libdhcp_macgate.so
tool=$scratch/usr/bin/macgate
examples=$scratch/usr/share/doc/macgate/examples

# Depends names the package of every Kea library the hooks library needs.
depends_on_kea() {
    local depends library owner
    depends=$(dpkg-deb -f "$deb" Depends)
    for library in $(readelf -d "$hooks" | sed -n 's/.*(NEEDED).*\[\(libkea-.*\)\]/\1/p'); do
        owner=$(dpkg-query -S "/usr/lib/$multiarch/$library" | cut -d: -f1) || return 1
        grep -qE "(^|, )$owner \(>= [0-9]" <<<"$depends" ||
            { echo "Depends ($depends) does not name $owner, which has $library"; return 1; }
    done
    [ -n "${owner:-}" ] || { echo "the hooks library needs no Kea library"; return 1; }
}
check "Depends names the packages of the Kea libraries the hooks library was linked against" \
    depends_on_kea

# Each of those packages is bounded to one Kea series, the one whose
# installed release ships exactly the library versions (sonames) that the
# hooks library links: a later series, with other sonames, is outside it.
depends_bounds_kea_series() {
    local depends library owner installed lower upper
    depends=$(dpkg-deb -f "$deb" Depends)
    for library in $(readelf -d "$hooks" | sed -n 's/.*(NEEDED).*\[\(libkea-.*\)\]/\1/p'); do
        owner=$(dpkg-query -S "/usr/lib/$multiarch/$library" | cut -d: -f1) || return 1
        [ -e "/usr/lib/$multiarch/$library" ] || { echo "$library is not installed"; return 1; }
        installed=$(dpkg-query -W -f '${Version}' "$owner")
        lower=$(grep -oE "(^|, )$owner \(>= [^)]*\)" <<<"$depends" | sed -E 's/.*>= (.*)\)/\1/')
        upper=$(grep -oE "(^|, )$owner \(<< [^)]*\)" <<<"$depends" | sed -E 's/.*<< (.*)\)/\1/')
        [ -n "$upper" ] || { echo "Depends ($depends) has no upper bound for $owner"; return 1; }
        dpkg --compare-versions "$installed" ge "$lower" &&
            dpkg --compare-versions "$installed" lt "$upper" ||
            { echo "$owner $installed, which has $library, is outside [$lower, $upper)"; return 1; }
        # The next series begins at the bound: one minor release up.
        [ "$upper" = "$(awk -F. '{ printf "%d.%d~", $1, $2 + 1 }' <<<"$installed")" ] ||
            { echo "the upper bound $upper of $owner is not the series after $installed"; return 1; }
    done
}
check "Depends bounds the Kea packages to the series whose sonames the hooks library links" \
    depends_bounds_kea_series
# Each example configuration is one that its server takes, with the packaged
# hooks library in the place the example names.
example_config_passes() {  # server
    command -v "$1" >/dev/null || { echo "$1 is not installed"; return 1; }
    sed "s|/usr/lib/$multiarch/kea/hooks/libdhcp_macgate.so|$hooks|" \
        "$examples/$1.json" >"$work/$1.json"
    grep -q "$hooks" "$work/$1.json" || { echo "the example names no hooks library"; return 1; }
    "$1" -t "$work/$1.json" >"$work/kea-t" 2>&1 || { tail -n 3 "$work/kea-t"; return 1; }
}
check "kea-dhcp4 -t takes the example Kea configuration" example_config_passes kea-dhcp4
check "kea-dhcp6 -t takes the example Kea configuration" example_config_passes kea-dhcp6
check "the packaged macgate --version gives the package's version" \
    diff <(echo "macgate $version") <("$tool" --version)

# The packaged tool, with the library it finds on its own, against the
# build tree's on the packaged examples.
same_as_build_tree() {
    "$reference" "$@" >"$work/reference" 2>&1
    local want=$?
    "$tool" "$@" >"$work/packaged" 2>&1
    local got=$?
    diff -u "$work/reference" "$work/packaged" && [ "$got" -eq "$want" ]
}
if [ -x "$reference" ]; then
    for list in allow deny; do
        check "packaged macgate check on the $list list gives the build tree's" \
            same_as_build_tree check "$examples/$list-list.txt"
        check "packaged macgate replay with the $list list gives the build tree's verdicts" \
            same_as_build_tree replay --list "$examples/$list-list.txt" \
            --error-log "$work/error.log" "$examples/dhcp.pcap"
    done
else
    fail "$reference is missing: build the debug preset first"
fi

# kea-dhcp4 and kea-dhcp6 with the hooks library from the package.
for e2e in e2e.sh e2e6.sh; do
    e2e_status=0
    started=$SECONDS
    MACGATE_TOOL=$tool timeout 600 "$root/tests/kea/$e2e" "$hooks" >"$work/e2e" 2>&1 ||
        e2e_status=$?
    case $e2e_status in
        0) pass "Kea end to end ($e2e) with the packaged hooks library ($((SECONDS - started)) s)" ;;
        77) skip "Kea end to end ($e2e)" "$(sed -n 's/^SKIP: //p' "$work/e2e" | head -n 1)" ;;
        *) fail "Kea end to end ($e2e) with the packaged hooks library" &&
            sed 's/^/      | /' "$work/e2e" ;;
    esac
done

# ---- the Windows zips
# Every text for Notepad and cmd.exe has CR LF line ends, and only those.
crlf_only() {
    local name file
    for name in README.txt install.cmd uninstall.cmd examples/allow-list.txt; do
        file=$work/crlf
        unzip -p "$zip" "macgate-$version-windows-$zip_arch/$name" >"$file"
        if [ ! -s "$file" ] || [ "$(grep -c $'\r$' "$file")" -ne "$(wc -l <"$file")" ]; then
            echo "$name: not every line ends in CR LF"
            return 1
        fi
    done
}
# Both binaries of the zip unpacked in FOLDER are stripped, each names its
# file in the debug zip (unpacked over it) by name and CRC-32, and that file
# holds the debug information.
stripped_with_debug_files() {
    local folder=$1 binary file
    for binary in macgate.dll macgate.exe; do
        file=$folder/$binary
        "$objdump" -t "$file" | grep -qx 'no symbols' || { echo "$binary has symbols"; return 1; }
        if "$objdump" -h "$file" | grep -q ' \.debug_'; then
            echo "$binary has debug sections"
            return 1
        fi
        "$objdump" -h "$file.debug" | grep -q ' \.debug_info ' ||
            { echo "$binary.debug holds no debug information"; return 1; }
        "$objcopy" --dump-section .gnu_debuglink="$work/debuglink" "$file" "$work/discard" ||
            { echo "$binary has no debug link"; return 1; }
        python3 - "$work/debuglink" "$file.debug" "$binary.debug" <<'PYTHON' || return 1
import struct, sys, zlib
link = open(sys.argv[1], "rb").read()
name = link[:link.index(b"\0")].decode()
crc = struct.unpack("<I", link[-4:])[0]
actual = zlib.crc32(open(sys.argv[2], "rb").read())
if name != sys.argv[3] or crc != actual:
    sys.exit(f"debug link {name} {crc:08x}, not {sys.argv[3]} {actual:08x}")
PYTHON
    done
}

# macgate.exe in FOLDER carries the package's version, under its own name.
exe_version_record() {
    local rc
    rc=$("$windres" -i "$1/macgate.exe" -O rc) || return 1
    if ! grep -qx " FILEVERSION ${version//./, }" <<<"$rc" ||
        ! grep -qx " PRODUCTVERSION ${version//./, }" <<<"$rc" ||
        ! grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$rc" ||
        ! grep -q 'VALUE "OriginalFilename", "macgate.exe"' <<<"$rc"; then
        echo "$rc"
        return 1
    fi
}

for zip_arch in x64 x86; do
    zip=$dist/macgate-$version-windows-$zip_arch.zip
    # The names with the version and architecture made generic, so that the
    # golden list holds for both zips and every release.
    for kind in "" -debug; do
        unzip -Z1 "${zip%.zip}$kind.zip" |
            sed "s/^macgate-$version-windows-$zip_arch/macgate-VERSION-windows-ARCH/" \
                >"$work/zip$kind-contents"
        check "the $zip_arch$kind zip holds exactly the expected files" \
            diff -u "$expected/zip$kind-contents.txt" "$work/zip$kind-contents"
    done
    check "the $zip_arch zip's texts have CR LF line ends" crlf_only
    prefix=$([ "$zip_arch" = x64 ] && echo x86_64 || echo i686)-w64-mingw32
    objdump=$prefix-objdump objcopy=$prefix-objcopy windres=$prefix-windres
    if command -v "$objdump" >/dev/null && command -v python3 >/dev/null; then
        unpacked=$work/unpacked-$zip_arch
        unzip -q -o "$zip" -d "$unpacked" && unzip -q -o "${zip%.zip}-debug.zip" -d "$unpacked"
        check "the $zip_arch binaries are stripped, their debug information in the debug zip" \
            stripped_with_debug_files "$unpacked/macgate-$version-windows-$zip_arch"
        check "the $zip_arch macgate.exe carries the version record" \
            exe_version_record "$unpacked/macgate-$version-windows-$zip_arch"
    else
        skip "the $zip_arch binaries" "binutils-mingw-w64 or python3 is not installed"
    fi
done
started=$SECONDS
MACGATE_PACKAGES=$dist MACGATE_WINE_ONLY='^zip: ' MACGATE_WINE_COUNTS=$work/wine-counts \
    "$root/tests/wine/run.sh" >"$work/wine" 2>&1
wine_status=$?
sed 's/^/      | /' "$work/wine"
what="the zips under Wine ($((SECONDS - started)) s)"
if [ "$wine_status" -eq 0 ]; then pass "$what"; else fail "$what"; fi
# The Wine cases that skipped (x86 without wine32) count as skipped here.
if read -r _ wine_skipped wine_reasons <"$work/wine-counts" 2>/dev/null && [ "$wine_skipped" -gt 0 ]; then
    skipped=$((skipped + wine_skipped))
    reasons+="${reasons:+, }Wine $wine_reasons"
fi

cases_counts "${MACGATE_PACKAGE_COUNTS:-}"
if [ "$failures" -ne 0 ]; then
    printf '%d package checks failed\n' "$failures"
    exit 1
fi
printf 'all package checks passed\n'
