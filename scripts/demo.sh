#!/usr/bin/env bash
# Builds macgate and runs it on the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
echo "macgate built: build/release/libmacgate.so"
