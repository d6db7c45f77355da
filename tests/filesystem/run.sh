#!/usr/bin/env bash
# Runs the info log's file-system tests (info_log_fs_tests) on file systems
# made for them: an ext4 on a loop device, which the tests freeze, and a
# 16 MiB tmpfs, which they fill. Both are taken down again on every exit,
# thawed first.
#
#   tests/filesystem/run.sh path/to/info_log_fs_tests [gtest options]
#
# Exits 77 when it cannot run here (the reason is printed): it needs root.
set -uo pipefail

binary=$1
shift

skip() {
    echo "SKIPPED: $*"
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "mounting the file systems needs root"
for tool in mkfs.ext4 losetup mount umount mountpoint fsfreeze; do
    command -v "$tool" >/dev/null || skip "no $tool"
done

work=$(mktemp -d)
loop=''
tests_pid=''
cleanup() {
    [ -z "$tests_pid" ] || kill -9 "$tests_pid" 2>/dev/null
    fsfreeze --unfreeze "$work/frozen" 2>/dev/null
    for dir in "$work/frozen" "$work/full"; do
        ! mountpoint -q "$dir" || umount "$dir" || umount -l "$dir"
    done
    [ -z "$loop" ] || losetup -d "$loop"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

mkdir "$work/frozen" "$work/full"
truncate -s 32M "$work/ext4.img"
mkfs.ext4 -q "$work/ext4.img" || skip "mkfs.ext4 failed"
loop=$(losetup -f --show "$work/ext4.img") || skip "no loop device can be set up"
mount "$loop" "$work/frozen" || skip "the loop device's ext4 cannot be mounted"
mount -t tmpfs -o size=16m tmpfs "$work/full" || skip "no tmpfs can be mounted"

MACGATE_FROZEN_DIR=$work/frozen MACGATE_FULL_DIR=$work/full "$binary" "$@" &
tests_pid=$!
wait "$tests_pid"
status=$?
tests_pid=''
exit "$status"
