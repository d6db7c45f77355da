#!/usr/bin/env bash
# End to end: kea-dhcp4 with libdhcp_macgate.so in one network namespace, real
# DHCP clients (busybox udhcpc, ISC dhclient) in another, joined by a veth
# pair, once with Kea's multi-threading off and once with it on. An allow list
# serves the listed clients only, one of them through a prefix entry; Kea
# reloads its configuration with the same addresses as a deny list, which
# serves the others only. The info log must
# hold one line per client packet, with the right verdict; Kea's statistics
# and the macgate-status command, asked over Kea's control socket, must count
# what tcpdump saw and give the list's SHA-256. A misspelt parameter must make
# Kea refuse the configuration, at start-up and on reload, after which Kea
# serves nobody. Then, in each mode, macgate-reload changes the list in place
# (applied, refused, a bad line, a dry run), "unusable-list": "drop-all"
# drops everyone until a reload, and neither a read-only working folder
# without an error log nor an info log that cannot be opened keeps the list
# from loading; macgate status --kea reads it all. A list with sections
# decides by the subnet that Kea selects: by relay.ip-addresses, option 82's
# link selection, option 118 (perfdhcp, which relays), a subnet bound to the
# interface (direct clients), among overlapping subnets, and a DHCPRELEASE
# by its address; a split shared network is named. Kea's own hooks before
# macgate (libdhcp_bootp; libdhcp_lease_cmds and libdhcp_ha in
# passive-backup) leave macgate deciding, a library that drops everything
# makes status --kea say so, and the library listed twice keeps Kea from
# starting; the counts add up to pkt4-received. A load-balancing HA pair
# filters the clients each server serves, the decisions of the two adding
# up to the packets sent. Last, a 30-second run under
# perfdhcp with a reload every 100 ms.
#
#   tests/kea/e2e.sh [path/to/libdhcp_macgate.so]
#
# MACGATE_E2E_THREADS=off|on runs one threading mode only, and
# MACGATE_E2E_ONLY=filter|reload|sections|hooks|ha|load|startup one part only.
#
# Exits 0 when every check passed, 1 when one failed, 77 when it cannot run
# here (the reason is printed). Needs root for the namespaces.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
library=$(realpath -m "${1:-$here/../../build/debug/kea/libdhcp_macgate.so}")
# The macgate tool, for status --kea; by default the one built beside the library.
macgate_tool=${MACGATE_TOOL:-$(dirname "$library")/../macgate}
cases_column=5
# shellcheck source=tests/lib/cases.sh
. "$here/../lib/cases.sh"

server=kea-dhcp4
family=4
# shellcheck source=tests/kea/lib.sh
. "$here/lib.sh"
kea_require debug ip kea-dhcp4 perfdhcp busybox dhclient tcpdump socat jq sha256sum
busybox udhcpc --help >/dev/null 2>&1 || skip_all "this busybox has no udhcpc"
cleanup_logs="kea.out kea.log error.log info.log info-allow.log"
capture_args=('udp dst port 67')
kea_cleanup_more() {
    [ -z "${readonly_mounted:-}" ] || umount "$work/readonly"
    if [ -n "${ha_ns2:-}" ]; then
        local pid
        for pid in $(ip netns pids "$ha_ns2" 2>/dev/null); do kill -9 "$pid" 2>/dev/null; done
        ip netns del "$ha_ns2" 2>/dev/null
    fi
}
kea_setup "mg$$" kea-e2e

# The clients' scripts only note what they were given; they configure nothing
# and never touch the host's resolver file.
write_udhcpc_script
cat >"$work/dhclient.sh" <<EOF
#!/bin/sh
case "\$reason" in BOUND|RENEW|REBIND|REBOOT) echo "\$new_ip_address" >"$work/dhclient.lease" ;; esac
exit 0
EOF
chmod +x "$work/dhclient.sh"
# dhclient gives up after 6 seconds instead of its default minute.
cat >"$work/dhclient.conf" <<EOF
timeout 6;
initial-interval 1;
EOF

listed_udhcpc=02:00:5e:10:00:01
listed_dhclient=02:00:5e:10:00:02
unlisted_udhcpc=02:00:5e:20:00:01
unlisted_dhclient=02:00:5e:20:00:02
prefix=02005e3  # covers 02:00:5e:30:00:00 to 02:00:5e:3f:ff:ff
prefixed_udhcpc=02:00:5e:3a:bc:01

write_list() {
    printf 'MAC_ACTION = {%s}\n# clients of the test\n%s\n%s\n%s*\n' "$1" \
        "$(echo "$listed_udhcpc" | tr -d :)" "$(echo "$listed_dhclient" | tr -d :)" "$prefix" \
        >"$work/list.txt"
}

# Kea's configuration in kea.json: $1 is its multi-threading map, $2 the name
# of the parameter that names the list file (misspelt, Kea must refuse it),
# $3 the hooks library's other parameters (default: both logs in $work).
write_config() {  # multi-threading list-parameter [parameters]
    local parameters=${3:-"\"error-log\": \"$work/error.log\", \"info-log\": \"$work/info.log\""}
    cat >"$work/kea.json" <<EOF
{
  "Dhcp4": {
    "interfaces-config": { "interfaces": [ "$server_if" ], "dhcp-socket-type": "raw" },
    "lease-database": { "type": "memfile", "persist": true, "name": "$work/leases.csv", "lfc-interval": 0 },
    "valid-lifetime": 600,
    "multi-threading": $1,
    "control-socket": { "socket-type": "unix", "socket-name": "$work/kea.sock" },
    "subnet4": [ { "subnet": "192.0.2.0/24", "pools": [ { "pool": "192.0.2.100 - 192.0.2.199" } ] } ],
    "hooks-libraries": [ {
      "library": "$library",
      "parameters": {
        "$2": "$work/list.txt",
        $parameters
      }
    } ],
    "loggers": [ {
      "name": "kea-dhcp4",
      "output_options": [ { "output": "$work/kea.log", "flush": true } ],
      "severity": "INFO"
    } ]
  }
}
EOF
}

kea_statistic() {  # name
    kea_command "{ \"command\": \"statistic-get\", \"arguments\": { \"name\": \"$1\" } }" |
        jq -r --arg name "$1" '.arguments[$name][0][0] // "none"' 2>/dev/null
}

packets_from() {  # capture mac...
    local capture=$1 count=0 mac
    shift
    for mac in "$@"; do
        count=$((count + $(tcpdump -r "$capture" -nn "ether src $mac" 2>/dev/null | wc -l)))
    done
    echo "$count"
}

# Kea's statistics hold every decision and every drop that tcpdump saw, and
# statistic-get-all lists them beside Kea's own.
check_statistics() {  # context allowed denied
    local name want got all
    all=$(kea_command '{ "command": "statistic-get-all" }')
    for name in macgate-allowed macgate-denied pkt4-receive-drop pkt4-admin-filtered; do
        want=$3
        [ "$name" = macgate-allowed ] && want=$2
        got=$(kea_statistic "$name")
        if [ "$got" = "$want" ]; then
            pass "$1: statistic $name is $got"
        else
            fail "$1: statistic $name is $got, not $want"
        fi
        jq -e --arg name "$name" '.arguments | has($name)' <<<"$all" >/dev/null 2>&1 ||
            fail "$1: statistic-get-all does not list $name"
    done
}

# macgate-status names the list loaded, its action and entries, the SHA-256 of
# its bytes as sha256sum computes it, and the decisions since it loaded.
check_status() {  # context action allowed denied
    local want got
    want=$(jq -n -c -S --arg file "$work/list.txt" --arg action "$2" --argjson allowed "$3" \
        --argjson denied "$4" --arg sha "$(sha256sum <"$work/list.txt" | cut -d' ' -f1)" \
        '{result: 0, "list-file": $file, action: $action, addresses: 2, prefixes: 1, "lines-reported": 0,
          "reported-lines": [], "list-sha256": $sha, allowed: $allowed, denied: $denied, sections: [],
          received: ($allowed + $denied), "split-shared-networks": [], "section-faults": []}')
    got=$(kea_command '{ "command": "macgate-status" }' |
        jq -c -S '{result} + (.arguments | del(.["loaded-at"]))' 2>/dev/null)
    if [ "$got" = "$want" ]; then
        pass "$1: macgate-status gives the list's SHA-256, action $2 and the counts"
    else
        fail "$1: macgate-status gives $got, not $want"
    fi
}

# Each client runs once with a bounded number of tries; prints the leased
# address, or nothing.
run_udhcpc() {
    netns_set_client_mac "$1"
    rm -f "$work/udhcpc.lease"
    ip netns exec "$client_ns" timeout 20 busybox udhcpc -f -q -n -t 3 -T 1 \
        -i "$client_if" -s "$work/udhcpc.sh" >>"$work/clients.out" 2>&1
    cat "$work/udhcpc.lease" 2>/dev/null
}

run_dhclient() {
    netns_set_client_mac "$1"
    rm -f "$work/dhclient.lease" "$work/dhclient.leases" "$work/dhclient.pid"
    # With a lease dhclient -1 goes to the background to renew it; we stop it.
    ip netns exec "$client_ns" timeout 20 dhclient -1 -v -cf "$work/dhclient.conf" \
        -sf "$work/dhclient.sh" -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" \
        "$client_if" >>"$work/clients.out" 2>&1
    if [ -s "$work/dhclient.pid" ]; then
        kill "$(cat "$work/dhclient.pid")" 2>/dev/null
        rm -f "$work/dhclient.pid"
    fi
    cat "$work/dhclient.lease" 2>/dev/null
}

expect_lease() {  # client mac want(yes|no) context
    local address
    address=$("run_$1" "$2")
    if [ "$3" = yes ]; then
        if [[ "$address" == 192.0.2.* ]]; then pass "$4: $1 $2 got $address"; else fail "$4: $1 $2 got no lease"; fi
    else
        if [ -z "$address" ]; then pass "$4: $1 $2 got no lease"; else fail "$4: $1 $2 got $address"; fi
    fi
}

# Every packet that reached the server from a client has one decision line
# with the expected verdict, and there are no other lines for that client.
check_decisions() {  # info-log capture context mac verdict ...
    local log=$1 capture=$2 context=$3
    shift 3
    while [ $# -gt 0 ]; do
        local mac=$1 verdict=$2 key packets lines right
        shift 2
        key=$(echo "$mac" | tr -d :)
        packets=$(packets_from "$capture" "$mac")
        lines=$(grep -c " $key " "$log" 2>/dev/null)
        right=$(grep -c "^[A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9][0-9] [0-9:]\{8\} [0-9]\{4\} $key $verdict\$" "$log" 2>/dev/null)
        lines=${lines:-0} right=${right:-0}
        if [ "$packets" -gt 0 ] && [ "$lines" -eq "$packets" ] && [ "$right" -eq "$packets" ]; then
            pass "$context: $packets packet(s) from $mac, $right line(s) '$verdict'"
        else
            fail "$context: $packets packet(s) from $mac, $lines line(s), $right of them '$verdict'"
        fi
    done
}

check_socket_failures() {
    if grep -E "DHCPSRV_OPEN_SOCKET_FAIL|DHCPSRV_NO_SOCKETS_OPEN|failed to open socket" "$work/kea.log"; then
        fail "Kea could not open its socket on $server_if"
        exit 1
    fi
}

# One whole run of Kea: allow list, reload as a deny list, a refused reload,
# shutdown. $1 names the threading mode, $2 is Kea's multi-threading map.
run_kea() {  # mode multi-threading
    local mode=$1 threading=$2 allowed denied
    rm -f "$work/kea.log" "$work/info.log" "$work/error.log" "$work/leases.csv"*

    # ---- allow list
    write_list ALLOW
    write_config "$threading" list-file
    start_kea "$mode" || exit 1
    check_socket_failures
    grep -q MACGATE_STARTED "$work/kea.log" && pass "$mode: Kea loaded macgate" ||
        fail "$mode: Kea log has no MACGATE_STARTED"

    start_capture allow
    expect_lease udhcpc "$listed_udhcpc" yes "$mode, allow list"
    expect_lease udhcpc "$unlisted_udhcpc" no "$mode, allow list"
    expect_lease dhclient "$listed_dhclient" yes "$mode, allow list"
    expect_lease dhclient "$unlisted_dhclient" no "$mode, allow list"
    expect_lease udhcpc "$prefixed_udhcpc" yes "$mode, allow list, by prefix"
    stop_capture
    since_last_load "$work/info.log" >"$work/info-allow.log"
    check_decisions "$work/info-allow.log" "$work/allow.pcap" "$mode, allow list" \
        "$listed_udhcpc" Allow "$unlisted_udhcpc" Deny "$listed_dhclient" Allow "$unlisted_dhclient" Deny \
        "$prefixed_udhcpc" Allow
    grep -q "^---- [0-9T:-]*Z kea-dhcp4 loads the list $work/list.txt\$" "$work/info.log" ||
        fail "$mode, allow list: the info log has no start line"
    if head -n 3 "$work/info-allow.log" 2>/dev/null | diff -q - <(printf '%s\n' "Action specified is : ALLOW" \
        "Successfully read mac addresses" "The DHCP server has successfully started.") >/dev/null; then
        pass "$mode, allow list: info log begins with the action, summary and start lines"
    else
        fail "$mode, allow list: info log begins with: $(head -n 3 "$work/info-allow.log" 2>/dev/null | tr '\n' '|')"
    fi
    [ -n "$(since_last_load "$work/error.log")" ] && fail "$mode: error log is not empty: $(cat "$work/error.log")"
    allowed=$(packets_from "$work/allow.pcap" "$listed_udhcpc" "$listed_dhclient" "$prefixed_udhcpc")
    denied=$(packets_from "$work/allow.pcap" "$unlisted_udhcpc" "$unlisted_dhclient")
    check_statistics "$mode, allow list" "$allowed" "$denied"
    check_status "$mode, allow list" allow "$allowed" "$denied"

    # ---- the same addresses as a deny list, taken up by a configuration reload
    write_list DENY
    : >"$work/kea.log"
    kill -HUP "$kea_pid"
    if ! wait_for_kea_log DHCP4_DYNAMIC_RECONFIGURATION_SUCCESS 20; then
        fail "$mode: Kea did not reload its configuration"
        exit 1
    fi
    check_socket_failures
    # Unloading freed the allow list; loading appended a start line to the
    # info log, kept the allow list's lines and read the deny list.
    if [ "$(since_last_load "$work/info.log" | head -n 1)" = "Action specified is : DENY" ] &&
        grep -q "Action specified is : ALLOW" "$work/info.log"; then
        pass "$mode, reload: the info log goes on, with a start line and the deny list"
    else
        fail "$mode, reload: after the last start line, the info log begins with: $(since_last_load "$work/info.log" | head -n 1)"
    fi

    start_capture deny
    expect_lease udhcpc "$listed_udhcpc" no "$mode, deny list"
    expect_lease udhcpc "$unlisted_udhcpc" yes "$mode, deny list"
    expect_lease dhclient "$listed_dhclient" no "$mode, deny list"
    expect_lease dhclient "$unlisted_dhclient" yes "$mode, deny list"
    stop_capture
    since_last_load "$work/info.log" >"$work/info-deny.log"
    check_decisions "$work/info-deny.log" "$work/deny.pcap" "$mode, deny list" \
        "$listed_udhcpc" Deny "$unlisted_udhcpc" Allow "$listed_dhclient" Deny "$unlisted_dhclient" Allow
    check_status "$mode, deny list" deny \
        "$(packets_from "$work/deny.pcap" "$unlisted_udhcpc" "$unlisted_dhclient")" \
        "$(packets_from "$work/deny.pcap" "$listed_udhcpc" "$listed_dhclient")"

    # ---- a misspelt parameter: the reload is refused and says why
    write_config "$threading" list-fil
    if kea_command '{ "command": "config-reload" }' | jq -e '.result == 1' >/dev/null 2>&1 &&
        grep -q 'MACGATE_UNKNOWN_PARAMETER unknown parameter "list-fil"' "$work/kea.log"; then
        pass "$mode: a misspelt parameter makes Kea refuse the reload, and its log names it"
    else
        fail "$mode: the reload with a misspelt parameter was not refused with MACGATE_UNKNOWN_PARAMETER"
    fi
    # Kea 2.2 has unloaded its hooks libraries before it loads the new ones,
    # and cannot load the old ones again: until a configuration loads, no
    # filter runs. A corrected configuration brings it back.
    if kea_command '{ "command": "macgate-status" }' | jq -e '.result == 2' >/dev/null 2>&1 &&
        grep -q DHCP4_CONFIG_UNRECOVERABLE_ERROR "$work/kea.log" &&
        grep -q 'MACGATE_NOT_LOADED .*after a config-reload it serves no client' "$work/kea.log"; then
        pass "$mode: after the refused reload the filter is gone, and Kea's log says so"
    else
        fail "$mode: after the refused reload the filter's state is not the one the README describes"
    fi
    # Kea 2.2 has closed its DHCP sockets with the old configuration: it
    # serves no client, not even one the deny list would serve.
    expect_verdict "$unlisted_udhcpc" dropped "$mode, after the refused reload"
    write_config "$threading" list-file
    if kea_command '{ "command": "config-reload" }' | jq -e '.result == 0' >/dev/null 2>&1; then
        check_status "$mode, corrected reload" deny 0 0
    else
        fail "$mode: the corrected configuration did not load"
    fi

    # ---- Kea's shutdown unloads the library: the stop line ends the info log
    stop_kea
    if [ "$(tail -n 1 "$work/info.log" 2>/dev/null)" = "The DHCP server has successfully stopped." ]; then
        pass "$mode, shutdown: info log ends with the stop line"
    else
        fail "$mode, shutdown: info log ends with: $(tail -n 1 "$work/info.log" 2>/dev/null)"
    fi
}

# Changing the list in place with macgate-reload, and the failures that
# must never turn the filter off in silence. Kea runs in a read-only working
# folder, without an error log and with an info log in a missing folder.
run_reload_cases() {  # mode multi-threading
    local mode=$1 threading=$2 a=$listed_udhcpc b=$unlisted_udhcpc
    rm -f "$work/kea.log" "$work/leases.csv"*
    printf 'MAC_ACTION = {DENY}\n%s\n' "$(echo "$a" | tr -d :)" >"$work/list.txt"
    write_config "$threading" list-file "\"info-log\": \"$work/missing/info.log\""
    (cd "$ro_dir" && exec ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" \
        KEA_LOCKFILE_DIR="$work" kea-dhcp4 -c "$work/kea.json") >"$work/kea.out" 2>&1 &
    kea_pid=$!
    if ! wait_for_kea_log DHCP4_STARTED 20; then
        fail "$mode: kea-dhcp4 did not start in a read-only folder"
        return
    fi
    check_socket_failures

    # 6 and 7: neither a read-only working folder without error-log nor an
    # info log that cannot be opened keeps the list from loading.
    expect_verdict "$a" dropped "$mode, read-only folder, no error log, info log in a missing folder"
    grep -q "MACGATE_LOG_NOT_OPENED the info log \"$work/missing/info.log\" cannot be opened (No such file or directory)" \
        "$work/kea.log" && pass "$mode: Kea's log names the info log that cannot be opened" ||
        fail "$mode: Kea's log does not name $work/missing/info.log"

    # 1: the list now denies B; no config-reload.
    printf 'MAC_ACTION = {DENY}\n%s\n' "$(echo "$b" | tr -d :)" >"$work/list.txt"
    reload_list "" 0 "$mode, list changed"
    expect_verdict "$a" served "$mode, after macgate-reload"
    expect_verdict "$b" dropped "$mode, after macgate-reload"
    grep -q DHCP4_DYNAMIC_RECONFIGURATION "$work/kea.log" &&
        fail "$mode: macgate-reload went through a configuration reload"
    check_status_sha "$mode, after macgate-reload"
    check_tool_status 0 "filters with this list" "$mode, after macgate-reload"

    # 2: the list is gone: refused, and the list in use stays.
    mv "$work/list.txt" "$work/list.saved"
    reload_list "" 1 "$mode, list removed"
    expect_verdict "$b" dropped "$mode, after a refused reload"
    mv "$work/list.saved" "$work/list.txt"

    # 3: one bad line is applied, and named in the answer and Kea's log.
    printf 'MAC_ACTION = {DENY}\n%s\n00:1a:2b\n' "$(echo "$b" | tr -d :)" >"$work/list.txt"
    reload_list "" 0 "$mode, one bad line"
    local line="$work/list.txt:3: error: Mac Address 00:1a:2b not of proper format"
    if jq -e --arg line "$line" '.arguments["reported-lines"] == [$line] and .arguments["lines-reported"] == 1' \
        "$work/reload.json" >/dev/null 2>&1 && grep -q "WARN .*MACGATE_LIST_LINE $line" "$work/kea.log"; then
        pass "$mode, one bad line: the answer and Kea's log name it"
    else
        fail "$mode, one bad line: not named as '$line'"
    fi

    # 4: a dry run reports on a changed list and changes nothing.
    printf 'MAC_ACTION = {DENY}\n%s\n' "$(echo "$a" | tr -d :)" >"$work/list.txt"
    reload_list '{ "dry-run": true }' 0 "$mode, dry run"
    jq -e '.arguments.applied == false and .arguments.addresses == 1' "$work/reload.json" >/dev/null 2>&1 ||
        fail "$mode, dry run: the answer does not report the list: $(cat "$work/reload.json")"
    expect_verdict "$b" dropped "$mode, after a dry run"

    # 5: drop-all with a missing list drops everyone until a reload loads one.
    write_config "$threading" list-file "\"unusable-list\": \"drop-all\""
    mv "$work/list.txt" "$work/list.saved"
    if kea_command '{ "command": "config-reload" }' | jq -e '.result == 0' >/dev/null 2>&1; then
        pass "$mode, drop-all: Kea takes the configuration with a missing list"
    else
        fail "$mode, drop-all: Kea refused the configuration with a missing list"
    fi
    expect_verdict "$b" dropped "$mode, drop-all"
    expect_verdict "$a" dropped "$mode, drop-all"
    kea_command '{ "command": "macgate-status" }' |
        jq -e '.arguments["unusable-list"] == "dropping all clients"' >/dev/null 2>&1 &&
        pass "$mode, drop-all: macgate-status says so" || fail "$mode, drop-all: macgate-status does not say so"
    check_tool_status 1 "macgate drops every client" "$mode, drop-all"
    grep -q "ERROR .*MACGATE_DROPPING_ALL" "$work/kea.log" &&
        pass "$mode, drop-all: Kea's log has the ERROR" || fail "$mode, drop-all: no MACGATE_DROPPING_ALL"
    mv "$work/list.saved" "$work/list.txt"
    reload_list "" 0 "$mode, drop-all lifted"
    expect_verdict "$b" served "$mode, drop-all lifted"
    stop_kea
}

# macgate status --kea asks Kea through its control socket.
check_tool_status() {  # exit-status text context
    local got=0
    if [ ! -x "$macgate_tool" ]; then
        echo "     ($3: no macgate tool at $macgate_tool, status --kea not tried)"
        return
    fi
    "$macgate_tool" status --kea "$work/kea.sock" >"$work/tool-status" 2>&1 || got=$?
    if [ "$got" -eq "$1" ] && grep -q "$2" "$work/tool-status"; then
        pass "$3: macgate status --kea exits $got: $(tail -n 1 "$work/tool-status")"
    else
        fail "$3: macgate status --kea exits $got, not $1 with '$2': $(cat "$work/tool-status")"
    fi
}

# macgate-status gives the SHA-256 of the list file as it is now.
check_status_sha() {  # context
    local want got
    want=$(sha256sum <"$work/list.txt" | cut -d' ' -f1)
    got=$(kea_command '{ "command": "macgate-status" }' | jq -r '.arguments["list-sha256"]' 2>/dev/null)
    [ "$got" = "$want" ] && pass "$1: macgate-status gives the new list's SHA-256" ||
        fail "$1: macgate-status gives SHA-256 $got, not $want"
}

# A read-only working folder: even root cannot write to a read-only mount.
ro_dir="$work/readonly"
mkdir -p "$ro_dir"
mount -t tmpfs -o ro,size=64k macgate-ro "$ro_dir" || skip_all "cannot mount a read-only folder here"
readonly_mounted=yes

# Kea 2.2's default, and the default of later Kea releases.
for threading in off on; do
    [ -z "${MACGATE_E2E_THREADS:-}" ] || [ "$MACGATE_E2E_THREADS" = "$threading" ] || continue
    map='{ "enable-multi-threading": false }'
    [ "$threading" = off ] || map='{ "enable-multi-threading": true, "thread-pool-size": 4 }'
    case ${MACGATE_E2E_ONLY:-all} in
    all | filter) run_kea "threads $threading" "$map" ;;
    esac
    case ${MACGATE_E2E_ONLY:-all} in
    all | reload) run_reload_cases "threads $threading, reload" "$map" ;;
    esac
done

# Under load: multi-threading on with 4 threads, perfdhcp offering 2,000
# DISCOVERs a second for 30 seconds, and a macgate-reload every 100 ms that
# alternates two lists of 100,000 entries (an allow list of the first half
# of perfdhcp's clients, and a deny list of the same). Kea must stay up and
# answer, and every packet Kea received must be one decision.
run_load() {
    local base=02005e clients=200 period=${MACGATE_E2E_LOAD_SECONDS:-30} reloads=0 refused=0
    local action answer
    for action in ALLOW DENY; do
        awk -v action="$action" -v clients="$clients" 'BEGIN {
            printf "MAC_ACTION = {%s}\n", action
            for (k = 0; k < clients / 2; k++) printf "02005e%06x\n", k
            for (k = 0; k < 100000 - clients / 2; k++) printf "0a%010x\n", k
        }' >"$work/list-$action.txt"
    done
    cp "$work/list-ALLOW.txt" "$work/list.txt"
    rm -f "$work/kea.log" "$work/leases.csv"*
    write_config '{ "enable-multi-threading": true, "thread-pool-size": 4 }' list-file \
        "\"error-log\": \"$work/error.log\""
    ip -n "$client_ns" addr add 192.0.2.2/24 dev "$client_if" 2>/dev/null
    start_kea "load" 60 || return
    ip netns exec "$client_ns" timeout $((period + 30)) perfdhcp -4 -i -l 192.0.2.2 -r 2000 \
        -R "$clients" -b "mac=${base:0:2}:${base:2:2}:${base:4:2}:00:00:00" -p "$period" 192.0.2.1 \
        >"$work/perfdhcp.out" 2>&1 &
    local perfdhcp_pid=$! deadline=$((SECONDS + period)) start now next
    start=$(date +%s%N)
    while [ $SECONDS -lt $deadline ] && kill -0 "$perfdhcp_pid" 2>/dev/null; do
        action=ALLOW
        [ $((reloads % 2)) -eq 0 ] && action=DENY
        cp "$work/list-$action.txt" "$work/list.new" && mv "$work/list.new" "$work/list.txt"
        answer=$(kea_command '{ "command": "macgate-reload" }')
        reloads=$((reloads + 1))
        jq -e '.result == 0' <<<"$answer" >/dev/null 2>&1 || refused=$((refused + 1))
        # Every 100 ms from the start; a reload that takes longer is followed
        # at once by the next.
        now=$(date +%s%N)
        next=$((start + reloads * 100000000))
        [ "$now" -ge "$next" ] || sleep "0.$(printf '%09d' $((next - now)))"
    done
    wait "$perfdhcp_pid"
    if kill -0 "$kea_pid" 2>/dev/null &&
        kea_command '{ "command": "status-get" }' | jq -e '.result == 0' >/dev/null 2>&1; then
        pass "load: Kea is up and answers after $reloads reloads in $period s under perfdhcp"
    else
        fail "load: Kea did not survive $reloads reloads under perfdhcp"
    fi
    [ "$refused" -eq 0 ] && pass "load: every reload was applied" || fail "load: $refused of $reloads reloads failed"
    local received allowed denied sent
    sleep 1
    received=$(kea_statistic pkt4-received)
    allowed=$(kea_statistic macgate-allowed)
    denied=$(kea_statistic macgate-denied)
    sent=$(awk '/^sent packets:/ { print $3; exit }' "$work/perfdhcp.out")
    echo "load: perfdhcp sent ${sent:-?} DISCOVERs; pkt4-received $received, macgate-allowed $allowed, macgate-denied $denied"
    if [ "$allowed" -gt 0 ] && [ "$denied" -gt 0 ] && [ "$received" = "$((allowed + denied))" ]; then
        pass "load: pkt4-received ($received) = macgate-allowed ($allowed) + macgate-denied ($denied)"
    else
        fail "load: pkt4-received ($received) is not macgate-allowed ($allowed) + macgate-denied ($denied)"
    fi
    stop_kea
}

# Every info log line of the client `key` reads "key VERDICT SECTION", and
# there is at least one.
check_section_lines() {  # context key verdict section
    local lines right
    lines=$(grep -c " $2 " "$work/info.log" 2>/dev/null)
    right=$(grep -c -F " $2 $3 $4" "$work/info.log" 2>/dev/null)
    lines=${lines:-0} right=${right:-0}
    if [ "$lines" -gt 0 ] && [ "$right" -eq "$lines" ]; then
        pass "$1: $lines line(s) of $2 read '$3 $4'"
    else
        fail "$1: $lines line(s) of $2, $right of them '$3 $4'"
    fi
}

# Kea's configuration for the sections: a subnet that Kea selects by each
# of its means, overlapping subnets and a shared network. $1 is the hooks
# libraries' JSON, before macgate's entry.
write_selection_config() {  # libraries-before
    cat >"$work/kea.json" <<EOF
{
  "Dhcp4": {
    "interfaces-config": { "interfaces": [ "$server_if" ], "dhcp-socket-type": "raw" },
    "lease-database": { "type": "memfile", "persist": true, "name": "$work/leases.csv", "lfc-interval": 0 },
    "valid-lifetime": 600,
    "control-socket": { "socket-type": "unix", "socket-name": "$work/kea.sock" },
    "subnet4": [
      { "id": 1, "subnet": "10.10.4.0/24", "interface": "$server_if", "pools": [ { "pool": "10.10.4.100 - 10.10.4.199" } ] },
      { "id": 2, "subnet": "10.10.1.0/24", "relay": { "ip-addresses": [ "192.0.2.60" ] }, "pools": [ { "pool": "10.10.1.100 - 10.10.1.199" } ] },
      { "id": 3, "subnet": "10.10.2.0/24", "pools": [ { "pool": "10.10.2.100 - 10.10.2.199" } ] },
      { "id": 4, "subnet": "10.10.3.0/24", "pools": [ { "pool": "10.10.3.100 - 10.10.3.199" } ] },
      { "id": 5, "subnet": "10.20.0.0/16", "pools": [ { "pool": "10.20.9.10 - 10.20.9.50" } ] },
      { "id": 6, "subnet": "10.20.5.0/24", "pools": [ { "pool": "10.20.5.10 - 10.20.5.50" } ] }
    ],
    "shared-networks": [ { "name": "office", "subnet4": [
      { "id": 7, "subnet": "10.30.1.0/24", "pools": [ { "pool": "10.30.1.10 - 10.30.1.50" } ] },
      { "id": 8, "subnet": "10.30.2.0/24", "pools": [ { "pool": "10.30.2.10 - 10.30.2.50" } ] } ] } ],
    "hooks-libraries": [ $1 {
      "library": "$library",
      "parameters": { "list-file": "$work/list.txt", "info-log": "$work/info.log" }
    } ],
    "loggers": [ {
      "name": "kea-dhcp4",
      "output_options": [ { "output": "$work/kea.log", "flush": true } ],
      "severity": "INFO"
    } ]
  }
}
EOF
}

# Kea's pkt4-received is every decision, once: macgate-allowed +
# macgate-denied; and each drop is in pkt4-receive-drop.
check_counts() {  # context
    local received allowed denied dropped
    received=$(kea_statistic pkt4-received)
    allowed=$(kea_statistic macgate-allowed)
    denied=$(kea_statistic macgate-denied)
    dropped=$(kea_statistic pkt4-receive-drop)
    if [ "$received" -gt 0 ] && [ "$received" = "$((allowed + denied))" ] && [ "$dropped" = "$denied" ]; then
        pass "$1: pkt4-received $received = macgate-allowed $allowed + macgate-denied $denied; pkt4-receive-drop $dropped"
    else
        fail "$1: pkt4-received $received, macgate-allowed $allowed, macgate-denied $denied, pkt4-receive-drop $dropped"
    fi
}

# A list with sections decides by the subnet that Kea selects: by a
# subnet's relay.ip-addresses, option 82's link selection, option 118, a
# subnet bound to the interface, among overlapping subnets. Under the
# section of the relays' and the interface's own addresses (192.0.2.0/24,
# which serves everyone) every unlisted client would be served.
run_sections() {
    local listed=02:00:5e:40:00 unlisted=02:00:5e:41:00 status lease way n
    rm -f "$work/kea.log" "$work/info.log" "$work/leases.csv"*
    {
        echo "MAC_ACTION = {DENY}"
        echo "0a0000000001"
        echo "SCOPE 192.0.2.0/24 = {DENY}"
        echo "0a0000000002"
        for way in 10.10.1.0/24 10.10.2.0/24 10.10.3.0/24 10.10.4.0/24 10.20.0.0/16 10.30.1.0/24; do
            echo "SCOPE $way = {ALLOW}"
            for n in 1 2 3 4 5 6; do key "$listed:0$n"; done
        done
        echo "SCOPE 10.20.5.0/24 = {DENY}"
        key "$listed:05"
    } >"$work/list.txt"
    write_selection_config ""
    ip -n "$client_ns" addr add 192.0.2.60/24 dev "$client_if"
    ip -n "$client_ns" addr add 192.0.2.61/24 dev "$client_if"
    start_kea "sections" || exit 1
    check_socket_failures
    expect_offers "sections, relay.ip-addresses" yes 192.0.2.60 "$listed:01"
    expect_offers "sections, relay.ip-addresses" no 192.0.2.60 "$unlisted:01"
    expect_offers "sections, option 82 link selection" yes 192.0.2.61 "$listed:02" 82,05040a0a0201
    expect_offers "sections, option 82 link selection" no 192.0.2.61 "$unlisted:02" 82,05040a0a0201
    expect_offers "sections, option 118" yes 192.0.2.61 "$listed:03" 118,0a0a0301
    expect_offers "sections, option 118" no 192.0.2.61 "$unlisted:03" 118,0a0a0301
    check_section_lines "sections, relay.ip-addresses" "$(key "$listed:01")" Allow 10.10.1.0/24
    check_section_lines "sections, relay.ip-addresses" "$(key "$unlisted:01")" Deny 10.10.1.0/24
    check_section_lines "sections, option 82" "$(key "$listed:02")" Allow 10.10.2.0/24
    check_section_lines "sections, option 82" "$(key "$unlisted:02")" Deny 10.10.2.0/24
    check_section_lines "sections, option 118" "$(key "$listed:03")" Allow 10.10.3.0/24
    check_section_lines "sections, option 118" "$(key "$unlisted:03")" Deny 10.10.3.0/24
    # Overlapping subnets: Kea leases from one of them, and that one's
    # section decided (the /16 allows the client, the /24 denies it).
    relayed_offers 192.0.2.61 "$listed:05" 118,0a140501 >/dev/null
    lease=$(grep -i "$listed:05" "$work/leases.csv"* 2>/dev/null | cut -d, -f1 | tail -n 1)
    if [[ "$lease" == 10.20.9.* ]]; then
        check_section_lines "sections, overlapping, leased $lease" "$(key "$listed:05")" Allow 10.20.0.0/16
    else
        check_section_lines "sections, overlapping, no lease" "$(key "$listed:05")" Deny 10.20.5.0/24
    fi
    # The second address goes with the first, which it is secondary to.
    ip -n "$client_ns" addr del 192.0.2.60/24 dev "$client_if"
    # The subnet bound to Kea's interface, for direct clients.
    lease=$(run_udhcpc "$listed:04")
    [[ "$lease" == 10.10.4.* ]] && pass "sections, interface-bound: $listed:04 got $lease" ||
        fail "sections, interface-bound: $listed:04 got ${lease:-no lease}"
    lease=$(run_udhcpc "$unlisted:04")
    [ -z "$lease" ] && pass "sections, interface-bound: $unlisted:04 got no lease" ||
        fail "sections, interface-bound: $unlisted:04 got $lease"
    check_section_lines "sections, interface-bound" "$(key "$listed:04")" Allow 10.10.4.0/24
    check_section_lines "sections, interface-bound" "$(key "$unlisted:04")" Deny 10.10.4.0/24
    # A DHCPRELEASE, which Kea selects no subnet for, goes by the section of
    # its ciaddr: the client leases, the list then denies it there, and its
    # release is dropped.
    lease=$(run_dhclient "$listed:06")
    sed -i "s/^SCOPE 10.10.4.0\/24 = {ALLOW}/SCOPE 10.10.4.0\/24 = {DENY}/" "$work/list.txt"
    reload_list "" 0 "sections, release"
    # dhclient sends the release to the server's address, over a route.
    ip -n "$client_ns" addr add 192.0.2.62/24 dev "$client_if"
    ip netns exec "$client_ns" timeout 10 dhclient -r -v -cf "$work/dhclient.conf" -sf "$work/dhclient.sh" \
        -lf "$work/dhclient.leases" -pf "$work/dhclient.pid" "$client_if" >>"$work/clients.out" 2>&1
    sleep 0.5
    ip -n "$client_ns" addr del 192.0.2.62/24 dev "$client_if"
    if [[ "$lease" == 10.10.4.* ]] &&
        [ "$(grep " $(key "$listed:06") " "$work/info.log" | tail -n 1 | cut -c 26-)" = "$(key "$listed:06") Deny 10.10.4.0/24" ]; then
        pass "sections, release: the release of $lease is denied by the section of its address"
    else
        fail "sections, release: lease ${lease:-none}, last line: $(grep " $(key "$listed:06") " "$work/info.log" | tail -n 1)"
    fi
    # The shared network whose subnets fall into different sections.
    grep -q "WARN .*MACGATE_SHARED_NETWORK_SPLIT shared network office: 10.30.1.0/24 in section 10.30.1.0/24, 10.30.2.0/24 in the server-wide entries" "$work/kea.log" &&
        pass "sections: Kea's log warns of the split shared network" ||
        fail "sections: no MACGATE_SHARED_NETWORK_SPLIT for the shared network office"
    status=$(kea_command '{ "command": "macgate-status" }' | jq -r '.arguments["split-shared-networks"][0]' 2>/dev/null)
    [[ "$status" == office:* ]] && pass "sections: macgate-status names the split shared network" ||
        fail "sections: macgate-status names no split shared network ($status)"
    check_counts "sections"
    stop_kea
}

# Kea's own hooks listed before macgate unpack each packet at
# buffer4_receive and set SKIP; macgate decides on those packets all the
# same. $1 names the case, $2 the libraries' JSON before macgate's entry.
run_before() {  # context libraries
    local listed=02:00:5e:42:00:01 unlisted=02:00:5e:42:00:02 lease
    rm -f "$work/kea.log" "$work/info.log" "$work/leases.csv"*
    printf 'MAC_ACTION = {ALLOW}\n%s\n' "$(key "$listed")" >"$work/list.txt"
    write_selection_config "$2"
    start_kea "$1" || return
    check_socket_failures
    lease=$(run_udhcpc "$listed")
    [[ "$lease" == 10.10.4.* ]] && pass "$1: $listed got $lease" || fail "$1: $listed got ${lease:-no lease}"
    lease=$(run_udhcpc "$unlisted")
    [ -z "$lease" ] && pass "$1: $unlisted got no lease" || fail "$1: $unlisted got $lease"
    check_counts "$1"
    check_tool_status 0 "filters with this list" "$1"
    stop_kea
}

run_hooks() {
    local hooks=/usr/lib/x86_64-linux-gnu/kea/hooks start_status=0
    run_before "libdhcp_bootp before macgate" "{ \"library\": \"$hooks/libdhcp_bootp.so\" },"
    run_before "libdhcp_lease_cmds and libdhcp_ha (passive-backup) before macgate" \
        "{ \"library\": \"$hooks/libdhcp_lease_cmds.so\" },
         { \"library\": \"$hooks/libdhcp_ha.so\", \"parameters\": { \"high-availability\": [ {
             \"this-server-name\": \"server1\", \"mode\": \"passive-backup\", \"wait-backup-ack\": false,
             \"peers\": [ { \"name\": \"server1\", \"url\": \"http://127.0.0.1:8001/\", \"role\": \"primary\" },
                          { \"name\": \"server2\", \"url\": \"http://127.0.0.1:8002/\", \"role\": \"backup\" } ] } ] } },"
    # A library before macgate that drops every packet (the load tests'
    # stand-in): macgate decides nothing, and status --kea says so.
    local dropper
    dropper=$(dirname "$library")/libkea_status_library.so
    if [ -f "$dropper" ]; then
        rm -f "$work/kea.log"
        write_selection_config "{ \"library\": \"$dropper\", \"parameters\": { \"status\": \"drop\" } },"
        if start_kea "a library that drops everything before macgate"; then
            run_udhcpc 02:00:5e:42:00:01 >/dev/null
            check_tool_status 1 "macgate decides on no packet" "a library that drops everything before macgate"
            stop_kea
        fi
    fi
    # The library listed twice: Kea does not start, and its log names the
    # first copy's list.
    rm -f "$work/kea.log"
    write_selection_config "{ \"library\": \"$library\", \"parameters\": { \"list-file\": \"$work/other.txt\" } },"
    ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
        timeout 20 kea-dhcp4 -c "$work/kea.json" >"$work/kea.out" 2>&1 || start_status=$?
    if [ "$start_status" -ne 124 ] && [ "$start_status" -ne 0 ] &&
        grep -q "MACGATE_SECOND_COPY .*\"$work/other.txt\"" "$work/kea.log"; then
        pass "listed twice: kea-dhcp4 does not start (exit $start_status), and its log names the first copy"
    else
        fail "listed twice: kea-dhcp4 exits $start_status, without MACGATE_SECOND_COPY naming $work/other.txt"
    fi
}

case ${MACGATE_E2E_ONLY:-all} in
all | sections) run_sections ;;
esac

case ${MACGATE_E2E_ONLY:-all} in
all | hooks) run_hooks ;;
esac

# A load-balancing HA pair: a second kea-dhcp4 in a namespace of its own,
# both servers and the clients joined by a bridge in the clients'
# namespace. Each server filters the clients in its scope; libdhcp_ha drops
# the others (DROP) before macgate, so each packet is one decision of one
# server, and the decisions of the pair add up to the packets the clients
# sent.
write_ha_config() {  # name this-server address interface socket
    cat >"$work/$1.json" <<EOF
{
  "Dhcp4": {
    "interfaces-config": { "interfaces": [ "$4" ], "dhcp-socket-type": "raw" },
    "lease-database": { "type": "memfile", "persist": true, "name": "$work/$1-leases.csv", "lfc-interval": 0 },
    "valid-lifetime": 600,
    "multi-threading": { "enable-multi-threading": true, "thread-pool-size": 2, "packet-queue-size": 16 },
    "control-socket": { "socket-type": "unix", "socket-name": "$work/$5" },
    "subnet4": [ { "id": 1, "subnet": "192.0.2.0/24", "interface": "$4", "pools": [
      { "pool": "192.0.2.100 - 192.0.2.149", "client-class": "HA_server1" },
      { "pool": "192.0.2.150 - 192.0.2.199", "client-class": "HA_server2" } ] } ],
    "hooks-libraries": [
      { "library": "$ha_hooks/libdhcp_lease_cmds.so" },
      { "library": "$ha_hooks/libdhcp_ha.so", "parameters": { "high-availability": [ {
        "this-server-name": "$2", "mode": "load-balancing", "heartbeat-delay": 1000,
        "max-response-delay": 3000, "max-ack-delay": 1000, "max-unacked-clients": 0,
        "sync-timeout": 5000,
        "multi-threading": { "enable-multi-threading": true, "http-dedicated-listener": true,
                             "http-listener-threads": 1, "http-client-threads": 1 },
        "peers": [ { "name": "server1", "url": "http://192.0.2.1:8001/", "role": "primary" },
                   { "name": "server2", "url": "http://192.0.2.3:8001/", "role": "secondary" } ] } ] } },
      { "library": "$library", "parameters": { "list-file": "$work/list.txt", "info-log": "$work/$1-info.log" } }
    ],
    "loggers": [ {
      "name": "kea-dhcp4",
      "output_options": [ { "output": "$work/$1.log", "flush": true } ],
      "severity": "INFO"
    } ]
  }
}
EOF
}

ha_statistic() {  # socket name
    socat -t 5 - "UNIX-CONNECT:$work/$1" <<<"{ \"command\": \"statistic-get\", \"arguments\": { \"name\": \"$2\" } }" 2>/dev/null |
        jq -r --arg name "$2" '.arguments[$name][0][0] // 0' 2>/dev/null
}

run_ha_pair() {
    local ha_hooks=/usr/lib/x86_64-linux-gnu/kea/hooks bridge="${client_if}b" ns2="${server_ns}2"
    local if2="${server_if}2" peer2="${client_if}2" second_pid mac n served=0 dropped=0 address
    local decided1 decided2 packets
    ip netns add "$ns2" &&
        ip link add "$if2" netns "$ns2" type veth peer name "$peer2" netns "$client_ns" &&
        ip -n "$ns2" link set lo up && ip -n "$ns2" addr add 192.0.2.3/24 dev "$if2" &&
        ip -n "$ns2" link set "$if2" up &&
        ip -n "$client_ns" link add "$bridge" type bridge &&
        ip -n "$client_ns" link set "$client_if" master "$bridge" &&
        ip -n "$client_ns" link set "$peer2" master "$bridge" &&
        ip -n "$client_ns" link set "$peer2" up && ip -n "$client_ns" link set "$bridge" up || {
        fail "HA pair: cannot set up the second server's namespace and the bridge"
        return
    }
    ha_ns2=$ns2
    rm -f "$work"/server[12]*
    {
        echo "MAC_ACTION = {ALLOW}"
        for n in 1 2 3 4 5 6; do key "02:00:5e:60:00:0$n"; done
    } >"$work/list.txt"
    write_ha_config server1 server1 192.0.2.1 "$server_if" kea.sock
    write_ha_config server2 server2 192.0.2.3 "$if2" kea2.sock
    ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
        kea-dhcp4 -c "$work/server1.json" >"$work/server1.out" 2>&1 &
    kea_pid=$!
    ip netns exec "$ns2" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
        kea-dhcp4 -c "$work/server2.json" >"$work/server2.out" 2>&1 &
    second_pid=$!
    local deadline=$((SECONDS + 60))
    until grep -q "to LOAD-BALANCING state" "$work/server1.log" 2>/dev/null &&
        grep -q "to LOAD-BALANCING state" "$work/server2.log" 2>/dev/null; do
        if [ $SECONDS -ge $deadline ]; then
            fail "HA pair: the servers did not reach the load-balancing state"
            kill "$second_pid" 2>/dev/null
            stop_kea
            return
        fi
        sleep 0.5
    done
    pass "HA pair: both servers are in the load-balancing state"
    start_capture ha
    local macs=(02:00:5e:60:00:01 02:00:5e:60:00:02 02:00:5e:60:00:03 02:00:5e:60:00:04
        02:00:5e:60:00:05 02:00:5e:60:00:06 02:00:5e:61:00:01 02:00:5e:61:00:02 02:00:5e:61:00:03)
    for mac in "${macs[@]}"; do
        ip -n "$client_ns" link set "$bridge" address "$mac"
        rm -f "$work/udhcpc.lease"
        ip netns exec "$client_ns" timeout 10 busybox udhcpc -f -q -n -t 2 -T 1 \
            -i "$bridge" -s "$work/udhcpc.sh" >>"$work/clients.out" 2>&1
        address=$(cat "$work/udhcpc.lease" 2>/dev/null)
        if [[ "$mac" == 02:00:5e:60:* ]] && [[ "$address" == 192.0.2.* ]]; then
            served=$((served + 1))
        elif [[ "$mac" == 02:00:5e:61:* ]] && [ -z "$address" ]; then
            dropped=$((dropped + 1))
        else
            fail "HA pair: $mac got ${address:-no lease}"
        fi
    done
    stop_capture
    [ "$served" -eq 6 ] && [ "$dropped" -eq 3 ] &&
        pass "HA pair: the 6 listed clients are served and the 3 unlisted ones dropped"
    decided1=$(($(ha_statistic kea.sock macgate-allowed) + $(ha_statistic kea.sock macgate-denied)))
    decided2=$(($(ha_statistic kea2.sock macgate-allowed) + $(ha_statistic kea2.sock macgate-denied)))
    packets=$(packets_from "$work/ha.pcap" "${macs[@]}")
    if [ "$decided1" -gt 0 ] && [ "$decided2" -gt 0 ] && [ "$((decided1 + decided2))" -eq "$packets" ]; then
        pass "HA pair: server1 decided $decided1 and server2 $decided2 of the $packets packets the clients sent"
    else
        fail "HA pair: server1 decided $decided1, server2 $decided2, the clients sent $packets packets"
    fi
    kill -TERM "$second_pid" 2>/dev/null
    wait "$second_pid" 2>/dev/null
    stop_kea
    # The clients' end leaves the bridge for the parts that follow.
    ip -n "$client_ns" link del "$bridge"
    ip netns del "$ns2"
    ha_ns2=""
}

case ${MACGATE_E2E_ONLY:-all} in
all | ha) [ -f /usr/lib/x86_64-linux-gnu/kea/hooks/libdhcp_ha.so ] && run_ha_pair ;;
esac

# MACGATE_E2E_SKIP_LOAD=1 leaves the load run out (scripts/test-all.sh runs
# it once, with the packaged optimised library).
case ${MACGATE_E2E_ONLY:-all} in
all | load) [ -n "${MACGATE_E2E_SKIP_LOAD:-}" ] || run_load ;;
esac

if [ "${MACGATE_E2E_ONLY:-all}" != all ] && [ "${MACGATE_E2E_ONLY:-all}" != startup ]; then
    [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
    echo "All selected Kea end-to-end checks passed"
    exit 0
fi

# ---- a misspelt parameter at start-up: Kea does not start. "kea-dhcp4 -t"
# only opens the hooks libraries and never calls their load(), so it cannot
# see the mistake.
write_config '{ "enable-multi-threading": false }' list-fil
: >"$work/kea.log"
# The README says so; a Kea whose -t starts calling load() fails this check.
if ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
    kea-dhcp4 -t "$work/kea.json" >"$work/kea.out" 2>&1; then
    pass "kea-dhcp4 -t: passes a misspelt parameter, as the README says (it never calls load())"
else
    fail "kea-dhcp4 -t now refuses a misspelt parameter: update the README ($(grep -h -o 'MACGATE_[A-Z_]*' "$work/kea.out" "$work/kea.log" | head -n 1))"
fi
# kea-dhcp4 never exits by itself once it runs, so 124 (the timeout) means
# that it started.
start_status=0
ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
    timeout 20 kea-dhcp4 -c "$work/kea.json" >"$work/kea.out" 2>&1 || start_status=$?
if [ "$start_status" -eq 0 ] || [ "$start_status" -eq 124 ] || grep -q DHCP4_STARTED "$work/kea.log"; then
    fail "start-up: kea-dhcp4 started with a misspelt parameter (exit $start_status)"
elif grep -q 'MACGATE_UNKNOWN_PARAMETER unknown parameter "list-fil"' "$work/kea.log"; then
    pass "start-up: a misspelt parameter stops kea-dhcp4 from starting (exit $start_status), and its log names it"
else
    fail "start-up: Kea's log does not name the misspelt parameter"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "All Kea end-to-end checks passed"
