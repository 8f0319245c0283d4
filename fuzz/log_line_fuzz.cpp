// SPDX-License-Identifier: MIT
// The operations log listing: any bytes, written as the log file, must be
// listed by XelbdeDisplayLog (its reader, filters and row writer) without a
// crash or an overrun. The first two bytes pick the filters and the output;
// the rest is the log.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "xelbde/internal.h"

namespace {

const char* const kTerminals[] = {"", "T1", "t1", "HALLE1", "127.0.0.2", nullptr};
const char* const kFunctions[] = {"", "APDEL00B", "apalc00b", nullptr};
const char* const kFrom[] = {"", "20061222", "20061222120000", nullptr};
const char* const kTo[] = {"", "20061222", "99999999999999", nullptr};
const char* const kSelections[] = {"*ALL", "*OK", "*ERR", "", nullptr};

template <typename T, std::size_t N>
const T& Pick(const T (&table)[N], unsigned& bits) {
    const T& chosen = table[bits % N];
    bits /= N;
    return chosen;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::Scratch();
    xelbde::XelbdeInitLog();  // the start record goes in once, before any listing
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const std::string log = fuzz_support::ScratchPath("xelbde.log");
    static const std::string listing = fuzz_support::ScratchPath("listing.txt");
    if (!fuzz_support::WriteFile(log, data + 2, size - 2)) return 0;
    unsigned bits = data[0] | data[1] << 8;
    const char* terminal = Pick(kTerminals, bits);
    const char* function = Pick(kFunctions, bits);
    const char* from = Pick(kFrom, bits);
    const char* to = Pick(kTo, bits);
    const char* selection = Pick(kSelections, bits);
    const char* output = bits % 8 == 7 ? "" : listing.c_str();  // no output: the call fails cleanly
    XelbdeDisplayLog(terminal, output, from, to, function, nullptr, nullptr, selection);
    return 0;
}
