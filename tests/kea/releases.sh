#!/usr/bin/env bash
# A Debian release's package in that release's root (scripts/release-root.sh
# makes it, scripts/package.sh builds the package in it): installed there
# with dpkg -i, its Depends met; lintian-clean by that release's lintian; its
# example configurations taken by that release's kea-dhcp4 -t and
# kea-dhcp6 -t; and the packaged hooks library in that release's kea-dhcp4,
# run inside the root, with real clients in the test's own network
# namespaces: a listed and an unlisted client under an allow list and a deny
# list, a relayed client decided by a section, macgate-reload applied and
# refused, drop-all, macgate status --kea
# (the release's own tool) and, where Kea keeps log files in its log folder
# (2.6.3 and later), an info log outside that folder refused with Kea's
# reason. Then kea-dhcp6 in the root, through tests/kea/e2e6.sh.
#
#   tests/kea/releases.sh TAG        (deb13, deb14; after scripts/package.sh)
#
# Exits 0 when every check passed, 1 when one failed, 77 when it cannot run
# here (the reason is printed). Needs root for the namespaces and chroot.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
tag=${1:?usage: releases.sh TAG}
roots=${MACGATE_ROOTS:-$top/build/roots}
rootdir=$roots/$tag
cases_column=5
# shellcheck source=tests/lib/cases.sh
. "$here/../lib/cases.sh"

server=kea-dhcp4
family=4
# Kea runs inside the root, where the package put the hooks library.
export MACGATE_KEA_RELEASE=$tag
library=/usr/lib/x86_64-linux-gnu/kea/hooks/libdhcp_macgate.so
# shellcheck source=tests/kea/lib.sh
. "$here/lib.sh"
[ "$(id -u)" -eq 0 ] || skip_all "needs root for the root folder and the namespaces"
[ -f "$rootdir/.macgate-root" ] || skip_all "$rootdir is not made (scripts/release-root.sh $tag)"
for tool in busybox socat jq perfdhcp; do
    command -v "$tool" >/dev/null || skip_all "$tool is not installed (scripts/install-deps.sh)"
done
deb=$(find "$top/dist" -maxdepth 1 -name "macgate_*~${tag}_*.deb" | head -n 1)
[ -n "$deb" ] || skip_all "dist/ has no package for $tag (scripts/package.sh)"
cleanup_logs="kea.out kea.log"
# The working folder is inside the root, where Kea sees it as $kea_work.
kea_setup "mr$$" "release-$tag"
write_udhcpc_script

in_root() {
    "$top/scripts/release-root.sh" --run "$tag" "$@"
}
kea_version=$(sed -n 's/^#define VERSION "\(.*\)"$/\1/p' "$rootdir/usr/include/kea/config.h")
echo "Debian $tag: Kea $kea_version"

# ---- the package
deb_name=${deb##*/}
check "$tag: dpkg -i installs the package, with its Depends met" in_root dpkg -i "/src/dist/$deb_name"
check "$tag: lintian reports no error" in_root lintian --fail-on error "/src/dist/$deb_name"
for example in kea-dhcp4 kea-dhcp6; do
    check "$tag: $example -t takes the packaged example configuration" \
        in_root "$example" -t "/usr/share/doc/macgate/examples/$example.json"
done
[ -f "$rootdir$library" ] || { fail "$tag: the package put no hooks library in Kea's hooks folder"; exit 1; }

# ---- kea-dhcp4 in the root, every file of its own in the working folder,
# which Kea's environment makes its log, socket, lease and pid folder.
a=02:00:5e:60:00:01 b=02:00:5e:60:00:02

# Kea's configuration in NAME.json (kea.json): $1 is added to the hooks
# library's parameters, $2 replaces the control socket (NAME.sock), $3 the
# interfaces (the server's end of the pair).
write_config() {  # hooks-parameters [control-sockets [interfaces [name]]]
    local name=${4:-kea}
    local sockets=${2:-"\"control-socket\": { \"socket-type\": \"unix\", \"socket-name\": \"$kea_work/$name.sock\" }"}
    local interfaces=${3-"\"$server_if\""}
    cat >"$work/$name.json" <<EOF
{
  "Dhcp4": {
    "interfaces-config": { "interfaces": [ $interfaces ], "dhcp-socket-type": "raw" },
    "lease-database": { "type": "memfile", "persist": false },
    "valid-lifetime": 600,
    $sockets,
    "subnet4": [
      { "id": 1, "subnet": "192.0.2.0/24", "pools": [ { "pool": "192.0.2.100 - 192.0.2.199" } ] },
      { "id": 2, "subnet": "10.10.1.0/24", "relay": { "ip-addresses": [ "192.0.2.60" ] },
        "pools": [ { "pool": "10.10.1.100 - 10.10.1.199" } ] } ],
    "hooks-libraries": [ {
      "library": "$library",
      "parameters": { "list-file": "$kea_work/list-$name.txt"$1 }
    } ],
    "loggers": [ {
      "name": "kea-dhcp4",
      "output-options": [ { "output": "$kea_work/$name.log", "flush": true } ],
      "severity": "INFO"
    } ]
  }
}
EOF
}

# The release's own macgate tool, in the server's namespace, asks Kea
# (by default through the socket in the root); the running Kea's mounts
# serve it too.
tool_status() {  # exit-status text context [arguments]
    local want=$1 text=$2 context=$3 got=0
    shift 3
    [ $# -gt 0 ] || set -- --kea "$kea_work/kea.sock"
    ip netns exec "$server_ns" chroot "$rootdir" macgate status "$@" >"$work/status" 2>&1 || got=$?
    if [ "$got" -eq "$want" ] && grep -q "$text" "$work/status"; then
        pass "$context: macgate status exits $got: $(grep -v '^$' "$work/status" | tail -n 1)"
    else
        fail "$context: macgate status exits $got, not $want with '$text': $(cat "$work/status")"
    fi
}

printf 'MAC_ACTION = {ALLOW}\n%s\n' "$(key "$a")" >"$work/list-kea.txt"
write_config ""
rm -f "$work/kea.log"
start_kea "$tag: with the packaged hooks library, kea-dhcp4 $kea_version" || exit 1
expect_verdict "$a" served "$tag, allow list, listed"
expect_verdict "$b" dropped "$tag, allow list, unlisted"
tool_status 0 "filters with this list" "$tag, allow list"

# A relayed client, decided by the section of the subnet that Kea selects
# for it by its relay's address; perfdhcp relays from 192.0.2.60.
ip -n "$client_ns" addr add 192.0.2.60/24 dev "$client_if"
printf 'MAC_ACTION = {DENY}\nSCOPE 10.10.1.0/24 = {ALLOW}\n%s\n' "$(key "$a")" >"$work/list-kea.txt"
reload_list "" 0 "$tag, a section"
expect_offers "$tag, a section, relayed and listed" yes 192.0.2.60 "$a"
expect_offers "$tag, a section, relayed and unlisted" no 192.0.2.60 "$b"
expect_verdict "$b" served "$tag, a section, unlisted outside its network"

printf 'MAC_ACTION = {DENY}\n%s\n' "$(key "$a")" >"$work/list-kea.txt"
reload_list "" 0 "$tag, deny list"
expect_verdict "$a" dropped "$tag, deny list, listed"
expect_verdict "$b" served "$tag, deny list, unlisted"

mv "$work/list-kea.txt" "$work/list-kea.saved"
reload_list "" 1 "$tag, list removed"
expect_verdict "$a" dropped "$tag, after the refused reload, the deny list stays"

write_config ', "unusable-list": "drop-all"'
if kea_command '{ "command": "config-reload" }' | jq -e '.result == 0' >/dev/null 2>&1; then
    pass "$tag, drop-all: Kea takes the configuration with a missing list"
else
    fail "$tag, drop-all: Kea refused the configuration with a missing list"
fi
expect_verdict "$b" dropped "$tag, drop-all"
tool_status 1 "macgate drops every client" "$tag, drop-all"
mv "$work/list-kea.saved" "$work/list-kea.txt"
reload_list "" 0 "$tag, drop-all lifted"
expect_verdict "$b" served "$tag, drop-all lifted"
stop_kea

# ---- Kea 2.6.3 and later write log files in their log folder only, and the
# library's logs are held to the same rule at load().
if grep -q validatePath "$rootdir/usr/include/kea/process/log_parser.h"; then
    write_config ", \"info-log\": \"/var/tmp/info.log\""
    rm -f "$work/kea.log"
    start_kea "" 5 && fail "$tag: kea-dhcp4 started with an info log outside its log folder"
    stop_kea
    refusal="MACGATE_LOG_PATH_REFUSED parameter \"info-log\" names \"/var/tmp/info.log\""
    if grep -h "$refusal" "$work/kea.log" "$work/kea.out" 2>/dev/null | grep -q "$kea_work"; then
        pass "$tag: Kea $kea_version refuses an info log outside $kea_work, naming the folder"
    else
        fail "$tag: no '$refusal ... $kea_work' in Kea's log"
    fi
fi

# ---- Kea 3.0 serves its control channel over HTTP itself: status --kea
# asks it over HTTPS, with basic authentication from a file and the test's
# own certificate authority, and tells two servers that filter with the
# same list from two whose lists differ (a second kea-dhcp4, on no
# interface, asked through its UNIX socket).
if [ "${kea_version%%.*}" -ge 3 ] && command -v openssl >/dev/null; then
    (cd "$work" && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
        -subj /CN=macgate-test-ca &&
        openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=127.0.0.1 &&
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
            -extfile <(echo subjectAltName=IP:127.0.0.1) -out server.pem) >"$work/openssl.out" 2>&1 ||
        fail "$tag: openssl could not make the test's certificates: $(tail -n 3 "$work/openssl.out")"
    echo "macgate:$(key "$a")" >"$work/auth"
    url=https://127.0.0.1:8004/
    write_config "" "\"control-sockets\": [
      { \"socket-type\": \"unix\", \"socket-name\": \"$kea_work/kea.sock\" },
      { \"socket-type\": \"https\", \"socket-address\": \"127.0.0.1\", \"socket-port\": 8004,
        \"trust-anchor\": \"$kea_work/ca.pem\", \"cert-file\": \"$kea_work/server.pem\",
        \"key-file\": \"$kea_work/server.key\", \"cert-required\": false,
        \"authentication\": { \"type\": \"basic\", \"realm\": \"macgate\",
          \"clients\": [ { \"user\": \"macgate\", \"password\": \"$(key "$a")\" } ] } } ]"
    printf 'MAC_ACTION = {ALLOW}\n%s\n' "$(key "$a")" >"$work/list-kea.txt"
    rm -f "$work/kea.log"
    if start_kea ""; then
        tool_status 0 "filters with this list" "$tag, HTTPS" --kea "$url" \
            --auth-file "$kea_work/auth" --ca-file "$kea_work/ca.pem"
        tool_status 2 "401" "$tag, HTTPS without --auth-file" --kea "$url" --ca-file "$kea_work/ca.pem"
        tool_status 2 "certificate" "$tag, HTTPS without --ca-file" --kea "$url" --auth-file "$kea_work/auth"
        # The second server, under the first one's mounts.
        cp "$work/list-kea.txt" "$work/list-kea2.txt"
        write_config "" "" "" kea2
        ip netns exec "$server_ns" chroot "$rootdir" env KEA_PIDFILE_DIR="$kea_work" \
            KEA_LOCKFILE_DIR="$kea_work" KEA_LOG_FILE_DIR="$kea_work" KEA_CONTROL_SOCKET_DIR="$kea_work" \
            KEA_DHCP_DATA_DIR="$kea_work" kea-dhcp4 -c "$kea_work/kea2.json" >"$work/kea2.out" 2>&1 &
        second_pid=$!
        for _ in $(seq 100); do grep -q DHCP4_STARTED "$work/kea2.log" 2>/dev/null && break; sleep 0.2; done
        tool_status 0 "The 2 servers filter with the same list" "$tag, two servers, one list" \
            --kea "$url" "$kea_work/kea2.sock" --auth-file "$kea_work/auth" --ca-file "$kea_work/ca.pem"
        printf 'MAC_ACTION = {DENY}\n%s\n' "$(key "$a")" >"$work/list-kea2.txt"
        socat -t 5 - "UNIX-CONNECT:$work/kea2.sock" <<<'{ "command": "macgate-reload" }' >/dev/null
        tool_status 1 "different lists" "$tag, two servers, two lists" \
            --kea "$url" "$kea_work/kea2.sock" --auth-file "$kea_work/auth" --ca-file "$kea_work/ca.pem"
        kill "$second_pid" 2>/dev/null
        wait "$second_pid" 2>/dev/null
        stop_kea
    else
        fail "$tag: kea-dhcp4 did not start with an HTTPS control socket"
    fi
fi

# ---- kea-dhcp6 in the root: the DHCPv6 end-to-end checks, with the
# packaged hooks library.
e2e6_status=0
"$here/e2e6.sh" "$library" >"$work/e2e6.out" 2>&1 || e2e6_status=$?
case $e2e6_status in
    0) pass "$tag: kea-dhcp6 $kea_version end to end: $(grep -c '^ok' "$work/e2e6.out") checks" ;;
    77) skip "$tag: kea-dhcp6 end to end" "$(sed -n 's/^SKIP: //p' "$work/e2e6.out" | head -n 1)" ;;
    *) fail "$tag: kea-dhcp6 $kea_version end to end" && sed 's/^/      | /' "$work/e2e6.out" ;;
esac

in_root dpkg -r macgate >/dev/null 2>&1 || fail "$tag: dpkg -r macgate failed"
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "All checks of $tag passed"
