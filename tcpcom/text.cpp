// SPDX-License-Identifier: MIT
// Text and number handling shared by both libraries: the in-place trims and
// the case-folding comparison of the configuration reader and the command
// table, and the decimal conversions with the C library's quirks.
#include <climits>
#include <cstring>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"

namespace tcpcom {
namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

Decimal ScanDecimal(std::string_view text, DecimalRule rule) {
    Decimal d;
    std::size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    std::size_t taken = 0;
    if (rule.sign && i < text.size() && (text[i] == '+' || text[i] == '-') && taken < rule.width) {
        d.negative = text[i] == '-';
        ++i;
        ++taken;
    }
    const std::size_t digitsStart = i;
    while (i < text.size() && IsDigit(text[i]) && taken < rule.width) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
        if (d.magnitude > (UINT64_MAX - digit) / 10) d.overflow = true;
        d.magnitude = d.magnitude * 10 + digit;
        ++i;
        ++taken;
    }
    d.found = i > digitsStart;
    d.length = d.found ? i : 0;
    if (!d.found) d.negative = false;
    return d;
}

int StrtolInt(std::string_view text) {
    const Decimal d = ScanDecimal(text);
    constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(INT_MAX);
    constexpr std::uint64_t kMaxNegative = kMaxPositive + 1;
    if (d.negative) {
        if (d.overflow || d.magnitude >= kMaxNegative) return INT_MIN;
        return -static_cast<int>(d.magnitude);
    }
    if (d.overflow || d.magnitude >= kMaxPositive) return INT_MAX;
    return static_cast<int>(d.magnitude);
}

}  // namespace tcpcom

extern "C" char* TrimLeft(char* text) {
    if (text == nullptr) return text;
    size_t skip = std::strspn(text, " \t");
    if (skip > 0) std::memmove(text, text + skip, std::strlen(text + skip) + 1);
    return text;
}

extern "C" char* TrimRight(char* text) {
    if (text == nullptr) return text;
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
    text[length] = '\0';
    return text;
}

// Compares n characters with only a to z folded to upper case. The texts are
// equal as soon as both end at the same place; a text that ends earlier
// differs there, so neither is read past its terminator.
extern "C" int CompareNoCase(const char* a, const char* b, int n) {
    if (n <= 0) return 1;
    if (a == nullptr || b == nullptr) return a == b ? 1 : 0;
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    for (int i = 0; i < n; ++i) {
        if (upper(a[i]) != upper(b[i])) return 0;
        if (a[i] == '\0') return 1;
    }
    return 1;
}
