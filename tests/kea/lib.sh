# shellcheck shell=bash disable=SC2154 # library, server, family, capture_args: the script's
# What the scripts that run Kea in a network namespace share: their checks
# of what they need, the namespaces and working folder with their cleanup,
# and starting, asking and stopping Kea. Sourced after tests/lib/cases.sh,
# with $library, $server (kea-dhcp4 or kea-dhcp6) and $family (4 or 6) set:
#
#   kea_require PRESET TOOL...      skips unless root, the tools and $library
#   kea_setup TAG NAME              namespaces, $work, the exit trap
#   start_kea CONTEXT [SECONDS]     $server on $work/kea.json in $server_ns
#                                   (with MACGATE_KEA_RELEASE, in that root)
#   stop_kea, kea_command JSON, wait_for_kea_log PATTERN SECONDS
#   start_capture NAME, stop_capture    tcpdump of "${capture_args[@]}"
#   since_last_load LOG             a log of the library after its last start line
#   write_udhcpc_script, expect_verdict MAC served|dropped CONTEXT
#   reload_list ARGUMENTS RESULT CONTEXT    macgate-reload and its result
#   expect_offers CONTEXT yes|no GIADDR MAC [OPTION...]   a relayed DHCPv4 client
#
# On a failed exit, cleanup shows the tail of each file in $cleanup_logs
# (names in $work) and calls kea_cleanup_more if the script has one.

# shellcheck source=scripts/netns.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/netns.sh"

kea_pid=""
capture_pid=""
cleanup_logs=""

# With MACGATE_KEA_RELEASE=TAG (deb13, deb14), $server is that release's,
# run in its root (scripts/release-root.sh --run), and $library a path
# inside the root. $work is then made inside the root, and $kea_work is the
# path by which the server sees it there, which the configuration names;
# Kea's folders for its logs, sockets, pid and lock files are $kea_work, as
# Kea 2.6.3 and later want every file it writes in them. Without it both are
# the same path.
kea_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
kea_root="" kea_runner=""
if [ -n "${MACGATE_KEA_RELEASE:-}" ]; then
    kea_root=$(realpath -m "${MACGATE_ROOTS:-$kea_top/build/roots}/$MACGATE_KEA_RELEASE")
    export TMPDIR=$kea_root/tmp
fi

# Skips the whole script unless it runs as root with every TOOL and the
# library built (by the cmake preset PRESET).
kea_require() {  # preset tool...
    local preset=$1 tool
    shift
    [ "$(id -u)" -eq 0 ] || skip_all "needs root to create network namespaces"
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || skip_all "$tool is not installed (scripts/install-deps.sh)"
    done
    if [ -n "$kea_root" ]; then
        [ -f "$kea_root/.macgate-root" ] || skip_all "$kea_root is not made (scripts/release-root.sh)"
        [ -f "$kea_root$library" ] || skip_all "$library is not installed in $kea_root"
    else
        [ -f "$library" ] || skip_all "$library is not built (cmake --build --preset $preset)"
    fi
}

cleanup() {
    local status=$? log
    [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null
    [ -n "$kea_pid" ] && kill "$kea_pid" 2>/dev/null
    # The root's mounts are undone once its command has ended.
    [ -z "$kea_runner" ] || wait "$kea_runner" 2>/dev/null
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
    kea_work=${work#"$kea_root"}
    # Kea 2.6.3 and later take a control socket only in a folder of mode 0750.
    chmod 0750 "$work"
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

# Starts $server on $kea_work/NAME.json (kea.json) and waits up to $2
# seconds (20 by default) for it to say it started; unless CONTEXT is empty,
# fails "CONTEXT: $server did not start" and returns 1 if it does not.
start_kea() {  # context [seconds [name]]
    local config=$kea_work/${3:-kea}.json
    rm -f "$work/kea.pid"
    if [ -z "$kea_root" ]; then
        ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
            "$server" -c "$config" >"$work/kea.out" 2>&1 &
        kea_pid=$!
    else
        # The server's own process, inside the root, writes its number: the
        # command that runs it there ends only when the server has ended.
        # shellcheck disable=SC2016 # the inner shell expands them
        MACGATE_NETNS=$server_ns "$kea_top/scripts/release-root.sh" --run "$MACGATE_KEA_RELEASE" \
            env KEA_PIDFILE_DIR="$kea_work" KEA_LOCKFILE_DIR="$kea_work" \
            KEA_LOG_FILE_DIR="$kea_work" KEA_CONTROL_SOCKET_DIR="$kea_work" \
            KEA_DHCP_DATA_DIR="$kea_work" \
            sh -c 'echo $$ >"$1" && shift && exec "$@"' sh "$kea_work/kea.pid" \
            "$server" -c "$config" >"$work/kea.out" 2>&1 &
        kea_runner=$!
        for _ in $(seq 100); do [ -s "$work/kea.pid" ] && break; sleep 0.1; done
        kea_pid=$(cat "$work/kea.pid" 2>/dev/null)
    fi
    [ -n "$kea_pid" ] && wait_for_kea_log "DHCP${family}_STARTED" "${2:-20}" && return 0
    [ -z "$1" ] || fail "$1: $server did not start"
    return 1
}

# Stops $server, or after start_kea failed, waits for what it started to end.
stop_kea() {
    if [ -n "$kea_pid" ]; then
        kill -TERM "$kea_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$kea_pid" 2>/dev/null || break; sleep 0.2; done
        if kill -0 "$kea_pid" 2>/dev/null; then
            fail "$server did not stop"
            exit 1
        fi
        wait "$kea_pid" 2>/dev/null
    fi
    [ -z "$kea_runner" ] || wait "$kea_runner" 2>/dev/null
    kea_pid="" kea_runner=""
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

# perfdhcp relays one client's exchange from $1 (its giaddr), with the
# options given as perfdhcp's -o; prints the number of OFFERs it received.
relayed_offers() {  # giaddr mac [option...]
    local giaddr=$1 mac=$2 option options=()
    shift 2
    for option in "$@"; do options+=(-o "$option"); done
    ip netns exec "$client_ns" timeout 20 perfdhcp -4 -l "$giaddr" -R 1 -b "mac=$mac" -r 2 -n 2 \
        -p 2 "${options[@]}" 192.0.2.1 >"$work/perfdhcp.out" 2>&1
    awk '/^received packets:/ { print $3; exit }' "$work/perfdhcp.out"
}

expect_offers() {  # context want(yes|no) giaddr mac [option...]
    local context=$1 want=$2 offers
    shift 2
    offers=$(relayed_offers "$@")
    if [ "$want" = yes ] && [ "${offers:-0}" -gt 0 ]; then
        pass "$context: $2 got $offers offer(s)"
    elif [ "$want" = no ] && [ "${offers:-0}" -eq 0 ]; then
        pass "$context: $2 got no offer"
    else
        fail "$context: $2 got ${offers:-no} offer(s), wanted $want"
    fi
}
