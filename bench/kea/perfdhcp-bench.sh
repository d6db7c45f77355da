#!/usr/bin/env bash
# Kea with macgate against Kea without hooks and against Kea's own way of
# serving only listed clients (host reservations and the DROP class), with
# perfdhcp in one network namespace and kea-dhcp4 in another.
#
#   bench/kea/perfdhcp-bench.sh [path/to/libdhcp_macgate.so]
#   bench/kea/perfdhcp-bench.sh --cpu [-6] [path/to/libdhcp_macgate.so]
#
# Prints a table of exchanges per second at a fixed rate and at the highest
# rate perfdhcp can offer, each configuration twice, then the time Kea takes
# to start with 1,000, 10,000 and 100,000 listed addresses each way. Takes
# about three minutes; needs root. Exit 77 when it cannot run here.
#
# With --cpu it measures instead what filtering costs the server: Kea's own
# processor time per DISCOVER received, at a fixed rate well below what Kea
# can take, in rounds of every configuration one after the other (five by
# default). It prints the medians, and each configuration's median ratio to
# Kea without hooks in the same round, which other work on the machine moves
# far less than the times themselves; for kea-dhcp4 with the allow list
# once server-wide (decided at buffer4_receive) and once as the section of
# the clients' subnet (decided at subnet4_select). Takes about ten minutes. With -6 the
# same for kea-dhcp6: its processor time per SOLICIT, the clients naming
# themselves by DUID-LLTs of their MACs.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lib/cases.sh
. "$here/../../tests/lib/cases.sh"
cpu_mode=0
family=4
if [ "${1:-}" = "--cpu" ]; then
    cpu_mode=1
    shift
    if [ "${1:-}" = "-6" ]; then
        family=6
        shift
    fi
fi
server=kea-dhcp$family
library=$(realpath -m "${1:-$here/../../build/release/kea/libdhcp_macgate.so}")

fixed_rate=${FIXED_RATE:-500}  # exchanges offered per second
max_rate=${MAX_RATE:-20000}    # more than Kea can take here
period=${PERIOD:-10}           # seconds per perfdhcp run
cpu_rate=${CPU_RATE:-2000}     # DISCOVERs per second for --cpu
cpu_period=${CPU_PERIOD:-20}   # seconds per --cpu run
cpu_rounds=${CPU_ROUNDS:-5}    # rounds of every configuration for --cpu
clients=200                    # perfdhcp's clients; the first half are listed
list_size=100000
base_mac=02:00:5e:00:00:00

# shellcheck source=tests/kea/lib.sh
. "$here/../../tests/kea/lib.sh"
kea_require release ip "$server" perfdhcp awk

# Kea and perfdhcp each on a core of their own, so that the flood perfdhcp
# sends at the highest rate does not take the server's processor.
kea_cpu=() perfdhcp_cpu=()
if command -v taskset >/dev/null 2>&1 && [ "$(nproc)" -ge 2 ]; then
    kea_cpu=(taskset -c 1) perfdhcp_cpu=(taskset -c 0)
fi

kea_setup "mgb$$" kea-bench
ip -n "$client_ns" addr add 192.0.2.2/24 dev "$client_if"
if [ "$family" = 6 ]; then
    # Link-local addresses usable at once, without duplicate address detection.
    for side in "$server_ns $server_if" "$client_ns $client_if"; do
        read -r ns interface <<<"$side"
        ip netns exec "$ns" sysctl -q -w "net.ipv6.conf.$interface.accept_dad=0"
        ip -n "$ns" link set "$interface" down
        ip -n "$ns" link set "$interface" up
    done
    for _ in $(seq 50); do
        ip -n "$server_ns" link show "$server_if" | grep -q LOWER_UP &&
            ip -n "$server_ns" -6 addr show dev "$server_if" scope link | grep -q fe80 &&
            ip -n "$client_ns" -6 addr show dev "$client_if" scope link | grep -q fe80 && break
        sleep 0.1
    done
fi

# The listed addresses, one 12-digit key a line: the first half of
# perfdhcp's clients (it gives client k the base address plus k), then
# addresses that no client has, up to $1 in all. With $2 = none, only
# addresses that no client has.
listed_keys() {  # total [none]
    local half=$((clients / 2))
    [ "${2:-}" = none ] && half=0
    awk -v total="$1" -v half="$half" 'BEGIN {
        for (k = 0; k < half && k < total; k++) printf "02005e%06x\n", k
        for (k = 0; k < total - half; k++) printf "0a%010x\n", k
    }'
}

write_list() {  # size file [action]: ALLOW the first half, or DENY nobody, or SECTION
    if [ "${3:-ALLOW}" = DENY ]; then
        { echo "MAC_ACTION = {DENY}"; listed_keys "$1" none; } >"$2"
    elif [ "${3:-}" = SECTION ]; then
        # The same allow list as a section of the clients' subnet, which Kea
        # decides at subnet4_select; the server-wide entries name nobody.
        { echo "MAC_ACTION = {DENY}"; echo "0affffffffff"; echo "SCOPE 192.0.2.0/24 = {ALLOW}"
          listed_keys "$1"; } >"$2"
    else
        { echo "MAC_ACTION = {ALLOW}"; listed_keys "$1"; } >"$2"
    fi
}

# Kea takes a reservation only with something reserved: a host name here.
write_reservations() {  # size file: the JSON list of host reservations
    listed_keys "$1" | awk 'BEGIN { printf "[" }
        { h = $0; printf "%s{\"hw-address\":\"%s:%s:%s:%s:%s:%s\",\"hostname\":\"h%s\"}",
          (NR > 1 ? "," : ""), substr(h,1,2), substr(h,3,2), substr(h,5,2), substr(h,7,2),
          substr(h,9,2), substr(h,11,2), h }
        END { printf "]" }' >"$2"
}

# What one way of filtering adds to Kea's configuration, into the caller's
# hooks, classes and reservations: none, macgate (serving the listed half),
# macgate-sections (the same as a section, decided at subnet4_select),
# macgate-deny (a deny list that matches nobody) or kea (reservations and the
# DROP class).
filtering() {  # way size
    case $1 in
    macgate | macgate-deny | macgate-sections)
        if [ "$1" = macgate-deny ]; then
            write_list "$2" "$work/list.txt" DENY
        elif [ "$1" = macgate-sections ]; then
            write_list "$2" "$work/list.txt" SECTION
        else
            write_list "$2" "$work/list.txt"
        fi
        hooks='"hooks-libraries": [ { "library": "'"$library"'", "parameters": {
            "list-file": "'"$work/list.txt"'", "error-log": "'"$work/error.log"'" } } ],'
        ;;
    kea)
        write_reservations "$2" "$work/reservations.json"
        reservations=$(cat "$work/reservations.json")
        classes='"client-classes": [ { "name": "DROP", "test": "not member('"'KNOWN'"')" } ],'
        ;;
    esac
}

# Writes the configuration for one way of filtering: none, macgate (serving
# the listed half), macgate-deny (a deny list that matches nobody) or kea.
write_config() {  # way size
    local hooks="" classes="" reservations="[]"
    filtering "$@"
    cat >"$work/kea.json" <<EOF
{
  "Dhcp4": {
    "interfaces-config": { "interfaces": [ "$server_if" ], "dhcp-socket-type": "raw" },
    "lease-database": { "type": "memfile", "persist": false },
    "host-reservation-identifiers": [ "hw-address" ],
    "valid-lifetime": 3600,
    $hooks
    $classes
    "subnet4": [ { "subnet": "192.0.2.0/24", "pools": [ { "pool": "192.0.2.10 - 192.0.2.250" } ],
                   "reservations": $reservations } ],
    "loggers": [
      { "name": "kea-dhcp4", "output_options": [ { "output": "$work/kea.log" } ], "severity": "WARN" },
      { "name": "kea-dhcp4.dhcp4", "output_options": [ { "output": "$work/kea.log" } ], "severity": "INFO" }
    ]
  }
}
EOF
}

# The same for kea-dhcp6: host reservations by hw-address, which Kea finds
# from the clients' DUID-LLTs.
write_config6() {  # way size
    local hooks="" classes="" reservations="[]"
    filtering "$@"
    cat >"$work/kea.json" <<EOF
{
  "Dhcp6": {
    "interfaces-config": { "interfaces": [ "$server_if" ] },
    "lease-database": { "type": "memfile", "persist": false },
    "server-id": { "type": "LL", "persist": false },
    "host-reservation-identifiers": [ "hw-address" ],
    $hooks
    $classes
    "subnet6": [ { "subnet": "2001:db8:1::/64", "interface": "$server_if",
                   "pools": [ { "pool": "2001:db8:1::/80" } ], "reservations": $reservations } ],
    "loggers": [
      { "name": "kea-dhcp6", "output_options": [ { "output": "$work/kea.log" } ], "severity": "WARN" },
      { "name": "kea-dhcp6.dhcp6", "output_options": [ { "output": "$work/kea.log" } ], "severity": "INFO" }
    ]
  }
}
EOF
}

# Starts Kea; start_seconds is the time it took to report itself started.
timed_start_kea() {
    : >"$work/kea.log"
    local start end
    start=$(date +%s%N)
    ip netns exec "$server_ns" env KEA_PIDFILE_DIR="$work" KEA_LOCKFILE_DIR="$work" \
        "${kea_cpu[@]}" "$server" -c "$work/kea.json" >"$work/kea.out" 2>&1 &
    kea_pid=$!
    local deadline=$((SECONDS + 120))
    until grep -q "DHCP${family}_STARTED" "$work/kea.log" 2>/dev/null; do
        if ! kill -0 "$kea_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            echo "$server did not start:" >&2
            cat "$work/kea.out" "$work/kea.log" >&2
            exit 1
        fi
        sleep 0.005
    done
    end=$(date +%s%N)
    if grep -E "DHCPSRV_OPEN_SOCKET_FAIL|DHCPSRV_NO_SOCKETS_OPEN" "$work/kea.log" >&2; then
        exit 1
    fi
    start_seconds=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.2f", ns / 1e9 }')
}

# Stops Kea, by force if it takes more than ten seconds.
kill_kea() {
    kill "$kea_pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$kea_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$kea_pid" 2>/dev/null
    wait "$kea_pid" 2>/dev/null
    kea_pid=""
}

# One perfdhcp run; prints "exchanges/s discovers/s offers/s".
run_perfdhcp() {  # rate
    local out="$work/perfdhcp.out"
    ip netns exec "$client_ns" timeout $((period + 30)) "${perfdhcp_cpu[@]}" perfdhcp -4 -l 192.0.2.2 \
        -r "$1" -R "$clients" -b "mac=$base_mac" -p "$period" 192.0.2.1 >"$out" 2>&1
    awk -v period="$period" '
        /^\*\*\*Rate statistics\*\*\*/ { }
        /^Rate:/ { rate = $2 }
        /DISCOVER-OFFER/ { section = "do" }
        /REQUEST-ACK/ { section = "ra" }
        /^sent packets:/ && section == "do" { sent = $3 }
        /^received packets:/ && section == "do" { received = $3 }
        END { printf "%s %.0f %.0f", rate, sent / period, received / period }' "$out"
}

# Processor time of a process so far, in nanoseconds: the time each of its
# threads has run, user and system alike. utime and stime in /proc/PID/stat
# count whole clock ticks, too coarse for differences of a few percent.
cpu_nanoseconds() {  # pid
    cat "/proc/$1/task/"*/schedstat | awk '{ total += $1 } END { printf "%.0f", total }'
}

# One fixed-rate run of DISCOVERs (SOLICITs with -6) only; prints
# "discovers offers microseconds" with Kea's processor time per DISCOVER
# (SOLICIT) received.
run_cpu() {
    local out="$work/perfdhcp.out" before after target=(-4 -l 192.0.2.2 192.0.2.1)
    [ "$family" = 6 ] && target=(-6 -l "$client_if" all)
    before=$(cpu_nanoseconds "$kea_pid")
    ip netns exec "$client_ns" timeout $((cpu_period + 30)) "${perfdhcp_cpu[@]}" perfdhcp -i \
        -r "$cpu_rate" -R "$clients" -b "mac=$base_mac" -p "$cpu_period" "${target[@]}" \
        >"$out" 2>&1
    after=$(cpu_nanoseconds "$kea_pid")
    awk -v ns=$((after - before)) '
        /^sent packets:/ && !sent { sent = $3 }
        /^received packets:/ && !received { received = $3 }
        END { printf "%d %d %.2f", sent, received, sent ? ns / sent / 1e3 : 0 }' "$out"
}

cpu_name() {  # way
    case $1 in
    none) echo "Kea without hooks" ;;
    macgate-deny) echo "Kea + macgate, deny list matching nobody" ;;
    macgate) echo "Kea + macgate, dropping half" ;;
    macgate-sections) echo "Kea + macgate section, dropping half" ;;
    kea) echo "Kea reservations + DROP, dropping half" ;;
    esac
}

median() {  # numbers...
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

if [ "$cpu_mode" -eq 1 ]; then
    packet=DISCOVER answer=OFFER
    [ "$family" = 6 ] && packet=SOLICIT answer=ADVERTISE
    printf '%s %s, perfdhcp -i at %d %s/s for %ds, %d clients (%d listed)\n' "$server" \
        "$("$server" -v)" "$cpu_rate" "$packet" "$cpu_period" "$clients" $((clients / 2))
    echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors"
    printf '\n%-40s %-4s %10s %10s %16s\n' "configuration" "run" "${packet}s" "${answer}s" \
        "Kea CPU us/pkt"
    # Round after round of every configuration, so that other work on the
    # machine falls on all of them alike.
    ways=(none macgate-deny macgate kea)
    # A section decides at subnet4_select; kea-dhcp6 has no sections.
    [ "$family" = 4 ] && ways=(none macgate-deny macgate macgate-sections kea)
    declare -A costs=() ratios=()
    for run in $(seq "$cpu_rounds"); do
        for way in "${ways[@]}"; do
            if [ "$family" = 6 ]; then
                write_config6 "$way" "$list_size"
            else
                write_config "$way" "$list_size"
            fi
            timed_start_kea
            read -r discovers offers cost <<<"$(run_cpu)"
            kill_kea
            costs[$way]+="$cost "
            [ "$way" = none ] && reference=$cost
            ratios[$way]+="$(awk -v a="$cost" -v b="$reference" 'BEGIN { printf "%.4f", a / b }') "
            printf '%-40s %-4s %10s %10s %16s\n' "$(cpu_name "$way")" "$run" "$discovers" \
                "$offers" "$cost"
        done
    done
    printf '\n%-40s %16s %18s\n' "median of $cpu_rounds runs" "Kea CPU us/pkt" \
        "against no hooks"
    for way in "${ways[@]}"; do
        # shellcheck disable=SC2086 # one number a word
        printf '%-40s %16s %17s%%\n' "$(cpu_name "$way")" "$(median ${costs[$way]})" \
            "$(awk -v r="$(median ${ratios[$way]})" 'BEGIN { printf "%+.1f", (r - 1) * 100 }')"
    done
    exit 0
fi

printf 'kea-dhcp4 %s, perfdhcp with %d clients (%d listed), %ds a run; list or reservations of %d\n' \
    "$(kea-dhcp4 -v)" "$clients" $((clients / 2)) "$period" "$list_size"
# Other work on the machine moves the highest rates; say how busy it was.
echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) processors"
printf '\n%-26s %-5s %12s %14s %14s\n' "configuration" "run" "rate offered" "exchanges/s" \
    "DISCOVER/OFFER/s"
for way in none macgate kea; do
    case $way in
    none) name="Kea without hooks" ;;
    macgate) name="Kea + macgate" ;;
    kea) name="Kea reservations + DROP" ;;
    esac
    write_config "$way" "$list_size"
    for run in 1 2; do
        timed_start_kea
        for rate in "$fixed_rate" "$max_rate"; do
            read -r exchanges discovers offers <<<"$(run_perfdhcp "$rate")"
            label=$rate
            [ "$rate" = "$max_rate" ] && label=max
            printf '%-26s %-5s %12s %14s %8s/%s\n' "$name" "$run" "$label" "$exchanges" \
                "$discovers" "$offers"
        done
        kill_kea
    done
done

printf '\n%-26s %10s %10s %10s\n' "start time (s)" 1000 10000 100000
for way in macgate kea; do
    case $way in
    macgate) name="Kea + macgate list" ;;
    kea) name="Kea reservations" ;;
    esac
    row=""
    for size in 1000 10000 100000; do
        write_config "$way" "$size"
        times=""
        for run in 1 2; do
            timed_start_kea
            times+="$start_seconds "
            kill_kea
        done
        row+=$(printf ' %10s' "$(echo "$times" | tr ' ' '\n' | grep . | sort -n | head -1)")
    done
    printf '%-26s%s\n' "$name" "$row"
done
write_config none 0
timed_start_kea
kill_kea
printf '%-26s %10s  (no list)\n' "Kea without hooks" "$start_seconds"
