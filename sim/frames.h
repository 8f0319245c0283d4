/* SPDX-License-Identifier: MIT */
// The three frame formats as the terminal sees them. bdesim keeps its own
// copy of the layout on purpose: it shares no frame code with the library,
// so a mistake on either side shows up as a failed exchange.
#ifndef SIM_FRAMES_H
#define SIM_FRAMES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bdesim {

using Byte = std::uint8_t;

inline constexpr std::array<Byte, 4> kPrefix = {0x1B, '[', '2', 'J'};  // screen clear before every request
inline constexpr std::array<Byte, 2> kRequestMarker = {0xCA, 0xCE};
inline constexpr std::array<Byte, 2> kReplyMarker = {0xCE, 0xCA};
inline constexpr Byte kBlank = 0x20;
inline constexpr Byte kEndOfFile = 0xA6;     // ends the data of a data file
inline constexpr Byte kEndOfProgram = 0x2E;  // "." ends a program or OS image

enum class FrameType { kStatus, kShort, kLong };

// Status frame: 12 bytes.
inline constexpr std::size_t kStatusSize = 12;
inline constexpr std::size_t kStatusMarker1 = 1;
inline constexpr std::size_t kStatusCode = 7;  // request code / terminal status, 2 bytes
inline constexpr std::size_t kStatusMarker2 = 9;
inline constexpr std::array<Byte, 4> kStatusFixed = {0x66, 0xD8, 0x64, 0xD8};  // bytes 3-6
inline constexpr Byte kStatusTypeQuery = 0xBD;                                 // BD F7

// Short frame: 526 bytes (ISDN adapter commands and the hang-up).
inline constexpr std::size_t kShortSize = 526;
inline constexpr std::size_t kShortMarker1 = 1;
inline constexpr std::array<Byte, 6> kShortFixed = {0x69, 0x68, 0x67, 0x68, 0xD8, 0xDD};  // bytes 3-8
inline constexpr std::size_t kShortCommand = 9;  // command / reply status, 2 bytes
inline constexpr std::size_t kShortColon = 11;
inline constexpr std::size_t kShortData = 12;
inline constexpr std::size_t kShortDataSize = 512;
inline constexpr std::size_t kShortMarker2 = 524;

// Long frame: 1920 bytes (every terminal command).
inline constexpr std::size_t kLongSize = 1920;
inline constexpr std::size_t kLongLead = 1;  // 0xD8
inline constexpr Byte kLongLeadByte = 0xD8;
inline constexpr std::size_t kLongCommand = 3;  // 9 bytes: command word, or name (8) + type
inline constexpr std::size_t kLongCommandSize = 9;
inline constexpr std::size_t kLongZeros = 14;  // "000000"
inline constexpr std::size_t kLongCode = 49;   // request code / reply status, 2 bytes
inline constexpr std::size_t kLongProgram = 72;  // 8 bytes
inline constexpr std::size_t kLongData = 81;
inline constexpr std::size_t kDataSize = 1792;  // one block
inline constexpr std::size_t kLongDataEnd = kLongData + kDataSize;  // 1873
inline constexpr std::size_t kLongMarker = 1917;

// Reply fields of the terminal commands.
inline constexpr std::size_t kVersionText = 81;
inline constexpr std::size_t kVersionTextMax = 128;  // up to the clock field
inline constexpr std::size_t kClockField = 209;      // YYMMDDHHMMSS
inline constexpr std::size_t kDateFormatField = 222;
inline constexpr std::size_t kRadioField = 224;
inline constexpr std::size_t kSetClockFormat = 81;  // request: format, ":", HHMMSSDDMMYY
inline constexpr std::size_t kSetClockColon = 82;
inline constexpr std::size_t kSetClockTime = 83;
inline constexpr std::size_t kFreeMemoryField = 93;  // QRDFORMAT: 4 characters
inline constexpr std::size_t kTotalMemoryField = 93;  // QDIRINFOS: 4 characters
inline constexpr std::size_t kDirEntries = 109;       // QDIRINFOS: 16-byte entries
inline constexpr std::size_t kDirEntrySize = 16;
inline constexpr std::size_t kDirMaxEntries = (kLongDataEnd - kDirEntries) / kDirEntrySize;  // 110
inline constexpr std::size_t kIsdnName = 81;  // QSTISDNID request fields
inline constexpr std::size_t kIsdnId = 113;
inline constexpr std::size_t kIsdnNumber = 145;
inline constexpr std::size_t kPageText = 81;  // QMU reply: 512 hex characters

using Frame = std::array<Byte, kLongSize>;  // large enough for any frame

inline constexpr std::size_t FrameSize(FrameType type) {
    return type == FrameType::kStatus ? kStatusSize : type == FrameType::kShort ? kShortSize : kLongSize;
}

inline void Put(Byte* frame, std::size_t offset, const char* text, std::size_t length) {
    std::memcpy(frame + offset, text, length);
}
inline bool Equals(const Byte* frame, std::size_t offset, const char* text, std::size_t length) {
    return std::memcmp(frame + offset, text, length) == 0;
}
template <std::size_t N>
inline bool Equals(const Byte* frame, std::size_t offset, const std::array<Byte, N>& bytes) {
    return std::memcmp(frame + offset, bytes.data(), N) == 0;
}
template <std::size_t N>
inline void Put(Byte* frame, std::size_t offset, const std::array<Byte, N>& bytes) {
    std::memcpy(frame + offset, bytes.data(), N);
}

// Position of the first fixed header byte of a request that is not as the
// protocol fixes it, or -1 when all are right.
inline int FirstBadFixedByte(FrameType type, const Byte* f) {
    auto check = [&](std::size_t offset, const Byte* bytes, std::size_t n) -> int {
        for (std::size_t i = 0; i < n; ++i) {
            if (f[offset + i] != bytes[i]) return static_cast<int>(offset + i);
        }
        return -1;
    };
    int bad = -1;
    switch (type) {
        case FrameType::kStatus:
            if ((bad = check(kStatusMarker1, kRequestMarker.data(), 2)) >= 0) return bad;
            if ((bad = check(3, kStatusFixed.data(), kStatusFixed.size())) >= 0) return bad;
            return check(kStatusMarker2, kRequestMarker.data(), 2);
        case FrameType::kShort: {
            static constexpr Byte colon = ':';
            if ((bad = check(kShortMarker1, kRequestMarker.data(), 2)) >= 0) return bad;
            if ((bad = check(3, kShortFixed.data(), kShortFixed.size())) >= 0) return bad;
            if ((bad = check(kShortColon, &colon, 1)) >= 0) return bad;
            return check(kShortMarker2, kRequestMarker.data(), 2);
        }
        case FrameType::kLong: {
            static constexpr Byte zeros[6] = {'0', '0', '0', '0', '0', '0'};
            if ((bad = check(kLongLead, &kLongLeadByte, 1)) >= 0) return bad;
            if ((bad = check(kLongZeros, zeros, 6)) >= 0) return bad;
            return check(kLongMarker, kRequestMarker.data(), 2);
        }
    }
    return -1;
}

}  // namespace bdesim

#endif
