# Installing and packaging the program.
#
# A plain `cmake --install` puts the program, its manual page, the README and the
# licence, the desktop entry and the M3 type under the prefix. The packages take
# components of their own, which a plain install leaves out:
#   deb      the program as built, hardened and stripped, with the documents Debian
#            wants under /usr/share/doc/tarvelin (copyright, changelog.gz)
#   tarball  the program linked statically, so it runs on any Linux of its architecture
# Built for another architecture (a cross build), the packages are named for it:
# Tarvelin-<version>-Linux-aarch64.tar.gz and tarvelin_<version>_arm64.deb.
# The Windows zip keeps the program, README.txt and LICENSE.txt (CR LF) at the top of
# the archive, ready to be unpacked anywhere and have files dropped onto Tarvelin.exe.
include(GNUInstallDirs)

set(TARVELIN_MAINTAINER "The Tarvelin developers <tarvelin@example.org>"
    CACHE STRING "The packages' maintainer, name and address")

set(CPACK_PACKAGE_NAME Tarvelin)
set(CPACK_PACKAGE_VENDOR "The Tarvelin developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS README.md LICENSE)
  foreach(doc README.md LICENSE)
    file(READ ${PROJECT_SOURCE_DIR}/${doc} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    get_filename_component(stem ${doc} NAME_WE)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${stem}.txt "${text}")
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${stem}.txt DESTINATION .)
  endforeach()
  install(TARGETS Tarvelin RUNTIME DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  include(CPack)
  return()
endif()

# The manual page, and Debian's changelog and copyright, with the version and the
# maintainer filled in; gzipped for the package as Debian wants them.
configure_file(man/Tarvelin.1.in Tarvelin.1 @ONLY)
configure_file(packaging/changelog.Debian.in changelog @ONLY)
configure_file(packaging/copyright.in copyright @ONLY)
find_program(GZIP_PROGRAM gzip REQUIRED)
foreach(page Tarvelin.1 changelog)
  add_custom_command(OUTPUT ${page}.gz
                     COMMAND ${GZIP_PROGRAM} -9n -c ${page} > ${page}.gz
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${page}
                     WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endforeach()
add_custom_target(package_documents ALL DEPENDS Tarvelin.1.gz changelog.gz)

set(desktop ${PROJECT_SOURCE_DIR}/packaging/tarvelin.desktop)
set(mimeType ${PROJECT_SOURCE_DIR}/packaging/tarvelin-m3.xml)
set(manPage ${CMAKE_CURRENT_BINARY_DIR}/Tarvelin.1.gz)
set(shareDir ${CMAKE_INSTALL_DATADIR})

# What every Linux install has besides the program and its documents.
function(tarvelin_install_shared)
  install(FILES ${manPage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 ${ARGN})
  install(FILES ${desktop} DESTINATION ${shareDir}/applications ${ARGN})
  install(FILES ${mimeType} DESTINATION ${shareDir}/mime/packages RENAME tarvelin.xml ${ARGN})
endfunction()

install(TARGETS Tarvelin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
tarvelin_install_shared()

install(TARGETS Tarvelin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT deb EXCLUDE_FROM_ALL)
install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${shareDir}/doc/tarvelin COMPONENT deb EXCLUDE_FROM_ALL)
tarvelin_install_shared(COMPONENT deb EXCLUDE_FROM_ALL)

if(TARGET Tarvelin-static)
  install(PROGRAMS $<TARGET_FILE:Tarvelin-static> DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME Tarvelin COMPONENT tarball EXCLUDE_FROM_ALL)
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT tarball EXCLUDE_FROM_ALL)
  tarvelin_install_shared(COMPONENT tarball EXCLUDE_FROM_ALL)
  set(CPACK_GENERATOR TGZ DEB)
else()
  set(CPACK_GENERATOR DEB)
endif()

# Each generator packs its own component (see packaging/cpack-options.cmake).
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack-options.cmake)
set(CPACK_TARVELIN_BUILD_DIR ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_NAME tarvelin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVELIN_MAINTAINER}")
# The program needs the C library alone; its Depends is worked out from the program when
# it is packed (packaging/cpack-options.cmake), for any architecture.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_TARVELIN_PROGRAM ${CMAKE_CURRENT_BINARY_DIR}/Tarvelin)
set(CPACK_TARVELIN_OBJDUMP ${CMAKE_OBJDUMP})
if(CMAKE_CROSSCOMPILING)
  set(CPACK_SYSTEM_NAME Linux-${CMAKE_SYSTEM_PROCESSOR})
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarvelin reads an M3 model file saved by a newer modelling tool and
writes beside it a copy whose blocks are rewritten into the lower structure
versions an older toolchain reads, realigned to 16 bytes. It also writes
Logfile.txt, listing every block, and prints the model's strings. File
managers offer it for M3 models, in a terminal window that stays open to
show what happened.")
include(CPack)
