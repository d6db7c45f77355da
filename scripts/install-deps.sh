#!/usr/bin/env bash
# Puts every build and test dependency of macgate in place on Debian 12 with
# apt-get. Does nothing when everything is installed already.
#
# A mirror that is half-way through a sync can fail one index while every
# package is still to be had, so a failed index is retried and then only
# warned about. A package that cannot be installed is named with apt's
# reason; the tests that need it skip and say so. Only when the build itself
# cannot be installed does this script fail.
set -uo pipefail

# Without these nothing can be built or tested.
required=(
    cmake ninja-build g++ libgtest-dev libbenchmark-dev libcli11-dev
)
# Each of these enables a group of steps, which skip when it is missing.
optional=(
    # fuzzing and the sanitizers' runtime for clang
    clang libclang-rt-14-dev clang-format
    # Windows cross builds and running them under Wine
    mingw-w64 binutils-mingw-w64 wine wine64 wine32:i386
    # the 32-bit Linux build (linux-x86), and qemu-i386 to run its tests on a
    # kernel without 32-bit support
    g++-multilib qemu-user
    # the Kea hooks adapter and its end-to-end tests, DHCPv4 and DHCPv6
    kea-dhcp4-server kea-dhcp6-server kea-dev kea-admin libboost-dev
    busybox isc-dhcp-client iproute2 tcpdump socat jq python3
    # the release packages (scripts/package.sh) and their checks, and the
    # roots of the other Debian releases they are built and checked in
    zip unzip dpkg-dev lintian debootstrap curl
    # status --kea over HTTP and HTTPS
    libcurl4-openssl-dev
)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for package in "${required[@]}" "${optional[@]}"; do
    installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi

# apt-get update exits non-zero when any index fails, even though the others
# were read; three tries, then the failed indexes are named and we go on.
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
for try in 1 2 3; do
    if "${sudo[@]}" apt-get update -qq >"$update_log" 2>&1; then
        break
    fi
    if [ "$try" -eq 3 ]; then
        echo "WARNING: apt-get update still fails after 3 tries; going on with the indexes it has:"
        grep -E '^(E|W):' "$update_log" | sed 's/^/    /'
    else
        echo "apt-get update failed (try $try of 3); trying again in 10 s"
        sleep 10
    fi
done

# All at once first; if that fails, one at a time, to name what cannot be had.
if "${sudo[@]}" apt-get install -y -qq "${missing[@]}"; then
    exit 0
fi
failed=()
for package in "${missing[@]}"; do
    installed "$package" && continue
    if ! reason=$("${sudo[@]}" apt-get install -y -q "$package" 2>&1); then
        failed+=("$package")
        echo "WARNING: cannot install $package:"
        # apt's own words: the first unmet dependencies, then its error.
        { grep -E '^ \S.* : Depends:' <<<"$reason" | head -n 4; grep -E '^E:' <<<"$reason"; } |
            sed 's/^ */    /'
    fi
done
status=0
for package in "${required[@]}"; do
    if ! installed "$package"; then
        echo "ERROR: $package is needed to build macgate and could not be installed"
        status=1
    fi
done
[ ${#failed[@]} -eq 0 ] || echo "Not installed: ${failed[*]} (the tests that need them will say they skipped)"
exit "$status"
