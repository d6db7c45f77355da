#!/usr/bin/env bash
# Builds macgate in every configuration and runs every test. Exits non-zero
# as soon as a build or a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
step() { printf '\n==== %s ====\n' "$*"; }

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
}

step "Windows x86 and x64 cross builds"
build mingw-x86
build mingw-x64

step "Linux debug build: all tests"
build debug
ctest --preset debug -j "$jobs"

step "Windows x86 and x64 DLLs under Wine"
timeout 1800 tests/wine/run.sh

step "Address and undefined-behaviour sanitizers: all tests"
build asan
ctest --preset asan -j "$jobs"

step "Thread sanitizer: concurrency tests"
build tsan
ctest --preset tsan -j "$jobs"

step "All builds and tests passed"
