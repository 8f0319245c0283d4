// SPDX-License-Identifier: MIT
// terminal.ini reading: any bytes, written as the file and loaded through
// LoadTerminalTable's chunked reading (inputs longer than a chunk cross its
// boundaries), must load without a crash or an overrun, and every lookup
// over the loaded table must stay inside its fields.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "xelbde/internal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::Scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace xelbde;
    static const std::string path = fuzz_support::ScratchPath("terminal.ini");
    if (!fuzz_support::WriteFile(path, data, size)) return 0;
    if (!LoadTerminalTable()) return 0;
    TerminalEntry entry;
    for (std::size_t row = 0; CopyTerminalRow(row, &entry); ++row) ParseEntryAddress(entry);
    for (const char* name : {"T1", "HALLE1", "ISDN1", "ABCDEFGHIJ", "ABCDEFGHIJKLMNO", "a"}) {
        FindTerminalEntry(name, &entry);
        QueryISDNAdapter(name);
        ResolveTerminalAddress(name);
    }
    return 0;
}
