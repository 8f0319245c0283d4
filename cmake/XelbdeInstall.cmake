# SPDX-License-Identifier: MIT
# What `cmake --install` puts where (GNUInstallDirs), in two components:
#   Runtime      xelcmd, xelfleet, bdesim, libxelbde.so.1, their manual
#                pages, the bash completion
#   Development  the headers and the COBOL copybook, libxelbde.so and
#                libxelbde.a, the CMake package, the pkg-config file,
#                xelbde(3), the examples
include(CMakePackageConfigHelpers)

install(TARGETS xelcmd xelfleet bdesim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(TARGETS xelbde_shared EXPORT xelbdeTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS xelbde_static EXPORT xelbdeTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
foreach(header IN LISTS XELBDE_PUBLIC_HEADERS)
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${subdir}
          COMPONENT Development)
endforeach()

set(XELBDE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/xelbde)
install(EXPORT xelbdeTargets NAMESPACE xelbde:: DESTINATION ${XELBDE_CMAKE_DIR} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/xelbdeConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/xelbdeConfig.cmake INSTALL_DESTINATION ${XELBDE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/xelbdeConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/xelbdeConfig.cmake ${PROJECT_BINARY_DIR}/xelbdeConfigVersion.cmake
        DESTINATION ${XELBDE_CMAKE_DIR} COMPONENT Development)

file(RELATIVE_PATH XELBDE_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" XELBDE_PC_PREFIX "${XELBDE_PC_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/xelbde.pc.in ${PROJECT_BINARY_DIR}/xelbde.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/xelbde.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# bash-completion loads a file by the command's name: xelfleet's is a link,
# made in the build tree and installed as a link (so that the install
# manifest names it too).
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/completion)
file(CREATE_LINK xelcmd ${PROJECT_BINARY_DIR}/completion/xelfleet SYMBOLIC)
install(FILES ${PROJECT_SOURCE_DIR}/completion/xelcmd ${PROJECT_BINARY_DIR}/completion/xelfleet
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT Runtime)

# The copybook is to COBOL what the header is to C.
install(FILES ${PROJECT_SOURCE_DIR}/examples/cobol/XELBDE.cpy DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xelbde
        COMPONENT Development)
# run.sh, which runs them against a build tree's bdesim, stays behind.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        USE_SOURCE_PERMISSIONS COMPONENT Development PATTERN run.sh EXCLUDE)

# The dynamic linker finds a new library in a system directory only once
# ldconfig has renewed its cache: installed into /usr or /usr/local (and not
# staged under DESTDIR, as packaging does), ldconfig runs at once, so that
# programs built against libxelbde.so.1 start right away.
install(CODE "
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\" AND CMAKE_INSTALL_PREFIX MATCHES \"^/usr(/local)?/?$\")
    message(STATUS \"Running ldconfig\")
    execute_process(COMMAND ldconfig RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(WARNING \"ldconfig failed (\${status}): run it as root before starting programs that use libxelbde\")
    endif()
  endif()" COMPONENT Runtime)
