# Installing and packaging the program: the executable, its manual page, the README and
# the licence. The Windows zip keeps everything at the top of the archive, ready to be
# unpacked anywhere and have files dropped onto Tarvelin.exe.
include(GNUInstallDirs)

if(WIN32)
  set(TARVELIN_BIN_DIR .)
  set(TARVELIN_DOC_DIR .)
else()
  set(TARVELIN_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(TARVELIN_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  configure_file(man/Tarvelin.1.in Tarvelin.1 @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Tarvelin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(TARGETS Tarvelin RUNTIME DESTINATION ${TARVELIN_BIN_DIR})
install(FILES README.md LICENSE DESTINATION ${TARVELIN_DOC_DIR})

set(CPACK_PACKAGE_NAME Tarvelin)
set(CPACK_PACKAGE_VENDOR "The Tarvelin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME tarvelin)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Tarvelin developers <tarvelin@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarvelin reads an M3 model file saved by a newer modelling tool and
writes beside it a copy whose blocks are rewritten into the lower structure
versions an older toolchain reads, realigned to 16 bytes. It also writes
Logfile.txt, listing every block, and prints the model's strings.")
endif()
include(CPack)
