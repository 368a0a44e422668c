# Packages of the install tree with CPack, run in a build folder:
#   cpack -G DEB   Linux: a Debian package installing under /usr, after which
#                  a host finds the library with find_package or pkg-config
#                  and no prefix given
#   cpack -G ZIP   Windows: the install tree (bin/, lib/, include/) zipped
set(CPACK_PACKAGE_NAME ${VASK_PC_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VaskSupport")
set(CPACK_PACKAGE_CONTACT "VaskSupport developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Support library of the traffic-simulation host: folders, configuration, random streams, process services")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
  # The runtime dependencies from the binaries (dpkg-shlibdeps), and Qt's
  # development files, which the CMake package and the .pc file name.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(VASK_QT_MAJOR STREQUAL "5")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qtbase5-dev (>= 5.12)")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-base-dev (>= 6.4), qt6-5compat-dev (>= 6.4)")
  endif()
endif()
include(CPack)
