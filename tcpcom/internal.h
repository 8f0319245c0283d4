// Helpers both libraries share, for C++ code only (not part of tcpcom's C
// interface): one write-all loop and the number conversions the design
// relies on, each named after the C library behaviour it reproduces.
#ifndef TCPCOM_INTERNAL_H
#define TCPCOM_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

struct MutexHandle;

namespace tcpcom {

// A decimal number read from the start of a text the way the C library's
// conversions read one: optional white space (" \t\n\v\f\r"), an optional
// sign, digits up to the first non-digit.
struct Decimal {
    bool found = false;           // at least one digit
    bool negative = false;
    bool overflow = false;        // the digits exceed 64 bits
    std::uint64_t magnitude = 0;  // modulo 2^64: the low bits stay exact
    std::size_t length = 0;       // characters taken, white space included
};
struct DecimalRule {
    bool sign = true;                       // a sign may come first
    std::size_t width = ~std::size_t{0};    // at most this many sign and digit characters ("%4ld")
};
Decimal ScanDecimal(std::string_view text, DecimalRule rule = {});

// strtol(text, 10) clamped to the int range (atoi without its overflow):
// no digits give 0.
int StrtolInt(std::string_view text);
// The value as a "%d" conversion stores its low 8 bits (an address byte).
inline unsigned char LowByte(const Decimal& d) {
    return static_cast<unsigned char>((d.negative ? 0u - d.magnitude : d.magnitude) & 0xFFu);
}

// Writes all length bytes (at offset when one is given, else at the file
// position), retrying after interruptions and partial writes. Returns the
// count written: length, or less with errno set (EIO when the file took
// nothing without an error).
std::size_t WriteAll(int fd, const void* data, std::size_t length, off_t offset = -1);

// OpenWithRetry, and for a share mode that denies something the size and
// mode of the file opened, taken when its name was checked (left alone
// otherwise).
struct FileStatus {
    long long size = 0;
    unsigned mode = 0;
};
int OpenWithRetry(const char* path, int flags, int share, int mode, FileStatus* status);

// The handle of this process for the named lock: created at its first use
// and kept open, so that each use waits on it and releases it without
// opening the lock file again. A forked process, or a lock directory
// changed since, gets a handle of its own. nullptr when it cannot be
// created (as MutexCreate fails). Never closed by the caller.
::MutexHandle* ProcessLock(const char* name);

}  // namespace tcpcom

#endif
