#!/usr/bin/env bash
# Records examples/dhcp.pcap: real DHCP clients (busybox udhcpc and ISC
# dhclient) getting and releasing leases from busybox udhcpd, each client
# with its own hardware address. Everything happens in two network
# namespaces made for the purpose and joined by a veth pair; the only
# addresses are in 192.0.2.0/24 (TEST-NET-1), on that pair. Needs root.
#
#   examples/record-capture.sh [OUTPUT]     (default: examples/dhcp.pcap)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
output=${1:-$here/dhcp.pcap}

for tool in ip tcpdump busybox dhclient; do
    command -v "$tool" >/dev/null || { echo "record-capture.sh: $tool is missing" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "record-capture.sh: needs root (network namespaces)" >&2; exit 2; }

# Clients in the order they ask: name, DHCP client, hardware address.
clients=(
    "udhcpc 52:54:00:6a:01:01"
    "udhcpc 52:54:00:6a:01:02"
    "dhclient 52:54:00:6b:02:01"
    "dhclient 52:54:00:6b:02:02"
    "udhcpc 52:54:00:6a:01:03"
)

# shellcheck source=scripts/netns.sh
. "$here/../scripts/netns.sh"
netns_names "mgrec$$"
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    netns_teardown
    rm -rf "$work"
}
trap cleanup EXIT

netns_create || { echo "record-capture.sh: $(netns_failure $?)" >&2; exit 2; }

cat > "$work/udhcpd.conf" <<CONF
start 192.0.2.100
end 192.0.2.150
interface $server_if
lease_file $work/udhcpd.leases
pidfile $work/udhcpd.pid
opt subnet 255.255.255.0
opt lease 600
CONF
touch "$work/udhcpd.leases"

# The clients' script sets the leased address inside the client namespace
# only, for udhcpc ($1, $ip) and for dhclient ($reason, $new_ip_address).
cat > "$work/client-script" <<'SCRIPT'
#!/bin/sh
case "${reason:-$1}" in
    bound|renew|BOUND|RENEW|REBOOT)
        ip addr flush dev "$interface"
        ip addr add "${ip:-$new_ip_address}/24" dev "$interface" ;;
    deconfig|RELEASE|EXPIRE|STOP)
        ip addr flush dev "$interface" ;;
esac
exit 0
SCRIPT
chmod +x "$work/client-script"
: > "$work/dhclient.conf"

ip netns exec "$server_ns" tcpdump -i "$server_if" -U -n -w "$work/capture.pcap" \
    'udp and (port 67 or port 68)' 2>"$work/tcpdump.log" &
pids+=($!)
ip netns exec "$server_ns" busybox udhcpd -f "$work/udhcpd.conf" 2>"$work/udhcpd.log" &
pids+=($!)
sleep 1

for entry in "${clients[@]}"; do
    read -r program mac <<<"$entry"
    netns_set_client_mac "$mac"
    sleep 0.5
    echo "$program $mac"
    if [ "$program" = udhcpc ]; then
        # -q: quit once leased, -R: release the lease on the way out.
        ip netns exec "$client_ns" busybox udhcpc -i "$client_if" -f -q -R -n -t 4 -T 1 \
            -s "$work/client-script"
    else
        ip netns exec "$client_ns" dhclient -4 -1 -cf "$work/dhclient.conf" \
            -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" -sf "$work/client-script" "$client_if"
        ip netns exec "$client_ns" dhclient -4 -r -cf "$work/dhclient.conf" \
            -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" -sf "$work/client-script" "$client_if"
        rm -f "$work/dhclient.leases"
    fi
    ip -n "$client_ns" addr flush dev "$client_if"
done

sleep 1
kill "${pids[0]}"
wait "${pids[0]}" 2>/dev/null || true
cp "$work/capture.pcap" "$output"
echo "recorded $(tcpdump -r "$output" -n 2>/dev/null | wc -l) frames in $output"
