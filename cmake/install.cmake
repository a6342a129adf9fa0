# What `cmake --install` puts in place, and the Debian package CPack makes of it. Every path is
# relative to the install prefix, so DESTDIR and CMAKE_INSTALL_PREFIX are honoured and nothing
# points back into the build tree.
include(CMakePackageConfigHelpers)

set(QV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvewumth)

install(TARGETS qvewumth qvhost qvhost_static EXPORT qvewumthTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qvfnc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The SQLite extension finds the package beside itself.
if(TARGET qvsqlite)
  install(TARGETS qvsqlite LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(FILES package/include/qvfnc.h host/include/qvhost.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qvewumth)
install(FILES ${PROJECT_BINARY_DIR}/qvfnc.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES docs/functions.md LICENSE README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(EXPORT qvewumthTargets NAMESPACE qvewumth:: DESTINATION ${QV_CMAKE_DIR})
configure_package_config_file(cmake/qvewumthConfig.cmake.in ${PROJECT_BINARY_DIR}/qvewumthConfig.cmake
  INSTALL_DESTINATION ${QV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qvewumthConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qvewumthConfig.cmake ${PROJECT_BINARY_DIR}/qvewumthConfigVersion.cmake
  DESTINATION ${QV_CMAKE_DIR})

# pkg-config: the host library is what programs link; the package is opened at run time.
# The prefix is found from the file's own place, so a relocated tree or package stays right.
file(RELATIVE_PATH QV_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QV_PC_PREFIX "${QV_PC_PREFIX}")
configure_file(cmake/qvewumth.pc.in ${PROJECT_BINARY_DIR}/qvewumth.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qvewumth.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME qvewumth)
set(CPACK_PACKAGE_VENDOR "qvewumth developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Numerical function package with its host library and the qvfnc command line")
set(CPACK_PACKAGE_CONTACT "The qvewumth developers <qvewumth-dev@lists.qvewumth.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://qvewumth.org")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
# The Python package (python/) rides along in dist-packages; it needs Debian's Python and NumPy.
if(TARGET qvewumth_python)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3 (>= 3.11), python3 (<< 3.12), python3-numpy, python3-pandas, python3-dask, python3-distributed")
endif()
include(CPack)
