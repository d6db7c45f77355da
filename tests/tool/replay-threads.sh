#!/usr/bin/env bash
# Replays the example capture, repeated 200 times, on eight threads through
# the built library, and checks that the info log holds one whole, well-formed
# line per decision. Under the thread sanitizer any race ends the tool.
#   replay-threads.sh TOOL SOURCE_DIR
set -euo pipefail
tool=$1
capture=$2/examples/dhcp.pcap
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

{
    head -c 24 "$capture"
    for _ in $(seq 200); do tail -c +25 "$capture"; done
} >"$work/repeated.pcap"
"$tool" replay --threads 8 --list "$2/examples/allow-list.txt" --error-log "$work/error.log" \
    --info-log "$work/info.log" "$work/repeated.pcap" >"$work/out"
tail -1 "$work/out"
grep -q '3000 DHCP requests replayed on 8 threads: 1200 allowed, 1800 denied' "$work/out"

decision='^(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} (5254006a0101 Allow|5254006b0201 Allow|5254006a0102 Deny|5254006b0202 Deny|5254006a0103 Deny)$'
lines=$(grep -cE "$decision" "$work/info.log" || true)
others=$(grep -vE "$decision" "$work/info.log" || true)
expected_others='Action specified is : ALLOW
Successfully read mac addresses
The DHCP server has successfully started.
The DHCP server has successfully stopped.'
if [ "$lines" -ne 3000 ] || [ "$others" != "$expected_others" ]; then
    echo "info log: $lines decision lines, and besides them:"
    echo "$others"
    exit 1
fi
echo "info log: 3000 well-formed decision lines"
