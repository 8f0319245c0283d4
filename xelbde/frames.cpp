// Terminal frames: the status, short and long frames, the two transactions
// that carry them (screen-clear prefix, frame, reply of the same length), the
// reply time-out and the status query that tells which terminal is connected.
//
// Every exchange goes through one narrow pair: SendAll (the whole buffer or
// failure) and ReadExact (exactly the reply length within the time-out, or
// failure). A reply cut short, because the terminal closed the connection or
// the time ran out, is a failed exchange: its missing bytes are never looked
// at nor passed on.
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tcpcom/tcpcom.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr int kDefaultTimeout = 25;
constexpr int kShortAttempts = 2;

std::atomic<int> g_timeout{0};

// Status frame header bytes 3-6 and short frame header bytes 3-8.
constexpr unsigned char kStatusHeader[4] = {0x66, 0xD8, 0x64, 0xD8};
constexpr unsigned char kShortHeader[6] = {0x69, 0x68, 0x67, 0x68, 0xD8, 0xDD};
constexpr unsigned char kLongHeaderByte = 0xD8;  // byte 1
constexpr int kLongZeros = 14;                   // 14-19: "000000"

struct StatusRow {
    unsigned char status[2];
    int klass;
    int variant;
    const char* model;
    const char* designation;
};

// Terminal status (reply bytes 7-8) to terminal type; the first match wins.
constexpr StatusRow kStatusTable[] = {
    {{0xB5, 0xD8}, 2, 0, "5214", "5214-031"},
    {{0x3F, 0x3F}, 2, 1, "5214", "5214-031"},
    {{0xB5, 0x62}, 1, 0, "5214", "5214-032"},
    {{0xA2, 0xD8}, 3, 0, "4630", "4630-017"},
};
constexpr StatusRow kUnknownTerminal = {{0, 0}, 255, 255, "????", "??~???"};

bool IsMarker(const unsigned char* at, const std::byte (&marker)[2]) {
    return at[0] == std::to_integer<unsigned char>(marker[0]) && at[1] == std::to_integer<unsigned char>(marker[1]);
}

void PutMarker(unsigned char* at, const std::byte (&marker)[2]) {
    at[0] = std::to_integer<unsigned char>(marker[0]);
    at[1] = std::to_integer<unsigned char>(marker[1]);
}

bool SendAll(int socket, const void* data, int length) {
    int sent = 0;
    return TcpcomWrite(socket, data, length, &sent) == kTcpOk && sent == length;
}

bool ReadExact(int socket, unsigned char* buffer, int length) {
    int received = 0;
    return TcpcomRead(socket, buffer, length, &received, CachedBdeTimeout()) == kTcpOk && received == length;
}

// Prefix, request and a complete reply of the same length.
bool Exchange(int socket, const unsigned char* frame, unsigned char* work, int length) {
    return SendAll(socket, kScreenClear, sizeof kScreenClear) && SendAll(socket, frame, length) &&
           ReadExact(socket, work, length);
}

// XELBDE_TIMEOUT as a decimal number: leading white space, an optional sign,
// digits up to the first non-digit (saturating); no digits give 0.
int ParseTimeout(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > INT_MAX) value = INT_MAX;
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace

void BuildStatusFrame(unsigned char* frame, const unsigned char requestCode[2]) {
    std::memset(frame, ' ', kShortFrameLen);
    PutMarker(frame + 1, kRequestMarker);
    std::memcpy(frame + 3, kStatusHeader, sizeof kStatusHeader);
    frame[kStatusReqCode] = requestCode[0];
    frame[kStatusReqCode + 1] = requestCode[1];
    PutMarker(frame + kStatusEndMarker, kRequestMarker);
}

void BuildShortFrame(unsigned char* frame) {
    std::memset(frame, ' ', kShortFrameLen);
    PutMarker(frame + 1, kRequestMarker);
    std::memcpy(frame + 3, kShortHeader, sizeof kShortHeader);
    frame[11] = ':';
    PutMarker(frame + kShortEndMarker, kRequestMarker);
}

void SetLongProgram(unsigned char* frame, const char* program) {
    std::memcpy(frame + kLongProgram, program, kLongProgramLen);
}

void BuildLongRequest(unsigned char* frame, const char* command, const char* program) {
    BuildLongFrame(frame);
    if (command != nullptr) std::memcpy(frame + kLongCommand, command, kLongCommandLen);
    SetLongProgram(frame, program);
}

void BuildLongFrame(unsigned char* frame) {
    std::memset(frame, ' ', kLongFrameLen);
    frame[1] = kLongHeaderByte;
    std::memset(frame + kLongZeros, '0', 6);
    PutMarker(frame + kLongEndMarker, kRequestMarker);
}

int ShortTransaction(int socket, const unsigned char* frame, unsigned char* reply) {
    // A status frame carries the request marker again at 9-10 and is 12 bytes long.
    const int length = IsMarker(frame + kStatusEndMarker, kRequestMarker) ? kStatusFrameLen : kShortFrameLen;
    unsigned char work[kShortFrameLen];
    std::memset(work, ' ', sizeof work);
    for (int attempt = 0; attempt < kShortAttempts; ++attempt) {
        if (!Exchange(socket, frame, work, length)) return 0;
        if (IsMarker(work + 1, kReplyMarker)) {
            if (reply != nullptr) std::memcpy(reply, work, sizeof work);
            return 1;
        }
    }
    return 0;
}

int LongTransaction(int socket, const unsigned char* frame, unsigned char* reply) {
    unsigned char work[kLongFrameLen];
    if (!Exchange(socket, frame, work, kLongFrameLen)) return 0;
    if (!IsMarker(work + kLongEndMarker, kReplyMarker)) return 0;
    if (reply != nullptr) std::memcpy(reply, work, sizeof work);
    return 1;
}

int GetBdeTimeout() {
    int cached = g_timeout.load(std::memory_order_relaxed);
    if (cached != 0) return cached;
    int value = 0;
    if (const char* text = std::getenv("XELBDE_TIMEOUT")) value = ParseTimeout(text);
    // A negative time-out would make every reply wait fail at once; it counts
    // as not set, like 0.
    if (value <= 0) value = kDefaultTimeout;
    g_timeout.store(value, std::memory_order_relaxed);
    return value;
}

int CachedBdeTimeout() { return g_timeout.load(std::memory_order_relaxed); }

int SendKorvoCommand(int socket, const unsigned char requestCode[2], TerminalType* type) {
    unsigned char frame[kShortFrameLen];
    unsigned char reply[kShortFrameLen];
    BuildStatusFrame(frame, requestCode);
    if (!ShortTransaction(socket, frame, reply)) return XELBDE_EXCHANGE_FAILED;
    if (!IsMarker(reply + kStatusEndMarker, kReplyMarker)) return XELBDE_EXCHANGE_FAILED;

    const unsigned char* status = reply + kStatusReqCode;
    const StatusRow* row = &kUnknownTerminal;
    for (const StatusRow& candidate : kStatusTable) {
        if (candidate.status[0] == status[0] && candidate.status[1] == status[1]) {
            row = &candidate;
            break;
        }
    }
    if (type != nullptr) {
        type->status[0] = status[0];
        type->status[1] = status[1];
        type->reserved1 = 0;
        type->klass = row->klass;
        type->variant = row->variant;
        type->reserved2 = 0;
        std::memset(type->model, 0, sizeof type->model);
        std::strncpy(type->model, row->model, sizeof type->model - 1);
        std::memset(type->designation, 0, sizeof type->designation);
        std::strncpy(type->designation, row->designation, sizeof type->designation - 1);
    }
    if (row != &kUnknownTerminal) return XELBDE_OK;

    char text[64];
    std::snprintf(text, sizeof text, "Unbekannter Terminalstatus (%#2x %#2x)",
                  static_cast<int>(static_cast<signed char>(status[0])),
                  static_cast<int>(static_cast<signed char>(status[1])));
    TcpcomLog(kSourceXelbde, "SendKorvoCommand", kLogOperation, XELBDE_EXCHANGE_FAILED, 0, text, "");
    return XELBDE_EXCHANGE_FAILED;
}

int ReplyStatusCode(const unsigned char* status) {
    if (status[0] == '0' && status[1] == '0') return XELBDE_OK;
    // The number is read from the two status bytes alone, never from what
    // follows them in the frame.
    const char field[3] = {static_cast<char>(status[0]), static_cast<char>(status[1]), '\0'};
    return ParseStatusCode(field);
}

}  // namespace xelbde
