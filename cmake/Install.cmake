# Installation of libcldb: the shared library with its SONAME, the headers
# of its API under include/cldb/ (a host includes <cldb/CLDBTableManager.h>
# with only <prefix>/include on its path), a CMake package (cldb::cldb) and
# a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CLDB_INCLUDE_INSTALL_DIR ${CMAKE_INSTALL_INCLUDEDIR})
# The API's headers, and what they include: nothing else of the source tree.
# They include one another as "cldb/<name>.h", which holds in the tree and
# once installed.
set(CLDB_PUBLIC_HEADERS
  ${PROJECT_SOURCE_DIR}/cldb/CLDBTableManager.h
  ${PROJECT_SOURCE_DIR}/cldb/CLDBTypes.h
  ${PROJECT_SOURCE_DIR}/cldb/Export.h
  ${PROJECT_SOURCE_DIR}/cldb/StorageBackend.h
  ${PROJECT_SOURCE_DIR}/platform/EvDebug.h)
set(CLDB_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/cldb)

install(TARGETS cldb EXPORT cldbTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CLDB_INCLUDE_INSTALL_DIR})
install(FILES ${CLDB_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cldb)
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
