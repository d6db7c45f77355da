#!/usr/bin/env bash
# Builds the Debian package for the Debian release this runs on, with that
# release's compiler and Kea: on the host for the host's release, and inside
# a root that scripts/release-root.sh made for every other one.
#
#   scripts/package-deb.sh TAG CODENAME OUT
#
# TAG (deb12, deb13, deb14) ends the package's version (VERSION-1~TAG) and
# names its build folder, build/TAG/package; CODENAME goes into its
# changelog; the .deb is written into the folder OUT. SOURCE_DATE_EPOCH must
# be set (scripts/package.sh sets it): every time stamp is that one.
#
# The package holds the tool, the library it loads and the Kea hooks library.
# Its Depends are those of the binaries, with each Kea library's package
# bounded to the series of the Kea it was built with.
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C TZ=UTC
umask 022
[ $# -eq 3 ] || { echo "usage: package-deb.sh TAG CODENAME OUT" >&2; exit 2; }
tag=$1 codename=$2 out=$3
: "${SOURCE_DATE_EPOCH:?package-deb.sh: set SOURCE_DATE_EPOCH (scripts/package.sh does)}"
unset CCACHE_BASEDIR
for tool in cmake ninja dpkg-deb dpkg-shlibdeps readelf strip; do
    command -v "$tool" >/dev/null ||
        { echo "package-deb.sh: $tool is missing on $tag" >&2; exit 2; }
done

build=build/$tag/package
cmake --preset package -B "$build" >/dev/null
grep -q 'libdhcp_macgate\.so' "$build/build.ninja" ||
    { echo "package-deb.sh: Kea's development files are missing on $tag" >&2; exit 2; }
cmake --build "$build" -j "$(nproc)"

version=$(sed -n 's/^#define MACGATE_VERSION "\(.*\)"$/\1/p' "$build/generated/callout/version.h")
[ -n "$version" ] || { echo "package-deb.sh: no version in $build" >&2; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

settle() {
    find "$1" -exec touch --no-dereference --date="@$SOURCE_DATE_EPOCH" {} +
}

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
# Staged where dpkg-shlibdeps expects a package's files.
root=$stage/debian/macgate
doc=$root/usr/share/doc/macgate
hooks=usr/lib/$multiarch/kea/hooks/libdhcp_macgate.so
install -D -m 0755 "$build/macgate" "$root/usr/bin/macgate"
install -D -m 0644 "$build/libmacgate.so" "$root/usr/lib/macgate/libmacgate.so"
install -D -m 0644 "$build/kea/libdhcp_macgate.so" "$root/$hooks"
# As Debian's own packages strip them.
strip --remove-section=.comment --remove-section=.note "$root/usr/bin/macgate"
strip --remove-section=.comment --remove-section=.note --strip-unneeded \
    "$root/usr/lib/macgate/libmacgate.so" "$root/$hooks"
install -D -m 0644 examples/allow-list.txt examples/deny-list.txt examples/site-list.txt \
    examples/dhcp.pcap examples/kea-dhcp4.json examples/kea-dhcp6.json \
    examples/macgate-kea.logrotate -t "$doc/examples"
install -m 0644 scripts/debian/copyright README.md "$doc/"
{
    printf 'macgate (%s-1~%s) %s; urgency=medium\n\n' "$version" "$tag" "$codename"
    printf '  * Release %s, for Debian %s.\n\n' "$version" "$codename"
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
    -e"$root/usr/lib/macgate/libmacgate.so" -e"$root/$hooks" | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package-deb.sh: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
# Each Kea series has its own library versions (libkea-hooks.so.57 is
# Kea 2.2's), so a newer Kea would satisfy ">=" and then fail to load the
# hooks library: the packages of the Kea libraries it links are bounded to
# the series that the build's Kea headers name.
kea_version=$(cat "$build/kea/kea-version.txt")
kea_next_series=$(awk -F. '{ printf "%d.%d~", $1, $2 + 1 }' <<<"$kea_version")
for library in $(readelf -d "$build/kea/libdhcp_macgate.so" |
    sed -n 's/.*(NEEDED).*\[\(libkea-.*\)\]/\1/p'); do
    dpkg-query -S "/usr/lib/$multiarch/$library" | cut -d: -f1
done | sort -u >"$stage/kea-packages"
while read -r package; do
    depends=$(sed -E "s/(^|, )($package \([^)]*\))/\1\2, $package (<< $kea_next_series)/" <<<"$depends")
done <"$stage/kea-packages"
size=$(du -s -k --apparent-size --exclude=DEBIAN "$root" | cut -f1)
sed -e "s/@VERSION@/$version-1~$tag/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
    -e "s/@SIZE@/$size/" scripts/debian/control >"$root/DEBIAN/control"
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
settle "$root"
mkdir -p "$out"
# One compressor thread: xz's output depends on how many threads made it.
dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" \
    "$out/macgate_${version}-1~${tag}_$arch.deb" >/dev/null
