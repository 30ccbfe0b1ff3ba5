# What is installed besides the programs and libraries (the Python module,
# the documentation), the files that let host developers find the plug-in
# (a CMake package and a pkg-config file), and the Debian package.
include(CMakePackageConfigHelpers)

# The Python module, where Debian's python3 finds modules of its packages.
set(AVI_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING
    "Where the avirec Python module is installed, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/avirec DESTINATION ${AVI_INSTALL_PYTHONDIR}
        FILES_MATCHING PATTERN "*.py")
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# find_package(avi): the targets avi::headers (include <avi/avi_plugin.h>)
# and avi::plugin (the module, to load at run time), and AVI_PLUGIN_PATH.
set(AVI_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/avi)
install(EXPORT aviTargets NAMESPACE avi:: DESTINATION ${AVI_INSTALL_CMAKEDIR})
set(AVI_PLUGIN_FILE_NAME ${CMAKE_SHARED_MODULE_PREFIX}avi${CMAKE_SHARED_MODULE_SUFFIX})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/templates/aviConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/aviConfig.cmake
  INSTALL_DESTINATION ${AVI_INSTALL_CMAKEDIR}
  PATH_VARS AVI_INSTALL_PRIVATE_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/aviConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/aviConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/aviConfigVersion.cmake
        DESTINATION ${AVI_INSTALL_CMAKEDIR})

# pkg-config: the same facts, with paths relative to the file itself, so
# that an installation moved elsewhere (a staging folder) stays right.
set(AVI_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH AVI_PKGCONFIG_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${AVI_INSTALL_PKGCONFIGDIR}
     ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/templates/avi.pc.in ${CMAKE_CURRENT_BINARY_DIR}/avi.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/avi.pc DESTINATION ${AVI_INSTALL_PKGCONFIGDIR})

# cpack -G DEB: the Debian package, its dependencies worked out from the
# libraries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME avi)
set(CPACK_PACKAGE_VENDOR "The avi developers")
set(CPACK_PACKAGE_CONTACT "The avi developers <avi@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "AVI movie-writer plug-in and the avirec recorder")
set(CPACK_PACKAGE_DESCRIPTION
    "The movie-writer plug-in that imaging hosts load to record frames as AVI\n"
    "movies, with the avirec program that records a test picture, image files,\n"
    "raw frames or video streams through it, and a Python module.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The private libraries are in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
# The Python module needs python3 and numpy; nothing links it, so this is said here.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-numpy, python3-matplotlib, python3-imageio, python3-opencv, python3-distributed")
include(CPack)
