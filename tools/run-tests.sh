#!/usr/bin/env bash
# Builds and runs every test suite, each with warnings as errors:
#   gcc       the unit, command-line and fuzz-replay tests with GCC
#   sanitize  the same with clang under the address and undefined-behaviour sanitizers
#   fuzz      the libFuzzer target from its seeds for FUZZ_SECONDS (default 60)
#   windows   the same tests against Tarvelin.exe under Wine (mingw-w64 and Wine needed)
#   packages  the zip, tarball and Debian package built by CPack, each unpacked and its
#             program run on the bundled example, compared with the native build
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
[ ${#wanted[@]} -gt 0 ] || wanted=(gcc sanitize fuzz windows packages)
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

# One wineserver for all that runs under Wine, started and the prefix booted with the
# output streams closed: Wine's services outlive each program and would otherwise hold
# ctest's pipes open.
startWine() {
    export WINEDEBUG=-all WINEPREFIX="$root/build-tests/wineprefix"
    trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
    wineserver -p >/dev/null 2>&1 </dev/null
    wine wineboot.exe >/dev/null 2>&1 </dev/null
}
stopWine() {
    wineserver -k >/dev/null 2>&1 </dev/null
    trap - EXIT
}

windows() {
    startWine
    suite windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DTARVELIN_BENCH=OFF
    stopWine
}

# Converts the bundled example with the program `$2` unpacked from package `$1` (under
# `$3`, Wine, when given), and compares the output and log with the native build's.
checkPackage() {
    local package=$1 program=$2 launcher=${3:-} scratch=$4
    echo "--- $(basename "$package"): $(du -k "$package" | cut -f1) KiB"
    grep -q "$(basename "$package")" README.md || { echo "README does not name $package"; return 1; }
    case $package in
    *.deb) dpkg-deb -c "$package" ;;
    *) cmake -E tar tvf "$package" ;;
    esac
    for doc in LICENSE README.md; do
        [ -n "$(find "$scratch/unpacked" -name "$doc")" ] || { echo "no $doc in $package"; return 1; }
    done
    mkdir -p "$scratch/run" && cp examples/example.m3 "$scratch/run/" &&
        (cd "$scratch/run" && $launcher "$program" example.m3 -c >/dev/null </dev/null) &&
        cmp "$scratch/run/example_Sc2.m3" "$scratch/native/example_Sc2.m3" &&
        diff <(tr -d '\r' <"$scratch/run/Logfile.txt") "$scratch/native/Logfile.txt"
}

packages() {
    note "suite packages"
    local scratch status=0
    scratch=$(mktemp -d)
    build gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null && (cd build-tests/gcc && cpack >/dev/null) &&
        mkdir -p "$scratch/native" && cp examples/example.m3 "$scratch/native/" &&
        (cd "$scratch/native" && "$root/build-tests/gcc/Tarvelin" example.m3 -c >/dev/null) ||
        status=1
    local deb tgz zip
    deb=$(ls build-tests/gcc/tarvelin_*_amd64.deb 2>/dev/null)
    tgz=$(ls build-tests/gcc/Tarvelin-*-Linux.tar.gz 2>/dev/null)
    [ $status -eq 0 ] && dpkg-deb -f "$deb" Package Version Depends Description &&
        rm -rf "$scratch/unpacked" && dpkg-deb -x "$deb" "$scratch/unpacked" &&
        checkPackage "$deb" "$scratch/unpacked/usr/bin/Tarvelin" "" "$scratch" || status=1
    [ $status -eq 0 ] && rm -rf "$scratch/unpacked" "$scratch/run" && mkdir "$scratch/unpacked" &&
        tar xzf "$tgz" -C "$scratch/unpacked" &&
        checkPackage "$tgz" "$scratch/unpacked/bin/Tarvelin" "" "$scratch" || status=1
    if [ $status -eq 0 ] && [ -n "$mingw" ]; then
        startWine
        build windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DTARVELIN_BENCH=OFF \
            >/dev/null && (cd build-tests/windows && cpack >/dev/null) &&
            zip=$(ls build-tests/windows/Tarvelin-*-win64.zip) &&
            rm -rf "$scratch/unpacked" "$scratch/run" && mkdir "$scratch/unpacked" &&
            (cd "$scratch/unpacked" && cmake -E tar xf "$root/$zip") &&
            checkPackage "$zip" "$scratch/unpacked/Tarvelin.exe" wine "$scratch" || status=1
        stopWine
    fi
    rm -rf "$scratch"
    result "$status" packages
}

wants gcc && suite gcc -DCMAKE_CXX_COMPILER=g++
if command -v clang++ >/dev/null 2>&1; then
    wants sanitize && suite sanitize -DCMAKE_CXX_COMPILER=clang++ -DTARVELIN_SANITIZE=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo
    wants fuzz && fuzz
else
    skipped+=("sanitize and fuzz: clang++ is not installed")
fi
mingw=
if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 &&
    { command -v wine64 >/dev/null 2>&1 || command -v wine >/dev/null 2>&1; }; then
    mingw=yes
    wants windows && windows
else
    skipped+=("windows: needs x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64) and wine")
fi

if command -v cpack >/dev/null 2>&1 && command -v dpkg-deb >/dev/null 2>&1 &&
    command -v dpkg-shlibdeps >/dev/null 2>&1; then
    wants packages && packages
else
    skipped+=("packages: needs cpack (cmake), dpkg-deb and dpkg-shlibdeps (dpkg-dev)")
fi

note "summary"
for s in "${skipped[@]}"; do echo "skipped $s"; done
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
