#!/usr/bin/env bash
# Builds macgate in every configuration and runs every test. Exits non-zero
# as soon as a build or a test fails. The last line counts the steps that
# passed, failed and skipped, then the Wine cases and any tests that skipped,
# with what made them skip.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
steps=0 skipped=0 case_counts=''
scratch=$(mktemp -d)

# Each step exits the script on failure, so reaching the next one means the
# previous step passed; a failure ends with the step that failed. Each step's
# time is printed when it ends, and all of them again at the end.
step_name='' step_started=$SECONDS script_started=$SECONDS step_times=''
step_done() {
    [ -n "$step_name" ] || return 0
    local line
    line=$(printf '%4d s  %s' $((SECONDS - step_started)) "$step_name")
    printf -- '---- %s\n' "$line"
    step_times+="$line"$'\n'
    step_name=''
}
step() {
    step_done
    steps=$((steps + 1))
    step_name=$* step_started=$SECONDS
    printf '\n==== %s ====\n' "$*"
}

# skip REASON: the current step cannot run here.
skip() {
    echo "SKIPPED: $*"
    skipped=$((skipped + 1))
}

# count_cases NAME PASSED SKIPPED [REASONS]: a step's own cases, for the last line.
count_cases() {
    case_counts+="; $1: $2 passed, $3 skipped${4:+ ($4)}"
}

summary() {
    local status=$? failed=0
    [ "$status" -eq 0 ] || failed=1
    step_done
    # Cut short: the roots being made are left for the next run to make again.
    [ -z "${roots_pid:-}" ] || kill "$roots_pid" 2>/dev/null || true
    rm -rf "$scratch"
    printf '\n==== Time per step ====\n%s%4d s  in all\n' "$step_times" $((SECONDS - script_started))
    [ "$status" -ne 0 ] || printf '\n==== All builds and tests passed ====\n'
    echo "steps: $((steps - skipped - failed)) passed, $failed failed, $skipped skipped$case_counts"
}
trap summary EXIT

# each_or_skip WHAT COMMAND... -- ITEM...: runs COMMAND ITEM for each ITEM.
# An item whose command exits 77 skips (the command said why), and the step
# names WHAT and those items once; any other failure ends the run.
each_or_skip() {
    local what=$1 command=() item status skipped=()
    shift
    while [ "$1" != -- ]; do
        command+=("$1")
        shift
    done
    shift
    for item in "$@"; do
        status=0
        "${command[@]}" "$item" || status=$?
        case $status in
            0) ;;
            77) skipped+=("$item") ;;
            *) exit "$status" ;;
        esac
    done
    [ ${#skipped[@]} -eq 0 ] || skip "$what ${skipped[*]} (reasons above)"
}

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j "$jobs"
}

# run_tests PRESET [COUNTED]: runs the preset's tests; any that skipped are
# named in the last line. With COUNTED, the last line counts all of them
# under that name.
run_tests() {
    local log="$scratch/ctest-$1" total names count=0
    ctest --preset "$1" -j "$jobs" | tee "$log"
    names=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log")
    [ -n "$names" ] || [ -n "${2:-}" ] || return 0
    total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log")
    [ -z "$names" ] || count=$(wc -l <<<"$names")
    count_cases "${2:-$1 tests}" $((total - count)) "$count" "$(paste -sd, <<<"$names" | sed 's/,/, /g')"
}

scripts/release-root.sh >"$scratch/roots.log" 2>&1 &
roots_pid=$!

step "Windows x86 and x64 cross builds"
mingw=yes
for compiler in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
    command -v "$compiler" >/dev/null || mingw=no
done
if [ "$mingw" = yes ]; then
    build mingw-x86
    build mingw-x64
else
    skip "mingw-w64 is not installed (scripts/install-deps.sh installs it)"
fi

step "Linux debug build: all tests"
build debug
run_tests debug
[ -f build/debug/kea/libdhcp_macgate.so ] ||
    count_cases "Kea load tests" 0 1 "kea-dev is not installed, so the Kea hooks library is not built"

# The same code with 4-byte pointers and size_t, which the Windows x86 DLL
# has: under Wine only where wine32 installs, so here always. About two
# minutes; the kernel may run the tests itself or leave them to qemu-i386.
step "Linux 32-bit x86 build: unit and load tests"
if ! echo 'int main() {}' | g++ -m32 -x c++ - -o "$scratch/m32" 2>/dev/null; then
    skip "g++ -m32 cannot build: g++-multilib is not installed (scripts/install-deps.sh installs it)"
    count_cases "32-bit tests" 0 1 "g++-multilib is not installed"
elif ! "$scratch/m32" 2>/dev/null && ! command -v qemu-i386 >/dev/null; then
    skip "this kernel runs no 32-bit programs and qemu-user is not installed"
    count_cases "32-bit tests" 0 1 "the kernel runs no 32-bit programs and qemu-user is not installed"
else
    build linux-x86
    run_tests linux-x86 "32-bit tests"
fi

step "Windows x86 and x64 DLLs under Wine"
if [ "$mingw" = yes ]; then
    MACGATE_WINE_COUNTS="$scratch/wine" timeout 1800 tests/wine/run.sh
    for arch in x86 x64; do
        read -r wine_passed wine_skipped wine_reasons <"$scratch/wine.$arch"
        count_cases "Wine $arch" "$wine_passed" "$wine_skipped" "${wine_reasons//"$arch: "/}"
    done
else
    skip "the Windows builds are not made here (mingw-w64 is not installed)"
fi

step "Kea hooks library: end to end with real DHCPv4 and DHCPv6 clients (debug build)"
# The 30-second run under perfdhcp, with a list of 100,000 entries reloaded
# every 100 ms, runs once: in the package checks, with the optimised library.
kea_e2e() {
    MACGATE_E2E_SKIP_LOAD=1 timeout 600 "tests/kea/$1" build/debug/kea/libdhcp_macgate.so
}
each_or_skip "Kea end-to-end tests" kea_e2e -- e2e.sh e2e6.sh

# The roots of Debian 13 (Kea 2.6) and 14 (Kea 3.0), where their packages
# are built and used: a few minutes each the first time, mostly downloading,
# so they are made while the builds and tests above run; then reused.
step "Debian 13 and 14 roots in build/roots (made once, beside the steps above)"
release_roots=yes
roots_status=0
wait "$roots_pid" || roots_status=$?
roots_pid=''
cat "$scratch/roots.log"
case $roots_status in
    0) ;;
    77) skip "the Debian 13 and 14 roots cannot be made here (reason above)"; release_roots=no ;;
    # A mirror half-way through a sync fails debootstrap now and then: the
    # releases' checks skip, and say so, as the other steps do.
    *) skip "the Debian 13 and 14 roots could not be made (exit $roots_status, log above)"; release_roots=no ;;
esac

step "Release packages: built twice alike, then used as shipped"
if [ "$mingw" != yes ] || ! command -v zip >/dev/null || ! command -v unzip >/dev/null ||
    ! command -v dpkg-shlibdeps >/dev/null || [ ! -f build/debug/kea/libdhcp_macgate.so ]; then
    skip "mingw-w64, zip, unzip, dpkg-dev or kea-dev is not installed (scripts/install-deps.sh installs them)"
else
    # Without the roots, only this release's package is built and checked.
    [ "$release_roots" = yes ] || export MACGATE_RELEASES=''
    scripts/package.sh
    MACGATE_PACKAGE_COUNTS="$scratch/package" tests/package/run.sh
    read -r package_passed package_skipped package_reasons <"$scratch/package"
    count_cases "package checks" "$package_passed" "$package_skipped" "$package_reasons"
fi

step "Kea 2.6 and 3.0: each release's package installed, checked and filtering in its root"
if [ "$release_roots" != yes ] || [ ! -f dist/SHA256SUMS ]; then
    skip "no Debian 13 and 14 roots, or no packages"
else
    # shellcheck disable=SC2046 # one word per release
    each_or_skip "the checks in the roots of" timeout 600 tests/kea/releases.sh -- \
        $(scripts/release-root.sh --list)
fi

# root_build RELEASE CC CXX: the package preset at -O3 with the compilers
# CC and CXX of the root of RELEASE, warnings as errors; its log's tail on
# failure.
root_build() {
    local dir=build/$1/O3-$2
    mkdir -p "build/$1"
    scripts/release-root.sh --run "$1" sh -c "cd /src && $3 --version | head -n 1 &&
        cmake --preset package -B $dir -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_C_COMPILER=$2 -DCMAKE_CXX_COMPILER=$3 >$dir.log 2>&1 &&
        cmake --build $dir -j $jobs >>$dir.log 2>&1" ||
        { tail -n 40 "$dir.log"; echo "$1: the -O3 build with $3 failed (log: $dir.log)"; exit 1; }
}

step "Kea 2.6 and 3.0: what the package ships, at -O3 with GCC and with clang, in each root"
if [ "$release_roots" != yes ]; then
    skip "no Debian 13 and 14 roots"
else
    for release in $(scripts/release-root.sh --list); do
        root_build "$release" gcc g++
        root_build "$release" clang clang++
    done
fi

step "Address and undefined-behaviour sanitizers: all tests"
build asan
run_tests asan

step "Thread sanitizer: concurrency tests"
build tsan
run_tests tsan

# fuzz TARGET [SEEDS...]: runs build/fuzz/fuzz/TARGET_fuzz for 30 seconds on
# its corpus in fuzz/corpus/TARGET and the SEEDS folders (read only; new
# inputs go to a scratch folder). A crash, leak, hang or sanitizer report fails.
fuzz() {
    local target=$1 options=() seeds=()
    shift
    mkdir -p "$scratch/$target" build/fuzz/artifacts
    [ ! -f "fuzz/$target.dict" ] || options+=("-dict=fuzz/$target.dict")
    [ ! -d "fuzz/corpus/$target" ] || seeds+=("fuzz/corpus/$target")
    build/fuzz/fuzz/"$target"_fuzz -max_total_time=30 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="build/fuzz/artifacts/$target-" -print_final_stats=1 "${options[@]}" \
        "$scratch/$target" "${seeds[@]}" "$@" ||
        { echo "${target}_fuzz failed (crash, leak, hang or sanitizer report): see build/fuzz/artifacts/"; exit 1; }
}

step "Fuzzing every reader of outside data, 30 seconds each"
probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null; then
    skip "clang++ with libFuzzer is not installed (scripts/install-deps.sh installs it)"
else
    build fuzz
    fuzz list_file tests/data/list
    fuzz capture examples
    fuzz registry
    fuzz import tests/data/tool
    fuzz list_check tests/data/list tests/data/tool
    # The Windows builds' own libraries seed the reader of library files.
    mkdir -p "$scratch/pe_file-seeds"
    for arch in x86 x64; do
        [ ! -f "build/mingw-$arch/macgate.dll" ] ||
            cp "build/mingw-$arch/macgate.dll" "$scratch/pe_file-seeds/macgate-$arch.dll"
    done
    fuzz pe_file "$scratch/pe_file-seeds"
    fuzz json
fi
