#!/usr/bin/env bash
# libmacgate.so exports the entry point and the seven hooks, and nothing else.
#   exports.sh LIBRARY
set -euo pipefail
# shellcheck source=tests/lib/cases.sh
. "$(dirname "$0")/../lib/cases.sh"
command -v nm >/dev/null || skip_all "nm (binutils) is not installed"
expected=$(cat "$(dirname "$0")/../data/exported-names.txt")
actual=$(nm -D --defined-only "$1" | awk '{ print $3 }' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
    echo "exports of $1:"
    echo "$actual"
    exit 1
fi
echo "exports: $(echo "$actual" | tr '\n' ' ')"
