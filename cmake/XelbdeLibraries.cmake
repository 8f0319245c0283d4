# SPDX-License-Identifier: MIT
# The installable forms of the library: libxelbde.so.1 and libxelbde.a, each
# holding the terminal API (xelbde) and the socket and log layer (tcpcom).
# Both are made from the objects of the in-tree archives xelbde and tcpcom,
# which the tests and xelcmd link and which keep every internal name.
#
# Both show only the API (AP..., Xelbde...) and tcpcom's Socket... and
# Tcpcom... calls: the shared library through its version script
# (libxelbde.map), the static one by holding a single relocatable object in
# which every other name was made local, so that a program's own TrimLeft or
# MutexCreate never clashes with the library's helpers.
set(XELBDE_OBJECTS $<TARGET_OBJECTS:xelbde> $<TARGET_OBJECTS:tcpcom>)
set(XELBDE_PUBLIC_INCLUDES
  $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# Only the public headers are reachable from the libraries' include
# directory, in the build tree as in an installed one.
set(XELBDE_PUBLIC_HEADERS xelbde/xelbde.h tcpcom/tcpcom.h)
foreach(header IN LISTS XELBDE_PUBLIC_HEADERS)
  configure_file(${PROJECT_SOURCE_DIR}/${header} ${PROJECT_BINARY_DIR}/include/${header} COPYONLY)
endforeach()

add_library(xelbde_shared SHARED ${XELBDE_OBJECTS})
set(XELBDE_MAP ${PROJECT_SOURCE_DIR}/cmake/libxelbde.map)
set_target_properties(xelbde_shared PROPERTIES
  OUTPUT_NAME xelbde
  EXPORT_NAME xelbde
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  LINKER_LANGUAGE CXX
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib
  LINK_DEPENDS ${XELBDE_MAP})
target_link_options(xelbde_shared PRIVATE "LINKER:--version-script=${XELBDE_MAP}")
if(NOT XELBDE_SANITIZE)
  # Every name the library uses is defined in it or in the C and C++
  # runtime. (Sanitizer runtimes are linked into programs only.)
  target_link_options(xelbde_shared PRIVATE "LINKER:--no-undefined")
endif()
target_include_directories(xelbde_shared INTERFACE ${XELBDE_PUBLIC_INCLUDES})

set(XELBDE_API_OBJECT ${PROJECT_BINARY_DIR}/lib/xelbde_api.o)
add_custom_command(OUTPUT ${XELBDE_API_OBJECT}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/lib
  COMMAND ${CMAKE_LINKER} -r -o ${XELBDE_API_OBJECT} ${XELBDE_OBJECTS}
  COMMAND ${CMAKE_OBJCOPY} --wildcard --keep-global-symbol=AP* --keep-global-symbol=Xelbde*
          --keep-global-symbol=Socket* --keep-global-symbol=Tcpcom* ${XELBDE_API_OBJECT}
  DEPENDS xelbde tcpcom
  COMMAND_EXPAND_LISTS VERBATIM
  COMMENT "One object for libxelbde.a, only the API names global")
set_source_files_properties(${XELBDE_API_OBJECT} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
add_library(xelbde_static STATIC ${XELBDE_API_OBJECT})
set_target_properties(xelbde_static PROPERTIES
  OUTPUT_NAME xelbde
  EXPORT_NAME xelbde_static
  LINKER_LANGUAGE CXX
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
target_include_directories(xelbde_static INTERFACE ${XELBDE_PUBLIC_INCLUDES})
# A program linked by the C compiler needs the C++ runtime named.
target_link_libraries(xelbde_static INTERFACE "$<$<NOT:$<LINK_LANGUAGE:CXX>>:stdc++>")
