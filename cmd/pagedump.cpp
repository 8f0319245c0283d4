// SPDX-License-Identifier: MIT
// Memory page display: the 256 bytes APDSPPGE stored in TMPFILE, shown as a
// hexadecimal dump with a character column.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cmd/commands.h"
#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"

namespace {

constexpr int kBytesPerRow = 16;
constexpr int kHalfRow = 8;
constexpr char kHeader[] = "Segm:Offs  00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F\n\n";

// Appends to a fixed text buffer, never beyond its end; the text stays terminated.
class Appender {
  public:
    Appender(char* buffer, std::size_t size) : buffer_(buffer), size_(size) {
        if (size_ > 0) std::memset(buffer_, 0, size_);
    }

    void Format(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (used_ + 1 >= size_) return;
        va_list args;
        va_start(args, format);
        int written = std::vsnprintf(buffer_ + used_, size_ - used_, format, args);
        va_end(args);
        if (written < 0) return;
        used_ = std::min(used_ + static_cast<std::size_t>(written), size_ - 1);
    }

    void Char(char c) { Format("%c", c); }

  private:
    char* buffer_;
    std::size_t size_;
    std::size_t used_ = 0;
};

bool IsPrintable(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

// Reads a typed hexadecimal text the way the row labels need it ("%4x" for the
// segment, "%2x" for the page). A text that does not begin with a hexadecimal
// digit shows as 0, and the value is kept to the digits the label has room for.
unsigned ParseHex(const char* text, const char* format, unsigned mask) {
    unsigned value = 0;
    if (text == nullptr || std::sscanf(text, format, &value) != 1) return 0;
    return value & mask;
}

}  // namespace

void FormatPageDump(unsigned segment, unsigned offset, const unsigned char* data, int length, char* buffer,
                    std::size_t size) {
    Appender out(buffer, size);
    out.Format("%s", kHeader);
    if (data == nullptr) return;
    for (int row = 0; row < length; row += kBytesPerRow) {
        int count = std::min(kBytesPerRow, length - row);
        out.Format("%4X:%4X> ", segment, offset + static_cast<unsigned>(row));
        for (int column = 0; column < kBytesPerRow; ++column) {
            if (column == kHalfRow) out.Char(' ');
            if (column < count) {
                out.Format("%02X ", data[row + column]);
            } else {
                out.Format("   ");  // a short last row keeps the character column in place
            }
        }
        out.Format(" |");
        for (int column = 0; column < count; ++column) {
            unsigned char byte = data[row + column];
            out.Char(IsPrintable(byte) ? static_cast<char>(byte) : '.');
        }
        out.Format("|\n");
    }
}

void ShowMemoryPage(const char* segmentText, const char* pageText) {
    std::array<unsigned char, kPageSize> page{};
    std::array<char, kPageDisplaySize> display{};

    int fd = OpenWithRetry(kTempFileName, O_RDONLY | O_CLOEXEC, kShareDenyWrite, 0);
    if (fd < 0) {
        std::printf("Fehler beim Einlesen der Datei TMPFILE (%s)\n", std::strerror(errno));
        RemoveTempFile();
        return;
    }
    // A file shorter than a page leaves the rest of the page zero.
    std::size_t filled = 0;
    while (filled < page.size()) {
        ssize_t got = ::read(fd, page.data() + filled, page.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }

    unsigned segment = ParseHex(segmentText, "%4x", 0xFFFF);
    unsigned pageNumber = ParseHex(pageText, "%2x", 0xFF);
    FormatPageDump(segment, pageNumber << 8, page.data(), kPageSize, display.data(), display.size());
    std::printf("%s\n", display.data());

    CloseIfOpen(fd);
    RemoveTempFile();
}
