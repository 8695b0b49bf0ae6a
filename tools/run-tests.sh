#!/usr/bin/env bash
# Builds and runs every test suite, each with warnings as errors:
#   gcc       the unit, command-line and fuzz-replay tests with GCC
#   sanitize  the same with clang under the address and undefined-behaviour sanitizers
#   fuzz      the libFuzzer target from its seeds for FUZZ_SECONDS (default 60)
#   windows   the same tests against Tarvelin.exe under Wine (mingw-w64 and Wine needed)
#   cross     the same tests built for arm64 and s390x (big-endian) with Debian's cross
#             compilers and run under qemu-user, and every bundled model converted by
#             each, compared byte for byte with the native build
#   packages  the zip, the tarballs and the Debian packages (amd64 and arm64) built by
#             CPack, each unpacked, checked by its ecosystem's tools (lintian,
#             desktop-file-validate) and its program run on the bundled example (the
#             tarballs' in an empty chroot), compared with the native build
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
[ ${#wanted[@]} -gt 0 ] || wanted=(gcc sanitize fuzz windows cross packages)
# The oldest C library of a release the README names for the deb: Ubuntu 22.04's.
oldestGlibc=2.35
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

# The emulator that runs a program built for the triplet `$1`, with its libraries.
emulatorFor() {
    echo "qemu-${1%%-*}-static -L /usr/$1"
}

# Converts the bundled example, the fuzz seeds and the inputs that must be refused with
# the program `$1` (under the launcher `$2`) and with the native build, and compares
# the outputs, logs, reports and statuses byte for byte.
convertsAllAsNative() {
    local program=$1 launcher=$2 scratch input name side count=0 status=0
    scratch=$(mktemp -d)
    for input in examples/*.m3 fuzz/corpus/*.m3 fuzz/crashers/*.m3; do
        name=$(basename "$input")
        for side in native cross; do
            mkdir -p "$scratch/$side" && cp "$input" "$scratch/$side/"
        done
        (cd "$scratch/native" && "$root/build-tests/gcc/Tarvelin" "$name" -c >report; echo $? >>report)
        (cd "$scratch/cross" && $launcher "$program" "$name" -c >report; echo $? >>report)
        diff -r "$scratch/native" "$scratch/cross" || status=1
        rm -rf "${scratch:?}/native" "$scratch/cross"
        count=$((count + 1))
    done
    rm -rf "$scratch"
    echo "$count models converted or refused alike"
    return $status
}

# The tests built for another Linux architecture and run under qemu-user, then every
# bundled model converted by its program as by the native one.
cross() {
    note "suite cross"
    local triplet arch status=0
    build gcc -DCMAKE_CXX_COMPILER=g++ >/dev/null || status=1
    for triplet in aarch64-linux-gnu s390x-linux-gnu; do
        arch=${triplet%%-*}
        note "cross: $arch"
        build "cross-$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triplet.cmake" \
            -DTARVELIN_BENCH=OFF &&
            ctest --test-dir "build-tests/cross-$arch" --output-on-failure &&
            convertsAllAsNative "$root/build-tests/cross-$arch/Tarvelin" "$(emulatorFor "$triplet")" ||
            status=1
    done
    result "$status" cross
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
    local deb=$1 scratch=$2 launcher=${3:-} out needed
    rm -rf "$scratch/unpacked" && dpkg-deb -x "$deb" "$scratch/unpacked" &&
        dpkg-deb -f "$deb" Package Version Architecture Depends Maintainer &&
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
    # It installs on every release the README names: it asks for no newer C library than
    # the oldest of them has, and its program needs no newer one than it asks for.
    needed=$(readelf --dyn-syms -W "$scratch/unpacked/usr/bin/Tarvelin" | grep -o 'GLIBC_[0-9.]*' |
        sed 's/GLIBC_//' | sort -uV | tail -1)
    if [ "$(dpkg-deb -f "$deb" Depends)" != "libc6 (>= $needed)" ] ||
        dpkg --compare-versions "$needed" gt "$oldestGlibc"; then
        echo "the program needs glibc $needed; the README's oldest release has $oldestGlibc"
        return 1
    fi
    desktop-file-validate "$scratch/unpacked/usr/share/applications/tarvelin.desktop" &&
        convertsAsNative "$scratch/unpacked/usr/bin/Tarvelin" "$launcher" "$scratch/run-deb" \
            "$scratch/native"
}

# The tarball: one top folder, a program linked statically that converts as native
# inside an empty chroot holding nothing but itself and the model (as root; elsewhere
# it runs as it is).
checkTarball() {
    local tgz=$1 scratch=$2 emulator=${3:-} top
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
        convertsAsNative "$scratch/unpacked/$top/bin/Tarvelin" "$emulator" "$scratch/run-tgz" \
            "$scratch/native"
        return
    fi
    # A program for another architecture runs there under its emulator, itself static.
    local launcher="chroot $scratch/chroot"
    rm -rf "$scratch/chroot" && mkdir -p "$scratch/chroot" &&
        cp "$scratch/unpacked/$top/bin/Tarvelin" "$scratch/chroot/" || return 1
    if [ -n "$emulator" ]; then
        cp "$(command -v "${emulator%% *}")" "$scratch/chroot/qemu" && launcher="$launcher /qemu" ||
            return 1
    fi
    convertsAsNative /Tarvelin "$launcher" "$scratch/chroot" "$scratch/native" &&
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
    if [ $status -eq 0 ] && [ -n "$crossTools" ]; then
        local emulator
        emulator=$(emulatorFor aarch64-linux-gnu)
        rm -f build-tests/cross-aarch64/tarvelin_*.deb build-tests/cross-aarch64/Tarvelin-*.tar.gz
        build cross-aarch64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
            -DTARVELIN_BENCH=OFF >/dev/null && (cd build-tests/cross-aarch64 && cpack >/dev/null) &&
            checkDeb "$(ls build-tests/cross-aarch64/tarvelin_*_arm64.deb)" "$scratch" "$emulator" &&
            checkTarball "$(ls build-tests/cross-aarch64/Tarvelin-*-Linux-aarch64.tar.gz)" \
                "$scratch" "$emulator" || status=1
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

crossTools=
if command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 && command -v s390x-linux-gnu-g++ >/dev/null 2>&1 &&
    command -v qemu-aarch64-static >/dev/null 2>&1 && command -v qemu-s390x-static >/dev/null 2>&1; then
    crossTools=yes
    wants cross && cross
else
    skipped+=("cross: needs g++-aarch64-linux-gnu, g++-s390x-linux-gnu and qemu-user-static")
fi

if command -v cpack >/dev/null 2>&1 && command -v dpkg-deb >/dev/null 2>&1 &&
    command -v lintian >/dev/null 2>&1 && command -v desktop-file-validate >/dev/null 2>&1; then
    wants packages && packages
else
    skipped+=("packages: needs cpack (cmake), dpkg-deb (dpkg), lintian and desktop-file-validate (desktop-file-utils)")
fi

note "summary"
for s in "${skipped[@]}"; do echo "skipped $s"; done
echo "suites: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
