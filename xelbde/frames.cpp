// SPDX-License-Identifier: MIT
// Terminal frames: building the three request frames, the transactions that
// carry them, the reply time-out and the status query that tells which
// terminal is connected.
//
// Every exchange goes through one narrow pair: SendRequest (the screen-clear
// prefix and the whole frame in one write, or failure) and ReadReply (exactly the reply
// length within the time-out, or failure).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr int kDefaultTimeout = 25;
constexpr int kShortAttempts = 2;

std::atomic<int> g_timeout{0};

constexpr unsigned char kStatusHeader[4] = {0x66, 0xD8, 0x64, 0xD8};
constexpr unsigned char kShortHeader[6] = {0x69, 0x68, 0x67, 0x68, 0xD8, 0xDD};
constexpr unsigned char kLongHeaderByte = 0xD8;

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

bool SendAll(const Session& session, const void* data, int length) {
    int sent = 0;
    return TcpcomWrite(session.socket, data, length, &sent) == kTcpOk && sent == length;
}

// The prefix and the frame leave in one write: the bytes on the wire are
// the same as in two, but each request costs one system call and one
// segment instead of two.
template <std::size_t N>
bool SendRequest(const Session& session, const FrameBytes<N>& request) {
    if (session.StopRequested()) return false;  // no new request once a stop is asked for
    std::array<unsigned char, sizeof kScreenClear + N> wire;
    std::memcpy(wire.data(), kScreenClear, sizeof kScreenClear);
    std::memcpy(wire.data() + sizeof kScreenClear, request.bytes.data(), N);
    return SendAll(session, wire.data(), static_cast<int>(wire.size()));
}

template <std::size_t N>
bool ReadReply(const Session& session, FrameBytes<N>& reply) {
    int received = static_cast<int>(N);
    return tcpcom::ReadSocket(&session.socket, reply.bytes.data(), &received, &session.timeout, session.stops()) ==
               kTcpOk &&
           received == static_cast<int>(N);
}

// Where each kind of reply carries the marker its transaction compares.
bool Answered(const StatusFrame& reply) { return reply.HasMarker(StatusFrame::kMarker, kReplyMarker); }
bool Answered(const ShortFrame& reply) { return reply.HasMarker(ShortFrame::kMarker, kReplyMarker); }
bool Answered(const LongFrame& reply) { return reply.HasMarker(LongFrame::kEndMarker, kReplyMarker); }

// The short transaction: prefix, frame and read repeated once after a
// reply whose bytes 1-2 are not the reply marker.
template <typename Frame>
std::optional<Frame> ShortExchange(const Session& session, const Frame& request) {
    Frame reply;
    for (int attempt = 0; attempt < kShortAttempts; ++attempt) {
        if (!SendRequest(session, request) || !ReadReply(session, reply)) return std::nullopt;
        if (Answered(reply)) return reply;
    }
    return std::nullopt;
}

template <typename Frame>
OneExchange<Frame> ExchangeOnce(const Session& session, const Frame& request) {
    OneExchange<Frame> result;
    if (!SendRequest(session, request)) return result;
    result.sent = true;
    Frame reply;
    if (ReadReply(session, reply) && Answered(reply)) result.reply = reply;
    return result;
}

}  // namespace

template <std::size_t N>
void FrameBytes<N>::PutText(std::size_t offset, const char* text, std::size_t length) {
    if (text == nullptr) return;  // a missing text puts nothing (and memcpy must never see a null pointer)
    std::size_t n = ::strnlen(text, length);
    if (n > N - offset) n = N - offset;
    std::memcpy(bytes.data() + offset, text, n);
}
template struct FrameBytes<12>;
template struct FrameBytes<526>;
template struct FrameBytes<1920>;

void LongFrame::SetProgram(const char* program) { std::memcpy(at(kProgram), program, kProgramLen); }

void LongFrame::SetObject(const char* name, char type) {
    std::memset(at(kCommand), ' ', kObjectNameLen);
    PutText(kCommand, name, kObjectNameLen);
    bytes[kObjectType] = static_cast<unsigned char>(type);
}

StatusFrame BuildStatusFrame(const unsigned char requestCode[2]) {
    StatusFrame frame;
    frame.bytes.fill(' ');
    frame.PutMarker(StatusFrame::kMarker, kRequestMarker);
    std::memcpy(frame.at(StatusFrame::kHeader), kStatusHeader, sizeof kStatusHeader);
    frame.bytes[StatusFrame::kCode] = requestCode[0];
    frame.bytes[StatusFrame::kCode + 1] = requestCode[1];
    frame.PutMarker(StatusFrame::kEndMarker, kRequestMarker);
    return frame;
}

ShortFrame BuildShortFrame(const char command[2]) {
    ShortFrame frame;
    frame.bytes.fill(' ');
    frame.PutMarker(ShortFrame::kMarker, kRequestMarker);
    std::memcpy(frame.at(ShortFrame::kHeader), kShortHeader, sizeof kShortHeader);
    frame.bytes[ShortFrame::kCommand] = static_cast<unsigned char>(command[0]);
    frame.bytes[ShortFrame::kCommand + 1] = static_cast<unsigned char>(command[1]);
    frame.bytes[ShortFrame::kColon] = ':';
    frame.PutMarker(ShortFrame::kEndMarker, kRequestMarker);
    return frame;
}

LongFrame BuildLongFrame() {
    LongFrame frame;
    frame.bytes.fill(' ');
    frame.bytes[LongFrame::kHeaderByte] = kLongHeaderByte;
    std::memset(frame.at(LongFrame::kZeros), '0', LongFrame::kZerosLen);
    frame.PutMarker(LongFrame::kEndMarker, kRequestMarker);
    return frame;
}

LongFrame BuildLongRequest(const char* command, const char* program) {
    LongFrame frame = BuildLongFrame();
    if (command != nullptr) std::memcpy(frame.at(LongFrame::kCommand), command, LongFrame::kCommandLen);
    frame.SetProgram(program);
    return frame;
}

std::optional<StatusFrame> ShortTransaction(const Session& session, const StatusFrame& request) {
    return ShortExchange(session, request);
}

std::optional<ShortFrame> ShortTransaction(const Session& session, const ShortFrame& request) {
    return ShortExchange(session, request);
}

std::optional<LongFrame> LongTransaction(const Session& session, const LongFrame& request) {
    return ExchangeOnce(session, request).reply;
}

OneExchange<LongFrame> SendOnce(const Session& session, const LongFrame& request) {
    return ExchangeOnce(session, request);
}

OneExchange<ShortFrame> SendOnce(const Session& session, const ShortFrame& request) {
    return ExchangeOnce(session, request);
}

Session Session::ForCleanUp() const {
    constexpr int kCleanUpWaitSeconds = 2;
    return Session{socket, std::min(timeout, kCleanUpWaitSeconds), nullptr, false};
}

int GetBdeTimeout() {
    int cached = g_timeout.load(std::memory_order_relaxed);
    if (cached != 0) return cached;
    const char* text = std::getenv("XELBDE_TIMEOUT");
    int value = text != nullptr ? tcpcom::StrtolInt(text) : 0;
    // A negative time-out would make every reply wait fail at once; it counts
    // as not set, like 0.
    if (value <= 0) value = kDefaultTimeout;
    g_timeout.store(value, std::memory_order_relaxed);
    return value;
}

Code SendKorvoCommand(const Session& session, const unsigned char requestCode[2], TerminalType* type) {
    std::optional<StatusFrame> reply = ShortTransaction(session, BuildStatusFrame(requestCode));
    if (!reply || !reply->HasMarker(StatusFrame::kEndMarker, kReplyMarker)) return Code::kExchangeFailed;

    const unsigned char* status = reply->at(StatusFrame::kCode);
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
    if (row != &kUnknownTerminal) return Code::kOk;

    char text[64];
    std::snprintf(text, sizeof text, "Unbekannter Terminalstatus (%#2x %#2x)",
                  static_cast<int>(static_cast<signed char>(status[0])),
                  static_cast<int>(static_cast<signed char>(status[1])));
    TcpcomLog(kSourceXelbde, "SendKorvoCommand", kLogOperation, XELBDE_EXCHANGE_FAILED, 0, text, "");
    return Code::kExchangeFailed;
}

}  // namespace xelbde
