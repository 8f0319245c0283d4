// One line of the log as the listing parses it: any bytes must parse without
// a crash or an overrun, with every filter applied.
#include <cstdint>
#include <cstddef>
#include <cstring>

#include "xelbde/internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    char line[2000];
    std::size_t n = size < sizeof line - 1 ? size : sizeof line - 1;
    std::memcpy(line, data, n);
    line[n] = '\0';
    xelbde::DisplayRecord record;
    xelbde::FilterLogRecord(line, &record, "", "", "", "", "", "", "*ALL");
    xelbde::FilterLogRecord(line, &record, "t1", "20061222", "20061222", "apdel00b", nullptr, nullptr, "*ERR");
    return 0;
}
