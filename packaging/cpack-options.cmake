# Read by CPack once per generator: the deb and the tarball each pack their own
# component of the install, as a whole package.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TARVELIN_BUILD_DIR};Tarvelin;deb;/")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TARVELIN_BUILD_DIR};Tarvelin;tarball;/")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

# The deb depends on the C library at the newest symbol version the program names, as
# dpkg-shlibdeps would say, which cannot read a program built for another architecture.
if(CPACK_GENERATOR STREQUAL "DEB")
  execute_process(COMMAND ${CPACK_TARVELIN_OBJDUMP} -T ${CPACK_TARVELIN_PROGRAM}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
  string(REGEX MATCHALL "GLIBC_[0-9.]+" versions "${symbols}")
  if(failed OR NOT versions)
    message(FATAL_ERROR "Cannot read the C library versions ${CPACK_TARVELIN_PROGRAM} needs")
  endif()
  set(newest 0)
  foreach(version IN LISTS versions)
    string(REPLACE "GLIBC_" "" version ${version})
    if(version VERSION_GREATER newest)
      set(newest ${version})
    endif()
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
