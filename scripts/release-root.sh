#!/usr/bin/env bash
# Makes, once, a Debian root folder per release in which macgate is built,
# packaged and run with that release's Kea:
#
#   build/roots/deb13   Debian 13 "trixie": GCC 14, Kea 2.6
#   build/roots/deb14   Debian 14 "forky" (testing): GCC 15 or later, Kea 3.0
#
#   scripts/release-root.sh [RELEASE...]     (default: deb13 deb14, side by side)
#   scripts/release-root.sh --run RELEASE COMMAND...
#   scripts/release-root.sh --list           (the releases, for the other scripts)
#
# The roots come from the archive that apt on this machine uses (the first
# deb.debian.org-style URI in /etc/apt/sources.list*, or MACGATE_MIRROR) with
# debootstrap, and hold what building, packaging and running the hooks
# library needs. A root is complete when it holds the marker file
# .macgate-root (the release and the package list); a folder without it,
# left by a debootstrap that failed or was stopped, is removed and made again,
# never reused. A root is made again too when the package list changes.
#
# debootstrap lays down the release's minimal base; apt inside the root then
# installs the rest. --run runs COMMAND inside the root (chroot), with /proc,
# /dev and /sys mounted for that command only and the source tree at /src;
# every mount is undone when it ends, whatever way it ends, and a second
# command in the same root waits for the first to end. MACGATE_NETNS=NS
# runs it in that network namespace. MACGATE_ROOTS=FOLDER keeps the roots
# there instead of build/roots.
#
# Exits 0 when every root is ready, 1 when one could not be made, 77 when it
# cannot be tried here (not root, no debootstrap, the archive unreachable);
# the reason is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
# As the kernel names it in /proc/mounts, through any symbolic link, so that
# every mount made below it is found again and undone.
roots=$(realpath -m "${MACGATE_ROOTS:-$top/build/roots}")
export LC_ALL=C

# The releases besides this machine's, each with its tag and Debian suite.
releases=(deb13 deb14)
suite_of() {
    case $1 in
    deb13) echo trixie ;;
    deb14) echo forky ;;
    *) return 1 ;;
    esac
}

# What a root holds beyond debootstrap's minimal base: building every
# preset with GCC and with clang, packaging and checking the .deb, and
# Kea's two servers for the end-to-end checks. clang's sanitizer and
# libFuzzer runtimes come in the package of clang's own version, which
# the install names once clang is there.
packages=(
    g++ clang cmake ninja-build make libcli11-dev libgtest-dev libbenchmark-dev
    libboost-dev libcurl4-openssl-dev
    kea-dev kea-dhcp4-server kea-dhcp6-server
    dpkg-dev binutils file lintian git ca-certificates
)
# shellcheck disable=SC2016 # expanded in the root, where clang is
clang_runtime='libclang-rt-$(clang --version | sed -n "s/.*clang version \([0-9]*\).*/\1/p;q")-dev'

mirror() {
    if [ -n "${MACGATE_MIRROR:-}" ]; then
        echo "$MACGATE_MIRROR"
        return
    fi
    # The URI of the main archive (not debian-security) that apt reads. A
    # machine may have only some of these files: none missing is an error.
    local file uri=''
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        uri=$(grep -v '^[[:space:]]*#' "$file" |
            grep -oE '(https?|file)://[^[:space:]]+/debian/?([[:space:]]|$)' |
            sed -n '1{s/[[:space:]]//g; s|/*$||; p}' || true)
        [ -z "$uri" ] || break
    done
    echo "$uri"
}

skip() {
    echo "SKIP: $*"
    exit 77
}

marker() {  # release
    printf 'release %s\nsuite %s\npackages %s\n' "$1" "$(suite_of "$1")" "${packages[*]}"
}

ready() {  # release
    [ -f "$roots/$1/.macgate-root" ] && diff -q <(marker "$1") "$roots/$1/.macgate-root" >/dev/null
}

# Every mount below FOLDER, deepest first.
unmount_below() {  # folder
    local mount
    awk -v top="$1" '$2 == top || index($2, top "/") == 1 { print $2 }' /proc/mounts | sort -r |
        while read -r mount; do
            umount -l "$mount" 2>/dev/null || true
        done
}

# Removes a root that is not (or no longer) complete. The source tree is
# bind-mounted in a root while a command runs there, on the same file
# system: a folder with anything still mounted below it is never removed.
remove_root() {  # folder
    unmount_below "$1"
    if awk -v top="$1" '$2 == top || index($2, top "/") == 1 { found = 1 } END { exit !found }' \
        /proc/mounts; then
        echo "release-root.sh: $1 still has mounts below it; not removed" >&2
        return 1
    fi
    rm -rf --one-file-system "$1"
}

# The end of a root that could not be made: its log's tail, and nothing kept.
give_up() {  # message log
    tail -n 20 "$2"
    echo "$1; nothing is kept (log: $2)"
    remove_root "$partial"
    partial=""
}

make_root() {  # release
    local release=$1 suite folder url started log
    suite=$(suite_of "$release") || { echo "release-root.sh: unknown release $release" >&2; return 1; }
    folder=$roots/$release
    if ready "$release"; then
        echo "$release: $folder is ready (Debian $suite)"
        return 0
    fi
    if [ -e "$folder" ]; then
        echo "$release: $folder is incomplete or out of date: removing it"
        remove_root "$folder" || return 1
    fi
    url=$(mirror)
    [ -n "$url" ] || skip "no Debian archive in /etc/apt/sources.list* (set MACGATE_MIRROR)"
    ! command -v curl >/dev/null || curl -fs -o /dev/null --max-time 20 "$url/dists/$suite/InRelease" ||
        skip "the archive $url cannot be reached for Debian $suite"
    mkdir -p "$roots"
    log=$roots/$release.log
    started=$SECONDS
    echo "$release: debootstrap Debian $suite from $url into $folder (log: $log)"
    # Made beside its final place and moved there whole, so that an
    # interrupted run leaves no folder that looks like a root.
    partial=$folder.partial
    [ ! -e "$partial" ] || remove_root "$partial" || return 1
    # debootstrap lays down the base system; apt inside it then installs
    # the rest, resolving what debootstrap's own resolver cannot (virtual
    # packages), without the recommended extras.
    if ! debootstrap --variant=minbase "$suite" "$partial" "$url" \
        /usr/share/debootstrap/scripts/sid >"$log" 2>&1; then
        give_up "$release: debootstrap failed" "$log"
        return 1
    fi
    unmount_below "$partial"
    # apt inside the root reads the same archive; no service starts there.
    echo "deb $url $suite main" >"$partial/etc/apt/sources.list"
    # The archive may be a snapshot, whose testing suite's Release file is
    # past its Valid-Until date: debootstrap does not look, and apt must not.
    echo 'Acquire::Check-Valid-Until "false";' >"$partial/etc/apt/apt.conf.d/99snapshot"
    printf '#!/bin/sh\nexit 101\n' >"$partial/usr/sbin/policy-rc.d"
    chmod 0755 "$partial/usr/sbin/policy-rc.d"
    if ! mounted "$partial" env DEBIAN_FRONTEND=noninteractive \
        sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends ${packages[*]} &&
            apt-get install -y -qq --no-install-recommends $clang_runtime" \
        >>"$log" 2>&1; then
        give_up "$release: installing the packages failed" "$log"
        return 1
    fi
    rm -rf "$partial/var/cache/apt/archives/"*.deb "$partial/var/lib/apt/lists/"*_Packages
    marker "$release" >"$partial/.macgate-root"
    mv "$partial" "$folder"
    partial=""
    echo "$release: made in $((SECONDS - started)) s"
}

# mounted FOLDER COMMAND...: COMMAND run in the root FOLDER (chroot, in the
# network namespace MACGATE_NETNS if set), with /proc, /dev and /sys mounted
# and the source tree at /src for its own time only.
mounted() {  # folder command...
    local folder=$1 status=0 lock
    shift
    # One command at a time in a root, each with its own mounts: a second
    # one waits for the first to end.
    exec {lock}>"$(dirname "$folder")/.lock-$(basename "$folder")"
    flock "$lock"
    mkdir -p "$folder/src"
    in_root=$folder
    mount --bind "$top" "$folder/src"
    mount -t proc proc "$folder/proc"
    mount --rbind /dev "$folder/dev"
    mount --make-rslave "$folder/dev"
    mount -t sysfs sysfs "$folder/sys"
    if [ -n "${MACGATE_NETNS:-}" ]; then
        ip netns exec "$MACGATE_NETNS" chroot "$folder" "$@" || status=$?
    else
        chroot "$folder" "$@" || status=$?
    fi
    unmount_below "$folder"
    in_root=""
    exec {lock}>&-
    return "$status"
}

# Whatever way the script ends, nothing stays mounted, and a root that was
# being made is gone.
in_root="" partial=""
# shellcheck disable=SC2317 # called by the trap
cleanup() {
    [ -z "$in_root" ] || unmount_below "$in_root"
    [ -z "$partial" ] || [ ! -e "$partial" ] || remove_root "$partial"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

if [ "${1:-}" = --list ]; then
    echo "${releases[*]}"
    exit 0
fi
[ "$(id -u)" -eq 0 ] || skip "needs root for debootstrap and chroot"
if [ "${1:-}" = --run ]; then
    shift
    [ $# -ge 2 ] || { echo "usage: release-root.sh --run RELEASE COMMAND..." >&2; exit 2; }
    ready "$1" || { echo "release-root.sh: $roots/$1 is not ready: run scripts/release-root.sh $1" >&2; exit 1; }
    folder=$roots/$1
    shift
    mounted "$folder" "$@"
    exit
fi
command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/install-deps.sh installs it)"
[ -d /usr/share/debootstrap/scripts ] || skip "debootstrap has no scripts folder"
# The roots are made side by side: most of the time goes to downloads and
# to dpkg, not to the processor. Each one cleans up after itself.
makers=()
[ $# -gt 0 ] || set -- "${releases[@]}"
for release in "$@"; do
    (
        trap cleanup EXIT
        trap 'exit 1' INT TERM HUP
        make_root "$release"
    ) &
    makers+=($!)
done
trap 'kill "${makers[@]}" 2>/dev/null; wait; cleanup' EXIT
status=0
for maker in "${makers[@]}"; do
    maker_status=0
    wait "$maker" || maker_status=$?
    case $maker_status in
    0) ;;
    77) [ "$status" -eq 1 ] || status=77 ;;
    *) status=1 ;;
    esac
done
trap cleanup EXIT
exit "$status"
