#!/bin/sh
# Runs a 32-bit x86 Linux program (the linux-x86 preset's tests): directly
# where the kernel runs such programs, else under qemu-i386 (qemu-user), as
# on kernels built without 32-bit support.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    exec "$@"
fi
exec qemu-i386 "$@"
