#!/bin/sh
# Installs what Tarvelin needs and is not yet installed:
#   tools/setup.sh build   cmake, make and a C++ compiler, to build the program
#   tools/setup.sh test    everything the test suites use (tools/run-tests.sh)
# On Debian and its derivatives it uses apt-get, as root or through sudo. Elsewhere,
# or where neither is allowed, it names what to install and stops.
set -eu

case ${1:-build} in
build) packages="cmake make g++" ;;
test)
    packages="cmake make ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest
              g++-mingw-w64-x86-64 wine wine64 g++-aarch64-linux-gnu g++-s390x-linux-gnu
              qemu-user-static dpkg-dev file lintian desktop-file-utils"
    ;;
*)
    echo "usage: tools/setup.sh [build|test]"
    exit 2
    ;;
esac

if ! command -v dpkg >/dev/null 2>&1; then
    if [ "${1:-build}" = build ] && ! { command -v cmake && command -v c++; } >/dev/null 2>&1; then
        echo "Building Tarvelin needs cmake (3.16 or later) and a C++17 compiler; please install them."
        exit 1
    fi
    exit 0
fi

missing=
for package in $packages; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    run=
elif command -v sudo >/dev/null 2>&1; then
    run=sudo
else
    echo "Tarvelin needs these packages:$missing"
    echo "Install them as root (apt-get install$missing) and run the command again."
    exit 1
fi
echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
$run apt-get update -qq
# shellcheck disable=SC2086
$run apt-get install -y -qq $missing >/dev/null
