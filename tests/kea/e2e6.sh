#!/usr/bin/env bash
# End to end for DHCPv6: kea-dhcp6 with libdhcp_macgate.so in one network
# namespace, real clients in another, joined by a veth pair, once with Kea's
# multi-threading off and once with it on. Under a deny list, then (after a
# config-reload, or a macgate-reload) the same addresses as an allow list:
#   - dhclient -6 with a DUID-LLT from a chosen MAC, listed and unlisted;
#   - a relay's RELAY-FORW (tests/kea/relay6.py) whose client MAC is only in
#     the client link-layer address option 79, listed and unlisted;
#   - dhclient -6 with a DUID-EN, on a listed MAC that Kea cannot see: no
#     hardware address, so dropped under the allow list, served under the deny.
# Then, with mac-sources ["duid"], the relayed client that the allow list
# drops is dropped after a libreload as well.
# The client side forms its link-local addresses at random, not from its MAC.
# In every phase Kea's statistics (pkt6-received, pkt6-receive-drop,
# macgate-allowed, macgate-denied) must count what tcpdump saw, each drop
# once, and the info log must hold one line per packet with its verdict.
#
#   tests/kea/e2e6.sh [path/to/libdhcp_macgate.so]
#   MACGATE_KEA_RELEASE=deb13 tests/kea/e2e6.sh /usr/lib/x86_64-linux-gnu/kea/hooks/libdhcp_macgate.so
#       (that release's kea-dhcp6, in its root, with the library installed there)
#
# Exits 0 when every check passed, 1 when one failed, 77 when it cannot run
# here (the reason is printed). Needs root for the namespaces.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
library=$(realpath -m "${1:-$here/../../build/debug/kea/libdhcp_macgate.so}")
cases_column=5
# shellcheck source=tests/lib/cases.sh
. "$here/../lib/cases.sh"

server=kea-dhcp6
family=6
# shellcheck source=tests/kea/lib.sh
. "$here/lib.sh"
kea_require debug ip kea-dhcp6 dhclient tcpdump socat jq python3
cleanup_logs="kea.out kea.log error.log info.log clients.out"
capture_args=(-Q in 'udp dst port 547')
kea_setup "mgv6$$" kea-e2e6
# No duplicate address detection, so that addresses are usable at once; the
# client side's link-local addresses are random (addr_gen_mode 3), so Kea can
# learn a MAC only from a DUID or a relay's option.
ip netns exec "$server_ns" sysctl -q -w "net.ipv6.conf.$server_if.accept_dad=0" &&
    ip netns exec "$client_ns" sysctl -q -w "net.ipv6.conf.$client_if.accept_dad=0" &&
    ip netns exec "$client_ns" sysctl -q -w "net.ipv6.conf.$client_if.addr_gen_mode=3" &&
    ip -n "$server_ns" link set "$server_if" down && ip -n "$server_ns" link set "$server_if" up ||
    skip_all "cannot set up IPv6 on the veth pair"
# Kea opens its sockets only on a running interface with a link-local address.
for _ in $(seq 50); do
    ip -n "$server_ns" -6 addr show dev "$server_if" scope link | grep -q "inet6 fe80" &&
        ip -n "$server_ns" link show "$server_if" | grep -q LOWER_UP && break
    sleep 0.1
done

listed_llt=02:00:5e:10:00:01
unlisted_llt=02:00:5e:20:00:01
listed_relayed=02:00:5e:10:00:02    # in option 79 only
unlisted_relayed=02:00:5e:20:00:02
relay_for_listed=02:00:5e:60:00:01  # the relay's own interface
relay_for_unlisted=02:00:5e:60:00:02
hidden_en=02:00:5e:10:00:03         # listed, behind a DUID-EN

cat >"$work/dhclient.sh" <<EOF
#!/bin/sh
case "\$reason" in BOUND6|RENEW6|REBIND6) echo "\$new_ip6_address" >"$work/dhclient.lease" ;; esac
exit 0
EOF
chmod +x "$work/dhclient.sh"

key() { echo "$1" | tr -d :; }

# A new MAC on the client side, and its link-local address ready for use.
# The link-local address stays, so the server must forget the old MAC.
set_client_mac() {  # mac
    netns_set_client_mac "$1"
    ip -n "$server_ns" neigh flush dev "$server_if"
    for _ in $(seq 50); do
        ip -n "$client_ns" -6 addr show dev "$client_if" scope link | grep -q "inet6 fe80" && return
        sleep 0.1
    done
}

write_list() {  # action
    printf 'MAC_ACTION = {%s}\n%s\n%s\n%s\n' "$1" "$(key "$listed_llt")" \
        "$(key "$listed_relayed")" "$(key "$hidden_en")" >"$work/list.txt"
}

write_config() {  # multi-threading [more Dhcp6 parameters]
    cat >"$work/kea.json" <<EOF
{
  "Dhcp6": {
    ${2:-}
    "interfaces-config": { "interfaces": [ "$server_if" ] },
    "lease-database": { "type": "memfile", "persist": false },
    "server-id": { "type": "LL", "persist": false },
    "multi-threading": $1,
    "control-socket": { "socket-type": "unix", "socket-name": "$kea_work/kea.sock" },
    "subnet6": [ { "id": 1, "subnet": "2001:db8:1::/64", "interface": "$server_if",
                   "pools": [ { "pool": "2001:db8:1::100 - 2001:db8:1::1ff" } ] } ],
    "hooks-libraries": [ {
      "library": "$library",
      "parameters": {
        "list-file": "$kea_work/list.txt",
        "error-log": "$kea_work/error.log",
        "info-log": "$kea_work/info.log"
      }
    } ],
    "loggers": [ {
      "name": "kea-dhcp6",
      "output_options": [ { "output": "$kea_work/kea.log", "flush": true } ],
      "severity": "INFO"
    } ]
  }
}
EOF
}

# The four statistics, as "received drop allowed denied".
statistics() {
    kea_command '{ "command": "statistic-get-all" }' | jq -r '.arguments |
        [ "pkt6-received", "pkt6-receive-drop", "macgate-allowed", "macgate-denied" ] as $names |
        [ $names[] as $n | (.[$n][0][0] // 0) ] | join(" ")' 2>/dev/null
}

# dhclient -6 once on a client MAC; $2 is "llt" or a DUID-EN. Prints the
# leased address, or nothing. A client that is served binds in a second or
# two; one that is dropped has sent three SOLICITs after five seconds.
run_dhclient() {  # mac llt|en
    set_client_mac "$1"
    rm -f "$work/dhclient.lease" "$work/dhclient.leases" "$work/dhclient.pid"
    if [ "$2" = en ]; then
        # dhclient takes the DUID recorded in its lease file.
        printf 'default-duid "%s";\n' "$(printf '\\%03o' 0 2 0 0 5 169 \
            $(key "$1" | sed 's/../0x& /g'))" >"$work/dhclient.leases"
    fi
    ip netns exec "$client_ns" timeout 5 dhclient -6 -1 -v -D LLT -sf "$work/dhclient.sh" \
        -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" "$client_if" >>"$work/clients.out" 2>&1
    if [ -s "$work/dhclient.pid" ]; then
        kill "$(cat "$work/dhclient.pid")" 2>/dev/null
        rm -f "$work/dhclient.pid"
    fi
    cat "$work/dhclient.lease" 2>/dev/null
}

# A relay on a MAC of its own forwards a SOLICIT of the client MAC.
run_relay() {  # relay-mac client-mac
    set_client_mac "$1"
    ip netns exec "$client_ns" python3 "$here/relay6.py" "$client_if" "$2" 2001:db8:1::1 \
        >>"$work/clients.out" 2>&1 && echo served
}

# One client: whether it was served as expected, and what it sent (counted
# by the MAC of the interface it sent from) with its verdict, for the totals.
expect_served() {  # context kind mac want(yes|no) interface-mac key
    local got
    case $2 in
    llt | en) got=$(run_dhclient "$3" "$2") ;;
    relay) got=$(run_relay "$5" "$3") ;;
    esac
    if [ "$4" = yes ] && [ -n "$got" ]; then
        pass "$1: $2 client $3 served ($got)"
    elif [ "$4" = no ] && [ -z "$got" ]; then
        pass "$1: $2 client $3 dropped"
    else
        fail "$1: $2 client $3 ${got:+served ($got)}${got:-dropped}, want served=$4"
    fi
    cases+=("$5 $6 $([ "$4" = yes ] && echo Allow || echo Deny)")
}

packets_from() {  # capture [mac]
    tcpdump -r "$1" -nn ${2:+ether src "$2"} 2>/dev/null | wc -l
}

# Every packet tcpdump saw from a client is one line of its verdict in the
# info log, and the statistics moved by what tcpdump saw: every packet
# received, each drop once in pkt6-receive-drop.
check_phase() {  # context capture before-statistics
    local context=$1 capture=$2 entry mac key verdict packets lines total allowed=0 denied=0
    for entry in "${cases[@]}"; do
        read -r mac key verdict <<<"$entry"
        packets=$(packets_from "$capture" "$mac")
        [ "$key" = none ] && key="no hardware address found"
        lines=$(grep -c "^.\{24\} $key $verdict\$" "$work/info.log")
        if [ "$packets" -gt 0 ] && [ "$lines" -eq "$packets" ]; then
            pass "$context: $packets packet(s) from $mac, as many '$key $verdict' lines"
        else
            fail "$context: $packets packet(s) from $mac, $lines '$key $verdict' line(s)"
        fi
        if [ "$verdict" = Allow ]; then
            allowed=$((allowed + packets))
        else
            denied=$((denied + packets))
        fi
    done
    total=$(packets_from "$capture")
    local want got
    want="$total $denied $allowed $denied"
    got=$(statistics | awk -v b="$3" 'BEGIN { split(b, before) }
        { printf "%d %d %d %d", $1 - before[1], $2 - before[2], $3 - before[3], $4 - before[4] }')
    if [ "$got" = "$want" ]; then
        pass "$context: pkt6-received, pkt6-receive-drop, macgate-allowed, macgate-denied rose by $got, as tcpdump saw"
    else
        fail "$context: pkt6-received, pkt6-receive-drop, macgate-allowed, macgate-denied rose by $got; tcpdump saw $want"
    fi
    got=$(kea_command '{ "command": "macgate-status" }' |
        jq -c '[.result, .arguments.action, .arguments.allowed, .arguments.denied]' 2>/dev/null)
    want="[0,\"$(tr 'A-Z' 'a-z' <<<"$4")\",$allowed,$denied]"
    if [ "$got" = "$want" ]; then
        pass "$context: macgate-status answers in kea-dhcp6 with the phase's counts"
    else
        fail "$context: macgate-status gives $got, not $want"
    fi
}

# One list in force: every kind of client, listed and unlisted.
run_phase() {  # mode action
    local context="$1, $2 list" before allow=yes deny=no
    [ "$2" = DENY ] && allow=no deny=yes
    cases=()
    before=$(statistics)
    start_capture "$2"
    expect_served "$context" llt "$listed_llt" $allow "$listed_llt" "$(key "$listed_llt")"
    expect_served "$context" llt "$unlisted_llt" $deny "$unlisted_llt" "$(key "$unlisted_llt")"
    expect_served "$context" relay "$listed_relayed" $allow "$relay_for_listed" \
        "$(key "$listed_relayed")"
    expect_served "$context" relay "$unlisted_relayed" $deny "$relay_for_unlisted" \
        "$(key "$unlisted_relayed")"
    expect_served "$context" en "$hidden_en" $deny "$hidden_en" none
    stop_capture
    check_phase "$context" "$work/$2.pcap" "$before" "$2"
}

run_kea() {  # mode multi-threading reload-command
    rm -f "$work/kea.log" "$work/info.log" "$work/error.log"
    write_list DENY
    write_config "$2"
    start_kea "$1" || exit 1
    if grep -E "DHCPSRV_OPEN_SOCKET_FAIL|DHCPSRV_NO_SOCKETS_OPEN" "$work/kea.log"; then
        fail "$1: kea-dhcp6 could not open its sockets on $server_if"
        exit 1
    fi
    grep -q MACGATE_STARTED "$work/kea.log" && pass "$1: kea-dhcp6 loaded macgate" ||
        fail "$1: Kea's log has no MACGATE_STARTED"
    run_phase "$1" DENY

    # The allow list comes with the whole configuration, or by itself.
    write_list ALLOW
    if kea_command "{ \"command\": \"$3\" }" | jq -e '.result == 0' >/dev/null 2>&1 &&
        grep -q "Action specified is : ALLOW" "$work/info.log" 2>/dev/null; then
        pass "$1: $3 takes up the allow list"
    else
        fail "$1: $3 did not take up the allow list"
    fi
    run_phase "$1" ALLOW
    [ -n "$(since_last_load "$work/error.log")" ] && fail "$1: the error log is not empty: $(cat "$work/error.log")"
    stop_kea
}

# Under mac-sources ["duid"] the relayed client's MAC, in option 79 only,
# is not found: the allow list drops it, and still does after a libreload,
# which loads the library again without a new configuration.
run_libreload() {
    local context='mac-sources ["duid"]' answer
    rm -f "$work/kea.log" "$work/info.log" "$work/error.log"
    write_list ALLOW
    write_config '{ "enable-multi-threading": false }' '"mac-sources": [ "duid" ],'
    start_kea "$context" || exit 1
    cases=()
    expect_served "$context" relay "$listed_relayed" no "$relay_for_listed" none
    expect_served "$context" llt "$listed_llt" yes "$listed_llt" "$(key "$listed_llt")"
    answer=$(kea_command '{ "command": "libreload" }')
    if jq -e '.result == 0' <<<"$answer" >/dev/null 2>&1; then
        pass "$context: libreload loads the library again"
    elif jq -e '.result == 2' <<<"$answer" >/dev/null 2>&1; then
        # Kea 2.6 and later have no libreload: a new configuration is the
        # only way to load the library again.
        skip "$context: libreload" "this kea-dhcp6 has no libreload command"
        stop_kea
        return
    else
        fail "$context: libreload failed: ${answer:-no answer}"
    fi
    expect_served "$context, after libreload" relay "$listed_relayed" no "$relay_for_listed" none
    expect_served "$context, after libreload" llt "$listed_llt" yes "$listed_llt" \
        "$(key "$listed_llt")"
    stop_kea
}

run_kea "threads off" '{ "enable-multi-threading": false }' config-reload
run_kea "threads on" '{ "enable-multi-threading": true, "thread-pool-size": 4 }' macgate-reload
run_libreload

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "All Kea DHCPv6 end-to-end checks passed"
