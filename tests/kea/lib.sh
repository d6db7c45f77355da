# shellcheck shell=bash disable=SC2154 # library, server, family, capture_args: the script's
# What the scripts that run Kea in a network namespace share: their checks
# of what they need, the namespaces and working folder with their cleanup,
# and starting, asking and stopping Kea. Sourced after tests/lib/cases.sh,
# with $library, $server (kea-dhcp4 or kea-dhcp6) and $family (4 or 6) set:
#
#   kea_require PRESET TOOL...      skips unless root, the tools and $library
#   kea_setup TAG NAME              namespaces, $work, the exit trap
#   start_kea CONTEXT [SECONDS]     $server on $work/kea.json in $server_ns
#   stop_kea, kea_command JSON, wait_for_kea_log PATTERN SECONDS
#   start_capture NAME, stop_capture    tcpdump of "${capture_args[@]}"
#   since_last_load LOG             a log of the library after its last start line
#   write_udhcpc_script, expect_verdict MAC served|dropped CONTEXT
#   reload_list ARGUMENTS RESULT CONTEXT    macgate-reload and its result
#
# On a failed exit, cleanup shows the tail of each file in $cleanup_logs
# (names in $work) and calls kea_cleanup_more if the script has one.

# shellcheck source=scripts/netns.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns.sh"

kea_pid=""
capture_pid=""
cleanup_logs=""

# Skips the whole script unless it runs as root with every TOOL and the
# library built (by the cmake preset PRESET).
kea_require() {  # preset tool...
    local preset=$1 tool
    shift
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to create network namespaces"
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || skip_all "$tool is not installed (scripts/install-deps.sh)"
    done
    [ -f "$library" ] || skip_all "$library is not built (cmake --build --preset $preset)"
}

cleanup() {
    local status=$? log
    [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
    [ -n "$kea_pid" ] && kill "$kea_pid" 2>/dev/null
    if [ -s "$work/dhclient.pid" ]; then
        kill "$(cat "$work/dhclient.pid")" 2>/dev/null
    fi
    netns_teardown
    ! declare -F kea_cleanup_more >/dev/null || kea_cleanup_more
    if [ "$status" -ne 0 ] && [ "$status" -ne "$SKIP" ]; then
        for log in $cleanup_logs; do
            [ -f "$work/$log" ] && { echo "---- $log"; tail -n 40 "$work/$log"; }
        done
    fi
    rm -rf "$work"
    exit "$status"
}

# The namespaces named after TAG, joined and up, and the working folder
# $work (macgate-NAME.XXXXXX), both gone when the script exits.
kea_setup() {  # tag name
    local created
    netns_names "$1"
    work=$(mktemp -d "${TMPDIR:-/tmp}/macgate-$2.XXXXXX")
    trap cleanup EXIT
    trap 'exit 1' INT TERM
    netns_create
    created=$?
    case $created in
    0) ;;
    3) fail "$(netns_failure 3)"; exit 1 ;;
    *) skip_all "$(netns_failure $created)" ;;
    esac
}

# A log's lines after its last start line, which each load writes first.
since_last_load() {  # log
    awk '/^---- / { n = NR } { line[NR] = $0 } END { for (i = n + 1; i <= NR; i++) print line[i] }' "$1" 2>/dev/null
}

# A MAC address as a list's 12-digit key.
key() { echo "$1" | tr -d :; }

# Sends one command over Kea's control socket and prints the answer.
kea_command() {  # JSON
    socat -t 5 - "UNIX-CONNECT:$work/kea.sock" <<<"$1" 2>/dev/null
}

# Waits up to $2 seconds for the pattern $1 in Kea's log.
wait_for_kea_log() {  # pattern seconds
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        grep -q -- "$1" "$work/kea.log" 2>/dev/null && return 0
        kill -0 "$kea_pid" 2>/dev/null || return 1
        sleep 0.2
    done
    return 1
}

# Starts $server and waits up to $2 seconds (20 by default) for it to say it
# started; fails "CONTEXT: $server did not start" and returns 1 if it does not.
start_kea() {  # context [seconds]
    ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
        "$server" -c "$work/kea.json" >"$work/kea.out" 2>&1 &
    kea_pid=$!
    wait_for_kea_log "DHCP${family}_STARTED" "${2:-20}" && return 0
    fail "$1: $server did not start"
    return 1
}

stop_kea() {
    kill -TERM "$kea_pid"
    for _ in $(seq 50); do kill -0 "$kea_pid" 2>/dev/null || break; sleep 0.2; done
    if kill -0 "$kea_pid" 2>/dev/null; then
        fail "$server did not stop"
        exit 1
    fi
    wait "$kea_pid" 2>/dev/null
    kea_pid=""
}

# What reaches the server's end, into $work/NAME.pcap.
start_capture() {  # name
    ip netns exec "$server_ns" tcpdump -Z root --immediate-mode -i "$server_if" -U -w "$work/$1.pcap" \
        "${capture_args[@]}" >/dev/null 2>&1 &
    capture_pid=$!
    sleep 1
}

stop_capture() {
    sleep 0.5
    kill -INT "$capture_pid" 2>/dev/null
    wait "$capture_pid" 2>/dev/null
    capture_pid=""
}

# The clients' script only notes the address they were given; it configures
# nothing and never touches the host's resolver file.
write_udhcpc_script() {
    cat >"$work/udhcpc.sh" <<EOF
#!/bin/sh
[ "\$1" = bound ] && echo "\$ip" >"$work/udhcpc.lease"
exit 0
EOF
    chmod +x "$work/udhcpc.sh"
}

# One DISCOVER from a client, and whether it was served: quicker than
# expect_lease for a client that the filter drops.
expect_verdict() {  # mac want(served|dropped) context
    local address
    netns_set_client_mac "$1"
    rm -f "$work/udhcpc.lease"
    ip netns exec "$client_ns" timeout 10 busybox udhcpc -f -q -n -t 1 -T 1 \
        -i "$client_if" -s "$work/udhcpc.sh" >>"$work/clients.out" 2>&1
    address=$(cat "$work/udhcpc.lease" 2>/dev/null)
    if [ "$2" = served ] && [[ "$address" == 192.0.2.* ]]; then
        pass "$3: $1 is served"
    elif [ "$2" = dropped ] && [ -z "$address" ]; then
        pass "$3: $1 is dropped"
    else
        fail "$3: $1 is not $2 (lease: ${address:-none})"
    fi
}

# Sends macgate-reload (with $1 as its arguments) and checks its result.
reload_list() {  # arguments want-result context
    local answer
    answer=$(kea_command "{ \"command\": \"macgate-reload\"${1:+, \"arguments\": $1} }")
    echo "$answer" >"$work/reload.json"
    if jq -e --argjson want "$2" '.result == $want' <<<"$answer" >/dev/null 2>&1; then
        pass "$3: macgate-reload answers $2: $(jq -r .text <<<"$answer")"
    else
        fail "$3: macgate-reload answers ${answer:-nothing}, not result $2"
    fi
}
