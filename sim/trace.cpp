// SPDX-License-Identifier: MIT
#include <cstdio>

#include "sim/sim.h"

namespace bdesim {

bool Trace::Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void Trace::Close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

void Trace::Frame(const std::string& who, char direction, std::string_view kind, const Byte* bytes, std::size_t n) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "%s %c %.*s ", who.c_str(), direction, static_cast<int>(kind.size()), kind.data());
    for (std::size_t i = 0; i < n; ++i) std::fprintf(file_, "%02X", bytes[i]);
    std::fputc('\n', file_);
    std::fflush(file_);
}

void Trace::Event(const std::string& who, char mark, const std::string& text) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "%s %c %s\n", who.c_str(), mark, text.c_str());
    std::fflush(file_);
}

}  // namespace bdesim
