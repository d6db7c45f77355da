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
# decides relayed traffic (perfdhcp, which sets giaddr) by the section of its
# relay agent's address, and direct clients by the section of the receiving
# interface's address. Last, a 30-second run under perfdhcp with a reload
# every 100 ms.
#
#   tests/kea/e2e.sh [path/to/libdhcp_macgate.so]
#
# MACGATE_E2E_THREADS=off|on runs one threading mode only, and
# MACGATE_E2E_ONLY=filter|reload|sections|load|startup one part only.
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
          "list-sha256": $sha, allowed: $allowed, denied: $denied, sections: []}')
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
    cp "$work/info.log" "$work/info-allow.log" 2>/dev/null
    check_decisions "$work/info-allow.log" "$work/allow.pcap" "$mode, allow list" \
        "$listed_udhcpc" Allow "$unlisted_udhcpc" Deny "$listed_dhclient" Allow "$unlisted_dhclient" Deny \
        "$prefixed_udhcpc" Allow
    if head -n 3 "$work/info-allow.log" 2>/dev/null | diff -q - <(printf '%s\n' "Action specified is : ALLOW" \
        "Successfully read mac addresses" "The DHCP server has successfully started.") >/dev/null; then
        pass "$mode, allow list: info log begins with the action, summary and start lines"
    else
        fail "$mode, allow list: info log begins with: $(head -n 3 "$work/info-allow.log" 2>/dev/null | tr '\n' '|')"
    fi
    [ -s "$work/error.log" ] && fail "$mode: error log is not empty: $(cat "$work/error.log")"
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
    # Unloading freed the allow list; loading truncated the info log and read
    # the deny list.
    if [ "$(head -n 1 "$work/info.log" 2>/dev/null)" = "Action specified is : DENY" ]; then
        pass "$mode, reload: the info log starts afresh with the deny list"
    else
        fail "$mode, reload: the info log begins with: $(head -n 1 "$work/info.log" 2>/dev/null)"
    fi

    start_capture deny
    expect_lease udhcpc "$listed_udhcpc" no "$mode, deny list"
    expect_lease udhcpc "$unlisted_udhcpc" yes "$mode, deny list"
    expect_lease dhclient "$listed_dhclient" no "$mode, deny list"
    expect_lease dhclient "$unlisted_dhclient" yes "$mode, deny list"
    stop_capture
    check_decisions "$work/info.log" "$work/deny.pcap" "$mode, deny list" \
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

# perfdhcp relays one client's exchange from 192.0.2.50 (its giaddr); prints
# the number of OFFERs it received.
relayed_offers() {  # mac
    ip netns exec "$client_ns" timeout 20 perfdhcp -4 -l 192.0.2.50 -R 1 -b "mac=$1" -r 2 -n 2 \
        -p 2 192.0.2.1 >"$work/perfdhcp.out" 2>&1
    awk '/^received packets:/ { print $3; exit }' "$work/perfdhcp.out"
}

# A list with sections: relayed traffic goes by its giaddr's section, direct
# clients by that of Kea's interface address (192.0.2.1); the third section
# holds neither, and the server-wide entry applies to neither.
run_sections() {
    local relayed_listed=02:00:5e:40:00:01 relayed_unlisted=02:00:5e:40:00:02
    local direct_listed=02:00:5e:50:00:01 direct_unlisted=02:00:5e:50:00:02 offers status
    rm -f "$work/kea.log" "$work/info.log" "$work/error.log" "$work/leases.csv"*
    {
        echo "MAC_ACTION = {DENY}"
        key "$relayed_listed"
        echo "SCOPE 192.0.2.0/30 = {DENY}       # direct clients"
        key "$direct_listed"
        echo "SCOPE 192.0.2.48/28 = {ALLOW}     # relayed clients"
        key "$relayed_listed"
        echo "SCOPE 198.51.100.0/24 = {DENY}    # no client"
        key "$direct_unlisted"
    } >"$work/list.txt"
    write_config '{ "enable-multi-threading": false }' list-file
    ip -n "$client_ns" addr add 192.0.2.50/24 dev "$client_if"
    start_kea "sections" || exit 1
    check_socket_failures
    offers=$(relayed_offers "$relayed_listed")
    [ "${offers:-0}" -gt 0 ] && pass "sections: relayed $relayed_listed got $offers offer(s)" ||
        fail "sections: relayed $relayed_listed got no offer"
    offers=$(relayed_offers "$relayed_unlisted")
    [ "${offers:-0}" -eq 0 ] && pass "sections: relayed $relayed_unlisted got no offer" ||
        fail "sections: relayed $relayed_unlisted got $offers offer(s)"
    ip -n "$client_ns" addr del 192.0.2.50/24 dev "$client_if"
    expect_lease udhcpc "$direct_unlisted" yes "sections, direct"
    expect_lease udhcpc "$direct_listed" no "sections, direct"
    check_section_lines "sections, relayed" "$(key "$relayed_listed")" Allow 192.0.2.48/28
    check_section_lines "sections, relayed" "$(key "$relayed_unlisted")" Deny 192.0.2.48/28
    check_section_lines "sections, direct" "$(key "$direct_unlisted")" Allow 192.0.2.0/30
    check_section_lines "sections, direct" "$(key "$direct_listed")" Deny 192.0.2.0/30
    status=$(kea_command '{ "command": "macgate-status" }' | jq -c '.arguments.sections' 2>/dev/null)
    if [ "$status" = '[{"action":"deny","addresses":1,"network":"192.0.2.0/30","prefixes":0},{"action":"allow","addresses":1,"network":"192.0.2.48/28","prefixes":0},{"action":"deny","addresses":1,"network":"198.51.100.0/24","prefixes":0}]' ]; then
        pass "sections: macgate-status lists each section"
    else
        fail "sections: macgate-status lists the sections as $status"
    fi
    stop_kea
}

case ${MACGATE_E2E_ONLY:-all} in
all | sections) run_sections ;;
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
