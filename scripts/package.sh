#!/usr/bin/env bash
# Builds the release packages into dist/, and nothing else there:
#
#   macgate-VERSION-windows-x64.zip   macgate.dll and macgate.exe for a 64-bit
#   macgate-VERSION-windows-x86.zip   or a 32-bit DHCP server, with the install
#                                     scripts, the examples and README.txt
#   macgate-VERSION-windows-ARCH-debug.zip
#                                     the debug information of both binaries,
#                                     which the zips above ship stripped
#   macgate_VERSION-1_ARCH.deb        the tool, its library and the Kea hooks
#                                     library for Debian 12
#   SHA256SUMS                        over all of them
#
# VERSION is the project's version in CMakeLists.txt. The same commit gives
# the same bytes: every time stamp is the commit's (SOURCE_DATE_EPOCH, which
# may also be given), the binaries carry no path or date, and the archives
# list their members in one order with one owner and fixed modes.
#
# Builds only what it ships: the package preset for Linux, and the library
# and the tool in the mingw-x64 and mingw-x86 build folders, reusing what is
# built there already.
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
cmake --preset package >/dev/null
grep -q 'libdhcp_macgate\.so' build/package/build.ninja ||
    { echo "package.sh: Kea's development files are missing (scripts/install-deps.sh)" >&2; exit 2; }
build package all
build mingw-x64 macgate macgate_tool
build mingw-x86 macgate macgate_tool

version=$(sed -n 's/^#define MACGATE_VERSION "\(.*\)"$/\1/p' build/package/generated/callout/version.h)
[ -n "$version" ] || { echo "package.sh: no version in build/package" >&2; exit 1; }

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

# ---- Debian: the tool, the library it loads and the Kea hooks library
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
# Staged where dpkg-shlibdeps expects a package's files.
root=$stage/debian/macgate
doc=$root/usr/share/doc/macgate
install -D -m 0755 build/package/macgate "$root/usr/bin/macgate"
install -D -m 0644 build/package/libmacgate.so "$root/usr/lib/macgate/libmacgate.so"
install -D -m 0644 build/package/kea/libdhcp_macgate.so \
    "$root/usr/lib/$multiarch/kea/hooks/libdhcp_macgate.so"
# As Debian's own packages strip them.
strip --remove-section=.comment --remove-section=.note "$root/usr/bin/macgate"
strip --remove-section=.comment --remove-section=.note --strip-unneeded \
    "$root/usr/lib/macgate/libmacgate.so" "$root/usr/lib/$multiarch/kea/hooks/libdhcp_macgate.so"
install -D -m 0644 examples/allow-list.txt examples/deny-list.txt examples/site-list.txt \
    examples/dhcp.pcap examples/kea-dhcp4.json examples/kea-dhcp6.json examples/macgate-kea.logrotate \
    -t "$doc/examples"
install -m 0644 scripts/debian/copyright README.md "$doc/"
{
    printf 'macgate (%s-1) bookworm; urgency=medium\n\n' "$version"
    printf '  * Release %s.\n\n' "$version"
    printf ' -- %s  %s\n' "$(sed -n 's/^Maintainer: //p' scripts/debian/control)" \
        "$(date -R --date="@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.Debian.gz"
install -d "$root/usr/share/man/man1" "$root/usr/share/man/man5"
gzip -9n <tools/macgate/macgate.1 >"$root/usr/share/man/man1/macgate.1.gz"
gzip -9n <tools/macgate/macgate-list.5 >"$root/usr/share/man/man5/macgate-list.5.gz"
chmod 0644 "$root"/usr/share/man/man*/*.gz "$doc/changelog.Debian.gz"

# The dependencies are those of the binaries: the Kea libraries, C and C++
# runtimes that they were linked against, at the versions their shlibs name.
mkdir -p "$root/DEBIAN"
printf 'Source: macgate\n\nPackage: macgate\nArchitecture: any\n' >"$stage/debian/control"
depends=$(cd "$stage" && dpkg-shlibdeps -O -e"$root/usr/bin/macgate" \
    -e"$root/usr/lib/macgate/libmacgate.so" -e"$root/usr/lib/$multiarch/kea/hooks/libdhcp_macgate.so" |
    sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
# Each Kea series has its own library versions (libkea-hooks.so.57 is
# Kea 2.2's), so a newer Kea would satisfy ">=" and then fail to load the
# hooks library: the packages of the Kea libraries it links are bounded to
# the series that the build's Kea headers name.
kea_version=$(cat build/package/kea/kea-version.txt)
kea_next_series=$(awk -F. '{ printf "%d.%d~", $1, $2 + 1 }' <<<"$kea_version")
for library in $(readelf -d build/package/kea/libdhcp_macgate.so |
    sed -n 's/.*(NEEDED).*\[\(libkea-.*\)\]/\1/p'); do
    dpkg-query -S "/usr/lib/$multiarch/$library" | cut -d: -f1
done | sort -u >"$stage/kea-packages"
while read -r package; do
    depends=$(sed -E "s/(^|, )($package \([^)]*\))/\1\2, $package (<< $kea_next_series)/" <<<"$depends")
done <"$stage/kea-packages"
size=$(du -s -k --apparent-size --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version-1/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
    -e "s/@SIZE@/$size/" scripts/debian/control >"$root/DEBIAN/control"
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
settle "$root"
# One compressor thread: xz's output depends on how many threads made it.
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" "dist/macgate_${version}-1_$arch.deb" >/dev/null

(cd dist && sha256sum -- *.zip *.deb >SHA256SUMS)
echo "dist/ ($version):"
sed 's/^/    /' dist/SHA256SUMS
