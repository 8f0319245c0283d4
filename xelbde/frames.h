/* SPDX-License-Identifier: MIT */
// Terminal frames as the library builds and reads them: the status, short
// and long frame, each a fixed-size record with the table of its byte
// offsets, the session a transaction runs on, and the transactions.
//
// Every exchange is one request frame (after the 4-byte screen-clear prefix)
// answered by one reply frame of the same length. A reply that arrives cut
// short is a failed exchange: its missing bytes are never looked at.
#ifndef XELBDE_FRAMES_H
#define XELBDE_FRAMES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tcpcom/internal.h"
#include "xelbde/codes.h"

namespace xelbde {

inline constexpr unsigned char kRequestMarker[2] = {0xCA, 0xCE};
inline constexpr unsigned char kReplyMarker[2] = {0xCE, 0xCA};
inline constexpr unsigned char kScreenClear[4] = {0x1B, '[', '2', 'J'};

// End of the data in a data area: of a file, of a program.
inline constexpr unsigned char kEndOfFileData = 0xA6;
inline constexpr unsigned char kEndOfProgramData = 0x2E;

// A connection as the frame layer uses it: the registered socket, the
// reply time-out in seconds and the cancel mark of the connection, fixed
// when the API call starts. Once a stop is requested (the process-wide
// interruption or the cancel mark) no new request goes out and every wait
// for a reply ends; only a clean-up session still completes its exchange.
struct Session {
    int socket = -1;
    int timeout = 0;
    const tcpcom::CancelMark* cancel = nullptr;
    bool stoppable = true;

    tcpcom::Stops stops() const { return {stoppable, cancel}; }
    bool StopRequested() const { return tcpcom::StopRequested(stops()); }
    // The session of a clean-up exchange (the ISDN hang-up, the upload's
    // failure reset): sent also after a stop, its reply awaited at most the
    // smaller of the time-out and 2 s.
    Session ForCleanUp() const;
    // This session, or after a stop the clean-up session.
    Session ForCleanUpWhenStopped() const { return StopRequested() ? ForCleanUp() : *this; }
};

// The frame bytes with the helpers every kind shares.
template <std::size_t N>
struct FrameBytes {
    static constexpr std::size_t kSize = N;
    std::array<unsigned char, N> bytes;

    unsigned char* at(std::size_t offset) { return bytes.data() + offset; }
    const unsigned char* at(std::size_t offset) const { return bytes.data() + offset; }
    const char* text(std::size_t offset) const { return reinterpret_cast<const char*>(at(offset)); }
    bool HasMarker(std::size_t offset, const unsigned char (&marker)[2]) const {
        return bytes[offset] == marker[0] && bytes[offset + 1] == marker[1];
    }
    void PutMarker(std::size_t offset, const unsigned char (&marker)[2]) {
        bytes[offset] = marker[0];
        bytes[offset + 1] = marker[1];
    }
    // Copies up to length bytes of text (never past its terminator) to offset.
    void PutText(std::size_t offset, const char* text, std::size_t length);
};

// Status frame: the type/status query and the system initialisation.
struct StatusFrame : FrameBytes<12> {
    static constexpr std::size_t kMarker = 1;     // 1-2
    static constexpr std::size_t kHeader = 3;     // 3-6: 0x66 0xD8 0x64 0xD8
    static constexpr std::size_t kCode = 7;       // 7-8: request code, in the reply the terminal status
    static constexpr std::size_t kEndMarker = 9;  // 9-10
};

// Short frame: the ISDN adapter commands and the hang-up.
struct ShortFrame : FrameBytes<526> {
    static constexpr std::size_t kMarker = 1;       // 1-2
    static constexpr std::size_t kHeader = 3;       // 3-8: 0x69 0x68 0x67 0x68 0xD8 0xDD
    static constexpr std::size_t kCommand = 9;      // 9-10: command, in the reply the status
    static constexpr std::size_t kColon = 11;
    static constexpr std::size_t kData = 12;        // 12-523
    static constexpr std::size_t kDataLen = 512;
    static constexpr std::size_t kEndMarker = 524;  // 524-525

    TerminalStatus status() const { return {{text(kCommand)[0], text(kCommand)[1]}}; }
};

// Long frame: every terminal command.
struct LongFrame : FrameBytes<1920> {
    static constexpr std::size_t kHeaderByte = 1;   // 0xD8
    static constexpr std::size_t kCommand = 3;      // 3-11: command word, or object name (3-10) and type (11)
    static constexpr std::size_t kCommandLen = 9;
    static constexpr std::size_t kObjectNameLen = 8;
    static constexpr std::size_t kObjectType = 11;
    static constexpr std::size_t kZeros = 14;       // 14-19: "000000"
    static constexpr std::size_t kZerosLen = 6;
    static constexpr std::size_t kStatus = 49;      // 49-50: request code, in the reply the status
    static constexpr std::size_t kProgram = 72;     // 72-79: the terminal program
    static constexpr std::size_t kProgramLen = 8;
    static constexpr std::size_t kData = 81;        // 81-1872
    static constexpr std::size_t kDataLen = 1792;
    static constexpr std::size_t kEndMarker = 1917; // 1917-1918

    // Fields of the data area, by command.
    static constexpr std::size_t kClockFormat = 81;     // "QSETCLOCK": format, ":", HHMMSSDDMMYY
    static constexpr std::size_t kClockColon = 82;
    static constexpr std::size_t kClockTime = 83;
    static constexpr std::size_t kClockTimeLen = 12;
    static constexpr std::size_t kTotalMemory = 93;     // "QDIRINFOS": total memory, 256-byte units
    static constexpr std::size_t kFirstEntry = 109;     // "QDIRINFOS": one 16-byte entry per object
    static constexpr std::size_t kEntryStep = 16;
    static constexpr std::size_t kFreeMemory = 93;      // "QRDFORMAT": free memory, 4 characters
    static constexpr std::size_t kFreeMemoryLen = 4;
    static constexpr std::size_t kDateTime = 209;       // "QSVERSION": YYMMDDHHMMSS
    static constexpr std::size_t kDateTimeLen = 12;
    static constexpr std::size_t kDateFormat = 222;
    static constexpr std::size_t kRadioClock = 224;
    static constexpr std::size_t kIsdnTerminal = 81;    // "QSTISDNID": three fields of 32
    static constexpr std::size_t kIsdnTerminalId = 113;
    static constexpr std::size_t kIsdnAdapterNumber = 145;
    static constexpr std::size_t kIsdnFieldLen = 32;

    TerminalStatus status() const { return {{text(kStatus)[0], text(kStatus)[1]}}; }
    void SetRequestCode(const char code[2]) {
        bytes[kStatus] = static_cast<unsigned char>(code[0]);
        bytes[kStatus + 1] = static_cast<unsigned char>(code[1]);
    }
    void SetProgram(const char* program /* 8 characters */);
    // A terminal object name in 3-10 (up to a zero byte, or exactly 8
    // bytes), the rest of the name field blank, and the object type in 11.
    void SetObject(const char* name, char type);
    std::span<unsigned char, kDataLen> data() { return std::span<unsigned char, kDataLen>(at(kData), kDataLen); }
    std::span<const unsigned char, kDataLen> data() const {
        return std::span<const unsigned char, kDataLen>(at(kData), kDataLen);
    }
};

// The terminal programs named at 72-79 of a long frame.
inline constexpr char kProgramQueries[] = "GFCUPL00";          // queries, upload, identification
inline constexpr char kProgramDataDownload[] = "GFCDNL50";     // data files; also the upload reset
inline constexpr char kProgramProgramDownload[] = "GFCDNL00";
inline constexpr char kProgramSystemDownload[] = "GFCDNL20";

// Request codes of the status frame.
inline constexpr unsigned char kTypeQuery[2] = {0xBD, 0xF7};
inline constexpr unsigned char kSystemInit[2] = {0xF7, 0xF7};

// Request frames as the terminal expects them, all bytes not set blank.
StatusFrame BuildStatusFrame(const unsigned char requestCode[2]);
ShortFrame BuildShortFrame(const char command[2]);
LongFrame BuildLongFrame();
// BuildLongFrame with the 9 bytes of command at 3-11 (nullptr leaves the
// field blank) and the program at 72-79.
LongFrame BuildLongRequest(const char* command, const char* program);

// One exchange: the reply when one of the right length with its reply
// marker arrived. The short transaction sends everything again once after a
// wrong marker; the long one does not.
std::optional<StatusFrame> ShortTransaction(const Session& session, const StatusFrame& request);
std::optional<ShortFrame> ShortTransaction(const Session& session, const ShortFrame& request);
std::optional<LongFrame> LongTransaction(const Session& session, const LongFrame& request);
// A request sent once, never again, and the reply it got within the
// session's time-out: the upload's final acknowledgement, the hang-up after
// a failed dial-up. sent is false only when the request could not be sent;
// reply is there when a whole reply with its reply marker arrived.
template <typename Frame>
struct OneExchange {
    bool sent = false;
    std::optional<Frame> reply;
};
OneExchange<LongFrame> SendOnce(const Session& session, const LongFrame& request);
OneExchange<ShortFrame> SendOnce(const Session& session, const ShortFrame& request);

// The reply time-out in seconds: XELBDE_TIMEOUT, else 25; read once per process.
int GetBdeTimeout();

// What the status query tells about the connected terminal.
struct TerminalType {
    unsigned char status[2];
    int32_t reserved1;
    int32_t klass;
    int32_t variant;
    int32_t reserved2;
    char model[5];
    char designation[10];
};
// Sends a status frame and looks the terminal status up: kOk for a known
// terminal, kExchangeFailed otherwise (an unknown status fills the record
// and writes a record of its own; a failed exchange leaves it untouched).
Code SendKorvoCommand(const Session& session, const unsigned char requestCode[2], TerminalType* type);

}  // namespace xelbde

#endif
