# 64-bit ARM Linux (Debian's arm64), with g++-aarch64-linux-gnu and qemu-user-static.
set(TARVELIN_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
