# What a user of the library gets: the versioned shared libraries with their
# public headers (libvelkotwodll_ssl_X64, the three functions; libvelkotwo,
# the host interface velko::Server), the example programs, the sample site,
# the user guide, a CMake package (velkotwo::velkotwodll_ssl_X64 and
# velkotwo::velkotwo) and a pkg-config file for each library (velkotwo,
# velkotwo-server), installed by `cmake --install` and packed by
# `cpack -G DEB`. A host links one of the two libraries, never both: each
# holds the whole server.
# Included by the top-level list once the libraries (and the examples) exist.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELKO_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velkotwo)

set_target_properties(velkotwodll_ssl_X64 PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
# The public headers, as they are installed: a host (the example too) gets
# them, and only them, from the target.
target_sources(velkotwodll_ssl_X64 PUBLIC
  FILE_SET HEADERS
  BASE_DIRS ${PROJECT_SOURCE_DIR}/include
  FILES
    ${PROJECT_SOURCE_DIR}/include/velkotwo/velko_server_api.h
    ${PROJECT_SOURCE_DIR}/include/velkotwo/exception.h
    ${PROJECT_SOURCE_DIR}/include/velkotwo/export.h)
# Exported file sets reach only CMake 3.23 and later; the directory itself
# reaches every host.
target_include_directories(velkotwodll_ssl_X64 INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set(VELKO_INSTALLED_LIBRARIES velkotwodll_ssl_X64)

if(TARGET velkotwo)
  set_target_properties(velkotwo PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  # Its own headers; exception.h and export.h come with the first library's
  # set into the same directory.
  target_sources(velkotwo PUBLIC
    FILE_SET HEADERS
    BASE_DIRS ${PROJECT_SOURCE_DIR}/include
    FILES
      ${PROJECT_SOURCE_DIR}/include/velkotwo/server.h
      ${PROJECT_SOURCE_DIR}/include/velkotwo/page.h
      ${PROJECT_SOURCE_DIR}/include/velkotwo/live.h)
  target_include_directories(velkotwo INTERFACE
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  list(APPEND VELKO_INSTALLED_LIBRARIES velkotwo)
endif()

install(TARGETS ${VELKO_INSTALLED_LIBRARIES} EXPORT velkotwoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT velkotwoTargets
  NAMESPACE velkotwo::
  DESTINATION ${VELKO_PACKAGE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velkotwoConfig.cmake.in
  ${PROJECT_BINARY_DIR}/velkotwoConfig.cmake
  INSTALL_DESTINATION ${VELKO_PACKAGE_DIR})
# Symbols may come and go within a major version only by addition.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velkotwoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/velkotwoConfig.cmake
    ${PROJECT_BINARY_DIR}/velkotwoConfigVersion.cmake
  DESTINATION ${VELKO_PACKAGE_DIR})

# pkg-config names absolute directories, and the prefix is only known when
# installing (`cmake --install --prefix`, or /usr under cpack): the file is
# made then, from a template that knows the rest.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(VELKO_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(VELKO_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(VELKO_PC_PREFIX "@VELKO_PC_PREFIX@")
set(VELKO_PC_FILES velkotwo)
if(TARGET velkotwo)
  list(APPEND VELKO_PC_FILES velkotwo-server)
endif()
foreach(pc IN LISTS VELKO_PC_FILES)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc.in @ONLY)
  install(CODE "
    set(VELKO_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/${pc}.pc.in\" \"${PROJECT_BINARY_DIR}/pc-install/${pc}.pc\" @ONLY)")
  install(FILES ${PROJECT_BINARY_DIR}/pc-install/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

if(TARGET velkotwodll_ssl_example)
  # Relative, so the installed tree can move (and a .deb needs nothing else).
  set_target_properties(velkotwodll_ssl_example PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS velkotwodll_ssl_example RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET velkotwo_passwd)
    install(TARGETS velkotwo_passwd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  # Its source builds against the installed package as any host's would.
  install(FILES ${PROJECT_SOURCE_DIR}/example/main.cpp ${PROJECT_SOURCE_DIR}/example/CMakeLists.txt
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/example)
endif()
if(TARGET velkotwo_host_example)
  set_target_properties(velkotwo_host_example PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS velkotwo_host_example RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/example/host_api/main.cpp ${PROJECT_SOURCE_DIR}/example/host_api/CMakeLists.txt
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/host_api)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/example/htmlroot
  DESTINATION ${CMAKE_INSTALL_DATADIR}/velkotwo
  USE_SOURCE_PERMISSIONS)
install(FILES ${PROJECT_SOURCE_DIR}/docs/guide.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# cpack -G DEB: velkotwo_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkotwo)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "A web server a host program embeds through three functions, or as a C++\n"
  "object with its own commands, routes and stored values, to serve a\n"
  "local or LAN web interface over HTTPS: static files, CGI programs and\n"
  "PHP scripts. With the headers, the CMake and pkg-config packages, two\n"
  "example programs and a sample site.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "velkotwo developers")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
# The run-time dependencies (libssl3, libstdc++6, libc6) from the binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The example's own library is in the package being built.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# A shlibs file and the ldconfig trigger for the shared library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# PHP scripts run through php-cgi when it is there.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS php-cgi)
include(CPack)
