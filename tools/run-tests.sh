#!/usr/bin/env bash
# Builds and runs every test suite, each with warnings as errors:
#   gcc       the unit, command-line and fuzz-replay tests with GCC
#   sanitize  the same with clang under the address and undefined-behaviour sanitizers
#   fuzz      the libFuzzer target from its seeds for FUZZ_SECONDS (default 60)
#   windows   the same tests against Tarvelin.exe under Wine (mingw-w64 and Wine needed)
#   packages  the zip, tarball and Debian package built by CPack, each unpacked, checked
#             by its ecosystem's tools (lintian, desktop-file-validate) and its program
#             run on the bundled example (the tarball's in an empty chroot), compared
#             with the native build
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

# Converts the bundled example with the program `$2` (under `$3`, a launcher such as
# Wine, when given) in the folder `$4`, and compares the output and log with the
# native build's in `$5`.
convertsAsNative() {
    local program=$1 launcher=$2 run=$3 native=$4
    mkdir -p "$run" && cp examples/example.m3 "$run/" &&
        (cd "$run" && $launcher "$program" example.m3 -c >/dev/null </dev/null) &&
        cmp "$run/example_Sc2.m3" "$native/example_Sc2.m3" &&
        diff <(tr -d '\r' <"$run/Logfile.txt") "$native/Logfile.txt"
}

# Names a package, its size and contents, and checks the README names it and that it
# holds the files given after it (paths in the unpacked tree).
describePackage() {
    local package=$1 unpacked=$2
    shift 2
    echo "--- $(basename "$package"): $(stat -c %s "$package") bytes"
    grep -q "$(basename "$package")" README.md || { echo "README does not name $package"; return 1; }
    case $package in
    *.deb) dpkg-deb -c "$package" ;;
    *) cmake -E tar tvf "$package" ;;
    esac
    for file in "$@"; do
        [ -e "$unpacked/$file" ] || { echo "no $file in $package"; return 1; }
    done
}

# The Debian package: lintian passes it with no error or warning and none of the notes
# the 1.0 package had, its desktop entry is valid, and its program converts as native.
checkDeb() {
    local deb=$1 scratch=$2 out
    rm -rf "$scratch/unpacked" && dpkg-deb -x "$deb" "$scratch/unpacked" &&
        dpkg-deb -f "$deb" Package Version Depends Maintainer &&
        describePackage "$deb" "$scratch/unpacked" usr/bin/Tarvelin \
            usr/share/doc/tarvelin/copyright usr/share/doc/tarvelin/changelog.gz \
            usr/share/man/man1/Tarvelin.1.gz usr/share/applications/tarvelin.desktop \
            usr/share/mime/packages/tarvelin.xml || return 1
    echo "lintian:"
    out=$(lintian -I --fail-on error,warning "$deb" 2>&1) || { echo "$out"; return 1; }
    echo "${out:-(nothing)}"
    # hardening-no-fortify-functions may stay: no call here copies into a buffer whose
    # size the compiler knows, so there is nothing for fortification to check.
    if grep -E "bogus-mail-host|no-changelog|no-copyright-file|uncompressed-manual-page|unstripped-binary|hardening-no-bindnow|extra-license-file" <<<"$out"; then
        return 1
    fi
    desktop-file-validate "$scratch/unpacked/usr/share/applications/tarvelin.desktop" &&
        convertsAsNative "$scratch/unpacked/usr/bin/Tarvelin" "" "$scratch/run-deb" "$scratch/native"
}

# The tarball: one top folder, a program linked statically that converts as native
# inside an empty chroot holding nothing but itself and the model (as root; elsewhere
# it runs as it is).
checkTarball() {
    local tgz=$1 scratch=$2 top
    top=$(basename "$tgz" .tar.gz)
    rm -rf "$scratch/unpacked" && mkdir "$scratch/unpacked" && tar xzf "$tgz" -C "$scratch/unpacked" &&
        [ "$(ls "$scratch/unpacked")" = "$top" ] &&
        describePackage "$tgz" "$scratch/unpacked" "$top/bin/Tarvelin" \
            "$top/share/doc/Tarvelin/README.md" "$top/share/doc/Tarvelin/LICENSE" \
            "$top/share/applications/tarvelin.desktop" || return 1
    file "$scratch/unpacked/$top/bin/Tarvelin" | grep -q "statically linked" ||
        { echo "the tarball's program is not statically linked"; return 1; }
    desktop-file-validate "$scratch/unpacked/$top/share/applications/tarvelin.desktop" || return 1
    if [ "$(id -u)" -ne 0 ]; then
        echo "(not root: the program is run outside a chroot)"
        convertsAsNative "$scratch/unpacked/$top/bin/Tarvelin" "" "$scratch/run-tgz" "$scratch/native"
        return
    fi
    mkdir -p "$scratch/chroot" && cp "$scratch/unpacked/$top/bin/Tarvelin" "$scratch/chroot/" &&
        convertsAsNative /Tarvelin "chroot $scratch/chroot" "$scratch/chroot" "$scratch/native" &&
        echo "converted in an empty chroot: $(ls "$scratch/chroot" | tr '\n' ' ')"
}

# The Windows zip: a stripped program, README.txt and LICENSE.txt with CR LF line
# ends, converting as native under Wine.
checkZip() {
    local zip=$1 scratch=$2 doc
    rm -rf "$scratch/unpacked" && mkdir "$scratch/unpacked" &&
        (cd "$scratch/unpacked" && cmake -E tar xf "$root/$zip") &&
        describePackage "$zip" "$scratch/unpacked" Tarvelin.exe README.txt LICENSE.txt || return 1
    for doc in README.txt LICENSE.txt; do
        [ "$(grep -c $'\r$' "$scratch/unpacked/$doc")" -eq "$(wc -l <"$scratch/unpacked/$doc")" ] ||
            { echo "$doc does not end its lines in CR LF"; return 1; }
    done
    if x86_64-w64-mingw32-objdump -h "$scratch/unpacked/Tarvelin.exe" | grep -q debug; then
        echo "Tarvelin.exe carries debug sections"
        return 1
    fi
    convertsAsNative "$scratch/unpacked/Tarvelin.exe" wine "$scratch/run-zip" "$scratch/native"
}

packages() {
    note "suite packages"
    local scratch status=0
    scratch=$(mktemp -d)
    rm -f build-tests/gcc/tarvelin_*.deb build-tests/gcc/Tarvelin-*.tar.gz build-tests/windows/*.zip
    build gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null && (cd build-tests/gcc && cpack >/dev/null) &&
        mkdir -p "$scratch/native" && cp examples/example.m3 "$scratch/native/" &&
        (cd "$scratch/native" && "$root/build-tests/gcc/Tarvelin" example.m3 -c >/dev/null) ||
        status=1
    local deb tgz zip
    deb=$(ls build-tests/gcc/tarvelin_*_amd64.deb 2>/dev/null)
    tgz=$(ls build-tests/gcc/Tarvelin-*-Linux.tar.gz 2>/dev/null)
    [ $status -eq 0 ] && checkDeb "$deb" "$scratch" || status=1
    [ $status -eq 0 ] && checkTarball "$tgz" "$scratch" || status=1
    if [ $status -eq 0 ] && [ -n "$mingw" ]; then
        startWine
        build windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DTARVELIN_BENCH=OFF \
            >/dev/null && (cd build-tests/windows && cpack >/dev/null) &&
            zip=$(ls build-tests/windows/Tarvelin-*-win64.zip) &&
            checkZip "$zip" "$scratch" || status=1
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

if command -v cpack >/dev/null 2>&1 && command -v dpkg-shlibdeps >/dev/null 2>&1 &&
    command -v lintian >/dev/null 2>&1 && command -v desktop-file-validate >/dev/null 2>&1; then
    wants packages && packages
else
    skipped+=("packages: needs cpack (cmake), dpkg-shlibdeps (dpkg-dev), lintian and desktop-file-validate (desktop-file-utils)")
fi

note "summary"
for s in "${skipped[@]}"; do echo "skipped $s"; done
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
