#!/usr/bin/env bash
# Builds macgate and replays the bundled capture of real DHCP clients
# (examples/dhcp.pcap) through the built library, the way the DHCP server
# calls it: once with the example allow list, once with the deny list.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target macgate macgate_tool

tool=build/release/macgate
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
for list in examples/allow-list.txt examples/deny-list.txt; do
    printf '\n==== %s\n' "$list"
    sed -n '/^MAC_ACTION/,$p' "$list"
    printf '\n'
    "$tool" replay --list "$list" --error-log "$logs/error.log" --info-log "$logs/info.log" \
        examples/dhcp.pcap
    for log in error info; do
        if [ -s "$logs/$log.log" ]; then
            printf '\nThe library'"'"'s %s log:\n' "$log"
            sed 's/^/    /' "$logs/$log.log"
        fi
    done
done
