# Installation of libcldb: the shared library with its SONAME, the public
# headers under include/cldb/, a CMake package (cldb::cldb) and a
# pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CLDB_INCLUDE_INSTALL_DIR ${CMAKE_INSTALL_INCLUDEDIR}/cldb)
set(CLDB_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cldb)

install(TARGETS cldb EXPORT cldbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CLDB_INCLUDE_INSTALL_DIR})
# The headers include each other as "cldb/..." and "platform/...".
install(DIRECTORY ${PROJECT_SOURCE_DIR}/cldb ${PROJECT_SOURCE_DIR}/platform
  DESTINATION ${CLDB_INCLUDE_INSTALL_DIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT cldbTargets NAMESPACE cldb:: DESTINATION ${CLDB_CMAKE_INSTALL_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/cldbConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cldbConfig.cmake INSTALL_DESTINATION ${CLDB_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cldbConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/cldbConfig.cmake ${PROJECT_BINARY_DIR}/cldbConfigVersion.cmake
  DESTINATION ${CLDB_CMAKE_INSTALL_DIR})

# The .pc file names its prefix relative to itself, so the installed tree
# may be moved (or installed with --prefix) and still be found.
file(RELATIVE_PATH CLDB_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" CLDB_PC_TO_PREFIX "${CLDB_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/cldb.pc.in ${PROJECT_BINARY_DIR}/cldb.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cldb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
