// terminal.ini reading: any bytes must load without a crash or an overrun,
// and every lookup over the loaded table must stay inside its fields.
#include <cstdint>
#include <cstddef>

#include "xelbde/internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace xelbde;
    ParseTerminalIni(reinterpret_cast<const char*>(data), size);
    for (const TerminalEntry& entry : TerminalTable) {
        ParseEntryAddress(entry);
        if (entry.name[0] == '\0') break;
    }
    TerminalEntry found;
    FindTerminalEntry("T1", &found);
    FindTerminalEntry("HALLE1", &found);
    FindTerminalEntry("ABCDEFGHIJKLMNO", &found);
    return 0;
}
