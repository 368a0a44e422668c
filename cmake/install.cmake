# Installation: library, headers under include/<name>, the example host,
# the CMake package and the pkg-config file.
include(CMakePackageConfigHelpers)
install(TARGETS VaskSupport EXPORT ${VASK_NAME}Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${VASK_NAME})
if(WIN32)
  # Beside the DLL, where setupDump() looks for it; exported, so that a host
  # copying the DLL into its own folder can copy it along
  # ($<TARGET_FILE:VaskSupport::vaskdumper>).
  install(TARGETS vaskdumper EXPORT ${VASK_NAME}Targets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(VASK_BUILD_EXAMPLES)
  install(TARGETS vaskprobe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
set(VASK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${VASK_NAME})
install(EXPORT ${VASK_NAME}Targets NAMESPACE ${VASK_NAME}:: DESTINATION ${VASK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VaskSupportConfig.cmake.in
  ${PROJECT_BINARY_DIR}/${VASK_NAME}Config.cmake INSTALL_DESTINATION ${VASK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/${VASK_NAME}ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/${VASK_NAME}Config.cmake ${PROJECT_BINARY_DIR}/${VASK_NAME}ConfigVersion.cmake
  DESTINATION ${VASK_CMAKE_DIR})
# The .pc file finds its prefix relative to itself, so an installed tree can
# be moved (and `cmake --install --prefix` works without reconfiguring).
file(RELATIVE_PATH VASK_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
if(VASK_LIBRARY_TYPE STREQUAL "SHARED_LIBRARY")
  set(VASK_PC_CFLAGS "")
else()
  set(VASK_PC_CFLAGS " -DVASKSUPPORT_STATIC")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vasksupport.pc.in ${PROJECT_BINARY_DIR}/${VASK_PC_NAME}.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${VASK_PC_NAME}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
