#!/usr/bin/env bash
# libmacgate.so exports the entry point and the seven hooks, and nothing else.
#   exports.sh LIBRARY
set -euo pipefail
command -v nm >/dev/null || { echo "SKIP: nm (binutils) is not installed"; exit 77; }
expected=$(cat "$(dirname "$0")/../data/exported-names.txt")
actual=$(nm -D --defined-only "$1" | awk '{ print $3 }' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    echo "exports of $1:"
    echo "$actual"
    exit 1
fi
echo "exports: $(echo "$actual" | tr '\n' ' ')"
