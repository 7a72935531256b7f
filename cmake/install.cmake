include(CMakePackageConfigHelpers)

install(TARGETS ztbase EXPORT ztbaseTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ztbase DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/include/ztbase/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ztbase)
install(EXPORT ztbaseTargets NAMESPACE ztbase:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ztbase)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ztbaseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ztbaseConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ztbase)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ztbaseConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ztbaseConfig.cmake ${PROJECT_BINARY_DIR}/ztbaseConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ztbase)

# The .pc file finds its prefix from its own place, so that an install with
# --prefix (or a moved tree) still gives the right paths.
file(RELATIVE_PATH ZTBASE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZTBASE_PC_TO_PREFIX "${ZTBASE_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/ztbase.pc.in ${PROJECT_BINARY_DIR}/ztbase.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ztbase.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
