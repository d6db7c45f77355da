#!/usr/bin/env bash
# Puts every build and test dependency of macgate in place on Debian 12 with
# apt-get. Does nothing when everything is installed already.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ clang libclang-rt-14-dev clang-format
    libgtest-dev libbenchmark-dev
    # Windows cross builds and running them under Wine
    mingw-w64 binutils-mingw-w64 wine wine64 wine32:i386
    # the Kea hooks adapter and its end-to-end test
    kea-dhcp4-server kea-dev kea-admin libboost-dev
    busybox isc-dhcp-client iproute2 tcpdump
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
