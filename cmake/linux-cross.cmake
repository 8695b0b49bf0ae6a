# Cross-compiles for another Linux architecture with Debian's cross compiler for the
# target triplet TARVELIN_TRIPLET (set by the file that includes this one); the
# programs and the tests run under qemu-user, given the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${TARVELIN_TRIPLET})
set(CMAKE_C_COMPILER ${TARVELIN_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARVELIN_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVELIN_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(TARVELIN_QEMU qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
if(TARVELIN_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARVELIN_QEMU} -L /usr/${TARVELIN_TRIPLET})
endif()
