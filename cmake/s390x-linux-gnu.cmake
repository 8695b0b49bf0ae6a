# IBM Z Linux, big-endian (Debian's s390x), with g++-s390x-linux-gnu and qemu-user-static.
set(TARVELIN_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
