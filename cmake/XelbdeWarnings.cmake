# SPDX-License-Identifier: MIT
# Compiler warnings of the project's own targets. They are set per target,
# never globally, so that nothing leaks into programs built against the
# installed library. XELBDE_WERROR (off by default, on in CI) turns them into
# errors: a newer compiler's new warning must not break a user's build.
option(XELBDE_WERROR "Treat compiler warnings as errors" OFF)

set(XELBDE_WARNING_FLAGS
  -Wall -Wextra -Wshadow -Wformat=2
  -Wno-format-y2k  # the terminal's clock texts have two-digit years by design
  -Wcast-qual -Wpointer-arith -Wundef -Wvla -Wredundant-decls
  "$<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor;-Wold-style-cast;-Woverloaded-virtual;-Wextra-semi>"
  "$<$<COMPILE_LANGUAGE:C>:-Wstrict-prototypes;-Wmissing-prototypes>"
  "$<$<COMPILE_LANG_AND_ID:CXX,GNU>:-Wduplicated-cond;-Wduplicated-branches>"
  "$<$<BOOL:${XELBDE_WERROR}>:-Werror>")

function(xelbde_warnings)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE ${XELBDE_WARNING_FLAGS})
  endforeach()
endfunction()

# Sources that hand a format from their callers' literals on to the C
# library cannot be checked by -Wformat-nonliteral.
function(xelbde_formats_from_callers)
  set_source_files_properties(${ARGN} DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
                              PROPERTIES COMPILE_OPTIONS -Wno-format-nonliteral)
endfunction()
