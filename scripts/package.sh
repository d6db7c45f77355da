#!/usr/bin/env bash
# Builds the release packages into dist/, and nothing else there:
#
#   macgate-VERSION-windows-x64.zip   macgate.dll and macgate.exe for a 64-bit
#   macgate-VERSION-windows-x86.zip   or a 32-bit DHCP server, with the install
#                                     scripts, the examples and README.txt
#   macgate-VERSION-windows-ARCH-debug.zip
#                                     the debug information of both binaries,
#                                     which the zips above ship stripped
#   macgate_VERSION-1~debN_ARCH.deb   the tool, its library and the Kea hooks
#                                     library for Debian 12 (Kea 2.2), 13 (Kea
#                                     2.6) and 14 (Kea 3.0), each built in
#                                     that release (scripts/package-deb.sh)
#   SHA256SUMS                        over all of them
#
# VERSION is the project's version in CMakeLists.txt. The same commit gives
# the same bytes: every time stamp is the commit's (SOURCE_DATE_EPOCH, which
# may also be given), the binaries carry no path or date, and the archives
# list their members in one order with one owner and fixed modes.
#
# Builds only what it ships: the package preset for each Debian release in
# build/debN/package, and the library and the tool in the mingw-x64 and
# mingw-x86 build folders, reusing what is built there already.
# MACGATE_RELEASES="deb13 deb14" names the releases besides the host's
# (by default those of scripts/release-root.sh --list).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C TZ=UTC
umask 022

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || {
        echo "package.sh: not in a git checkout: set SOURCE_DATE_EPOCH to the commit's time" >&2
        exit 2
    }
fi
export SOURCE_DATE_EPOCH
# ccache's base_dir turns the absolute paths of a compile into relative ones,
# which then end up in the debug information (and so in the build ID) and in
# __FILE__: the bytes would depend on whether and how ccache was set up.
unset CCACHE_BASEDIR
for tool in zip dpkg-deb dpkg-shlibdeps x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix \
    x86_64-w64-mingw32-objcopy i686-w64-mingw32-objcopy; do
    command -v "$tool" >/dev/null ||
        { echo "package.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2; exit 2; }
done

jobs=$(nproc)
build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs" --target "${@:2}"
}
build mingw-x64 macgate macgate_tool
build mingw-x86 macgate macgate_tool

version=$(sed -n 's/^#define MACGATE_VERSION "\(.*\)"$/\1/p' build/mingw-x64/generated/callout/version.h)
[ -n "$version" ] || { echo "package.sh: no version in build/mingw-x64" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
rm -rf dist
mkdir dist

# Every file of a tree gets the commit's time, so that no archive depends on
# when or in what order the files were made.
settle() {
    find "$1" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
}

crlf() {
    sed 's/\r*$/\r/' "$1" >"$2"
}

# zip_tree FOLDER NAME ZIP: FOLDER/NAME, its files in one order, into ZIP.
zip_tree() {
    settle "$1/$2"
    # -X: no owner or extra time fields; -D: no folder entries.
    (cd "$1" && find "$2" -type f | sort | zip -X -D -9 -q "$OLDPWD/$3" -@)
}

# ---- Windows: one zip per architecture, in a folder of the zip's name, and
# one of the debug information for the same folder
for arch in x64 x86; do
    name=macgate-$version-windows-$arch
    top=$stage/$name
    debug=$stage/debug/$name
    mkdir -p "$top/examples" "$debug"
    objcopy=$([ "$arch" = x64 ] && echo x86_64 || echo i686)-w64-mingw32-objcopy
    for binary in macgate.dll macgate.exe; do
        # The shipped binary keeps, of its debug information, the name and
        # the checksum of the file that holds it (.gnu_debuglink). objcopy
        # writes SOURCE_DATE_EPOCH as the time stamp of the files it makes.
        "$objcopy" --only-keep-debug "build/mingw-$arch/$binary" "$debug/$binary.debug"
        "$objcopy" --strip-all "build/mingw-$arch/$binary" "$top/$binary"
        (cd "$debug" && "$objcopy" --add-gnu-debuglink="$binary.debug" "$top/$binary")
        chmod 0644 "$top/$binary" "$debug/$binary.debug"
    done
    crlf windows/install.cmd "$top/install.cmd"
    crlf windows/uninstall.cmd "$top/uninstall.cmd"
    crlf windows/README.txt "$top/README.txt"
    crlf examples/allow-list.txt "$top/examples/allow-list.txt"
    crlf examples/deny-list.txt "$top/examples/deny-list.txt"
    crlf examples/site-list.txt "$top/examples/site-list.txt"
    install -m 0644 examples/dhcp.pcap "$top/examples/"
    zip_tree "$stage" "$name" "dist/$name.zip"
    zip_tree "$stage/debug" "$name" "dist/$name-debug.zip"
done

# ---- Debian: one package per release, each built with that release's
# compiler and Kea: Debian 12 here, Debian 13 and 14 in their roots
# (scripts/release-root.sh makes them once, in build/roots/). Without
# MACGATE_RELEASES, every release whose root can be made; a root that cannot
# be made (no debootstrap, the archive out of reach) is named and left out.
host_tag=deb$(. /etc/os-release && echo "${VERSION_ID%%.*}")
host_codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
scripts/package-deb.sh "$host_tag" "$host_codename" dist
for tag in ${MACGATE_RELEASES-$(scripts/release-root.sh --list)}; do
    [ "$tag" != "$host_tag" ] || continue
    root_status=0
    scripts/release-root.sh "$tag" || root_status=$?
    case $root_status in
    0) ;;
    77)
        echo "package.sh: no package for $tag: its root cannot be made here (above)" >&2
        continue
        ;;
    *) exit 1 ;;
    esac
    codename=$(sed -n 's/^suite //p' "${MACGATE_ROOTS:-build/roots}/$tag/.macgate-root")
    scripts/release-root.sh --run "$tag" env SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" \
        /src/scripts/package-deb.sh "$tag" "$codename" dist
done

(cd dist && sha256sum -- *.zip *.deb >SHA256SUMS)
echo "dist/ ($version):"
sed 's/^/    /' dist/SHA256SUMS
