#!/usr/bin/env bash
# Builds and runs every test suite, each with warnings as errors:
#   gcc       the unit, command-line and fuzz-replay tests with GCC
#   sanitize  the same with clang under the address and undefined-behaviour sanitizers
#   fuzz      the libFuzzer target from its seeds for FUZZ_SECONDS (default 60)
#   windows   the same tests against Tarvelin.exe under Wine (mingw-w64 and Wine needed)
# A suite whose tools are missing is skipped and said so; any failure fails the run.
# Name suites as arguments to run only those.
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
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(gcc sanitize fuzz windows)
wants() { [[ " ${wanted[*]} " == *" $1 "* ]]; }

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
    # One wineserver for the whole suite, started and the prefix booted with the
    # output streams closed: Wine's services outlive each test and would otherwise
    # hold ctest's pipes open.
    export WINEDEBUG=-all WINEPREFIX="$root/build-tests/wineprefix"
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    wineserver -p >/dev/null 2>&1 </dev/null
    wine wineboot.exe >/dev/null 2>&1 </dev/null
    suite windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DTARVELIN_BENCH=OFF
    wineserver -k >/dev/null 2>&1 </dev/null
    trap - EXIT
}

wants gcc && suite gcc -DCMAKE_CXX_COMPILER=g++
if command -v clang++ >/dev/null 2>&1; then
    wants sanitize && suite sanitize -DCMAKE_CXX_COMPILER=clang++ -DTARVELIN_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    wants fuzz && fuzz
else
    skipped+=("sanitize and fuzz: clang++ is not installed")
fi
if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
    { command -v wine64 >/dev/null 2>&1 || command -v wine >/dev/null 2>&1; }; then
    wants windows && windows
else
    skipped+=("windows: needs x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64) and wine")
fi

note "summary"
for s in "${skipped[@]}"; do echo "skipped $s"; done
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
