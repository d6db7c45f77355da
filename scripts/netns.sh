# shellcheck shell=bash
# Two network namespaces joined by a veth pair, for scripts that run a DHCP
# server in one and clients in the other. Sourced, not run:
#
#   . scripts/netns.sh
#   netns_names mg$$            # sets server_ns client_ns server_if client_if
#   netns_create || skip "$(netns_failure $?)"
#   netns_set_client_mac 02:00:5e:00:00:01
#   netns_teardown              # in the script's exit trap
#
# The server side has 192.0.2.1/24; the client side has no address unless
# the caller gives it one. Only addresses in 192.0.2.0/24 (TEST-NET-1) belong
# on this pair.

# Names unique to the tag, so that parallel runs do not collide; interface
# names stay within 15 characters for tags of up to 13.
netns_names() {  # tag
    server_ns="$1-srv"
    client_ns="$1-cli"
    server_if="${1}s"
    client_if="${1}c"
}

# Whether namespaces can be made here at all: makes one and deletes it.
netns_probe() {  # tag
    ip netns add "$1-probe" 2>/dev/null || return 1
    ip netns del "$1-probe"
}

# Makes both namespaces, the pair between them and the server's address, and
# brings every link up. Returns 1 when the namespaces cannot be made, 2 when
# the pair cannot, 3 when it cannot be set up.
netns_create() {
    ip netns add "$server_ns" 2>/dev/null || return 1
    ip netns add "$client_ns" || return 1
    ip link add "$server_if" netns "$server_ns" type veth peer name "$client_if" netns "$client_ns" ||
        return 2
    ip -n "$server_ns" link set lo up &&
        ip -n "$client_ns" link set lo up &&
        ip -n "$server_ns" addr add 192.0.2.1/24 dev "$server_if" &&
        ip -n "$server_ns" link set "$server_if" up &&
        ip -n "$client_ns" link set "$client_if" up ||
        return 3
}

# What netns_create's status means, for the skip or failure message.
netns_failure() {  # status
    case $1 in
    1) echo "cannot create network namespaces here" ;;
    2) echo "cannot create a veth pair here" ;;
    *) echo "cannot set up the veth pair" ;;
    esac
}

# The client's end takes a new hardware address; the link goes down for it.
netns_set_client_mac() {  # mac
    ip -n "$client_ns" link set "$client_if" down
    ip -n "$client_ns" link set "$client_if" address "$1"
    ip -n "$client_ns" link set "$client_if" up
}

# Anything still running in the namespaces goes with them; deleting a
# namespace takes the veth pair too. Safe to call before netns_create.
netns_teardown() {
    local ns pid
    for ns in "${client_ns:-}" "${server_ns:-}"; do
        [ -n "$ns" ] || continue
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -9 "$pid" 2>/dev/null
        done
        ip netns del "$ns" 2>/dev/null
    done
    return 0
}
