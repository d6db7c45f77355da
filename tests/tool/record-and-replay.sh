#!/usr/bin/env bash
# Records a fresh capture of real DHCP clients with examples/record-capture.sh
# and replays it with the example allow list: the two listed clients are
# served, the three others refused. Skipped (77) where network namespaces or
# the clients are not available.
#   record-and-replay.sh TOOL SOURCE_DIR
set -uo pipefail
tool=$1
source=$2

# shellcheck source=tests/lib/cases.sh
. "$source/tests/lib/cases.sh"
[ "$(id -u)" -eq 0 ] || skip_all "recording needs root for network namespaces"
for program in ip tcpdump busybox dhclient; do
    command -v "$program" >/dev/null || skip_all "$program is not installed (scripts/install-deps.sh)"
done
# shellcheck source=scripts/netns.sh
. "$source/scripts/netns.sh"
netns_probe "mg$$" || skip_all "network namespaces cannot be made here"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! timeout 180 "$source/examples/record-capture.sh" "$work/fresh.pcap" >"$work/record.log" 2>&1; then
    cat "$work/record.log"
    echo "FAIL: recording"
    exit 1
fi
"$tool" replay --list "$source/examples/allow-list.txt" --error-log "$work/error.log" \
    "$work/fresh.pcap" >"$work/out" || { cat "$work/out"; exit 1; }
cat "$work/out"
# Per client: served when listed, refused otherwise, and every client seen.
awk '
    /^[0-9a-f]+ / && length($1) == 12 {
        seen[$1] = 1
        listed = ($1 == "5254006a0101" || $1 == "5254006b0201")
        if ($2 < 1 || (listed && $4 != 0) || (!listed && $3 != 0)) { print "wrong verdicts for " $1; bad = 1 }
    }
    END {
        n = split("5254006a0101 5254006a0102 5254006b0201 5254006b0202 5254006a0103", all, " ")
        for (i = 1; i <= n; i++) if (!(all[i] in seen)) { print "no request from " all[i]; bad = 1 }
        exit bad
    }' "$work/out" || { echo "FAIL: verdicts"; exit 1; }
echo "fresh capture: verdicts as the allow list says"
