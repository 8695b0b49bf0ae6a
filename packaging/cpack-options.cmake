# Read by CPack once per generator: the deb and the tarball each pack their own
# component of the install, as a whole package.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TARVELIN_BUILD_DIR};Tarvelin;deb;/")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_TARVELIN_BUILD_DIR};Tarvelin;tarball;/")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
