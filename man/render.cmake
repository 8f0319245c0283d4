# SPDX-License-Identifier: MIT
# Renders one manual page: cmake -DTEMPLATE=x.1.in -DCODES=returncodes.man
# -DVERSION=1.0.0 "-DFUNCTIONS=APALC00B, ..." -DOUTPUT=x.1 -P render.cmake
file(READ ${CODES} XELBDE_RETURN_CODES)
string(REGEX REPLACE "\n$" "" XELBDE_RETURN_CODES "${XELBDE_RETURN_CODES}")
set(PROJECT_VERSION ${VERSION})
string(REPLACE "." ";" parts ${VERSION})
list(GET parts 0 PROJECT_VERSION_MAJOR)
list(GET parts 1 PROJECT_VERSION_MINOR)
list(GET parts 2 PROJECT_VERSION_PATCH)
set(XELBDE_FUNCTIONS "${FUNCTIONS}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
