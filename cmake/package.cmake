# `make package` (or `cmake --build build/default --target package`): a Debian
# package of what `cmake --install` puts in place (the library, its headers,
# the CMake and pkg-config files, zt with its manual page and completion),
# installed below /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ztbase)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}: library, headers and the zt tool")
set(CPACK_PACKAGE_CONTACT "libztbase developers <ztbase@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The run-time dependencies come from the binaries' own needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
