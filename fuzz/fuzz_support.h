/* SPDX-License-Identifier: MIT */
// What every fuzz target needs around the library: a scratch directory for
// the files it writes, removed whenever the process ends (crashes and
// interrupts included), and the library's environment pointed into it.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <string>

namespace fuzz_support {

// Creates the scratch directory (under $TMPDIR or /tmp) once and returns its
// absolute path. A small watcher process removes it when this process ends,
// however it ends. Sets XELBDE_LOCKDIR, DEBUG_FILE (xelbde.log), TERMINI
// (the scratch directory itself) and XELBDE_TIMEOUT=1. The working directory
// is never changed, so relative corpus paths keep working.
const std::string& Scratch();
std::string ScratchPath(const char* name);  // Scratch() + "/" + name

// Writes a whole file; false when it could not be written.
bool WriteFile(const std::string& path, const void* data, std::size_t size);

}  // namespace fuzz_support

#endif
