#!/usr/bin/env bash
# Builds and runs every test suite, each with warnings as errors:
#   gcc       the unit, command-line and fuzz-replay tests with GCC
#   sanitize  the same with clang under the address and undefined-behaviour sanitizers
#   fuzz      the libFuzzer target from its seeds for FUZZ_SECONDS (default 60)
#   windows   the same tests against Tarvelin.exe under Wine (mingw-w64 and Wine needed)
# A suite whose tools are missing is skipped and said so; any failure fails the run.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-60}
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
passed=0
failed=0
skipped=()

note() { printf '\n=== %s\n' "$*"; }
result() { if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); note "FAILED: $2"; fi; }

build() { # name, cmake options...
    local dir=build-tests/$1
    shift
    cmake -S . -B "$dir" "${generator[@]}" -DTARVELIN_WERROR=ON "$@" >/dev/null &&
        cmake --build "$dir" -j "$jobs"
}

suite() { # name, cmake options...
    local name=$1
    note "suite $name"
    build "$@" && ctest --test-dir "build-tests/$name" --output-on-failure
    result $? "$name"
}

fuzz() {
    note "suite fuzz (${fuzz_seconds}s)"
    local work
    work=$(mktemp -d)
    cp fuzz/corpus/* fuzz/crashers/* examples/*.m3 "$work"/
    build fuzz -DCMAKE_CXX_COMPILER=clang++ -DTARVELIN_FUZZ=ON -DTARVELIN_TESTS=OFF \
        -DTARVELIN_BENCH=OFF &&
        (cd build-tests/fuzz && "$root/build-tests/fuzz/fuzz/fuzz_convert" -dict="$root/fuzz/m3.dict" \
            -max_total_time="$fuzz_seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=10 \
            -print_final_stats=1 "$work" 2>&1 | grep -E '^(stat::|Done|==|SUMMARY|property)|ERROR')
    local status=${PIPESTATUS[0]}
    [ -n "$(ls build-tests/fuzz/crash-* build-tests/fuzz/leak-* build-tests/fuzz/timeout-* \
        build-tests/fuzz/oom-* 2>/dev/null)" ] && status=1
    rm -rf "$work"
    result "$status" fuzz
}

windows() {
    note "suite windows"
    WINEDEBUG=-all WINEPREFIX="$root/build-tests/wineprefix" wineserver -p 2>/dev/null
    WINEDEBUG=-all WINEPREFIX="$root/build-tests/wineprefix" suite windows \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DTARVELIN_BENCH=OFF
    WINEPREFIX="$root/build-tests/wineprefix" wineserver -k 2>/dev/null
}

suite gcc -DCMAKE_CXX_COMPILER=g++
if command -v clang++ >/dev/null 2>&1; then
    suite sanitize -DCMAKE_CXX_COMPILER=clang++ -DTARVELIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fuzz
else
    skipped+=("sanitize and fuzz: clang++ is not installed")
fi
if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
    { command -v wine64 >/dev/null 2>&1 || command -v wine >/dev/null 2>&1; }; then
    windows
else
    skipped+=("windows: needs x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64) and wine64")
fi

note "summary"
for s in "${skipped[@]}"; do echo "skipped $s"; done
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
