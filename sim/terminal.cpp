// SPDX-License-Identifier: MIT
// How a simulated terminal answers: the status query, the long-frame
// commands, and the transfers against its file store; and the table of
// request kinds that classifies every request and picks its handler.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/sim.h"

namespace bdesim {
namespace {

constexpr std::string_view kUploadProgram = "GFCUPL00";
constexpr std::string_view kDataDownload = "GFCDNL50";
constexpr std::string_view kProgramDownload = "GFCDNL00";
constexpr std::string_view kSystemDownload = "GFCDNL20";

constexpr const char* kOk = "00";
constexpr const char* kMore = "01";
constexpr const char* kStoreError = "95";
constexpr const char* kNotFound = "96";
constexpr const char* kMemoryFull = "97";
constexpr const char* kMalformed = "98";
constexpr const char* kUnknown = "99";

bool IsProgram(const Byte* f, std::string_view program) { return Equals(f, kLongProgram, program.data(), 8); }

// Object name: command bytes 3-10 without trailing blanks.
std::string ObjectName(const Byte* f) {
    std::string name(reinterpret_cast<const char*>(f + kLongCommand), 8);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

// Text of a request field for the trace: up to the first blank or zero.
std::string FieldText(const Byte* f, std::size_t offset, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n && f[offset + i] != ' ' && f[offset + i] != 0; ++i) {
        Byte c = f[offset + i];
        text += c >= 0x21 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return text;
}

void PutText(Byte* reply, std::size_t offset, const std::string& text) {
    std::memcpy(reply + offset, text.data(), text.size());
}

int Digits2(const Byte* p) {
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return -1;
    return (p[0] - '0') * 10 + (p[1] - '0');
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// HHMMSSDDMMYY as local time; false for anything that is no real time.
bool ParseSetClockTime(const Byte* p, std::time_t& result) {
    int v[6];
    for (int i = 0; i < 6; ++i) {
        if ((v[i] = Digits2(p + 2 * i)) < 0) return false;
    }
    int year = v[5] < 80 ? 2000 + v[5] : 1900 + v[5];
    if (v[0] > 23 || v[1] > 59 || v[2] > 59 || v[4] < 1 || v[4] > 12 || v[3] < 1 ||
        v[3] > DaysInMonth(year, v[4]))
        return false;
    std::tm tm{};
    tm.tm_hour = v[0];
    tm.tm_min = v[1];
    tm.tm_sec = v[2];
    tm.tm_mday = v[3];
    tm.tm_mon = v[4] - 1;
    tm.tm_year = year - 1900;
    tm.tm_isdst = -1;
    result = std::mktime(&tm);
    return result != static_cast<std::time_t>(-1);
}

std::string ClockText(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char text[16] = {};
    std::strftime(text, sizeof text, "%y%m%d%H%M%S", &tm);
    return text;
}

void SetStatus(Byte* reply, const char* status) { Put(reply, kLongCode, status, 2); }

void AnswerVersion(Exchange& x, const Byte*, Byte* reply) {
    const Terminal& t = x.endpoint.terminal;
    PutText(reply, kVersionText, t.config.version.substr(0, kVersionTextMax));
    PutText(reply, kClockField, ClockText(t.Now()));
    reply[kDateFormatField] = static_cast<Byte>(t.dateFormat);
    reply[kRadioField] = static_cast<Byte>(t.config.radio);
}

void AnswerSetClock(Exchange& x, const Byte* request, Byte* reply) {
    Terminal& t = x.endpoint.terminal;
    std::time_t when = 0;
    if (request[kSetClockColon] != ':' || !ParseSetClockTime(request + kSetClockTime, when)) {
        SetStatus(reply, kMalformed);
        x.trace.Event(x.endpoint.name, '*', "clock not set: invalid time " + FieldText(request, kSetClockTime, 12));
        return;
    }
    if (x.refuse) return;
    t.clockFixed = false;
    t.clockOffset = static_cast<long long>(when) - static_cast<long long>(std::time(nullptr));
    t.dateFormat = static_cast<char>(request[kSetClockFormat]);
    x.trace.Event(x.endpoint.name, '*', "clock set to " + ClockText(when));
}

std::string Units4(std::uint64_t units) {
    char text[8];
    std::snprintf(text, sizeof text, "%4u", static_cast<unsigned>(std::min<std::uint64_t>(units, 9999)));
    return text;
}

void AnswerDirectory(Exchange& x, const Byte*, Byte* reply) {
    const Terminal& t = x.endpoint.terminal;
    PutText(reply, kTotalMemoryField, Units4(static_cast<std::uint64_t>(t.config.memory)));
    std::vector<StoredObject> objects = t.store.List();
    if (!t.store.countPrograms) {
        objects.erase(std::remove_if(objects.begin(), objects.end(),
                                     [](const StoredObject& o) { return o.type == kProgramObject; }),
                      objects.end());
    }
    std::size_t position = kDirEntries;
    auto entry = [&](std::uint64_t units, const std::string& name, char type) {
        char text[kDirEntrySize + 1];
        std::snprintf(text, sizeof text, "%4u%-8.8s %c  ", static_cast<unsigned>(std::min<std::uint64_t>(units, 9999)),
                      name.c_str(), type);
        std::memcpy(reply + position, text, kDirEntrySize);
        position += kDirEntrySize;
    };
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (i + 1 == kDirMaxEntries && objects.size() > kDirMaxEntries) {
            std::uint64_t rest = 0;
            for (std::size_t j = i; j < objects.size(); ++j) rest += MemoryUnits(objects[j].size);
            entry(rest, "*REST", ' ');
            break;
        }
        // Names are printable here only when they are; others show as "?".
        std::string shown;
        for (char c : objects[i].name) shown += c >= 0x21 && c < 0x7F ? c : '?';
        entry(MemoryUnits(objects[i].size), shown, objects[i].type);
    }
    PutText(reply, position, "END ");
}

void AnswerFreeMemory(Exchange& x, const Byte*, Byte* reply) {
    const Terminal& t = x.endpoint.terminal;
    if (t.config.freeMemory) {
        PutText(reply, kFreeMemoryField, *t.config.freeMemory);
        return;
    }
    std::uint64_t used = t.store.UsedUnits();
    std::uint64_t total = static_cast<std::uint64_t>(t.config.memory);
    PutText(reply, kFreeMemoryField, Units4(used >= total ? 0 : total - used));
}

void AnswerPage(Exchange& x, const Byte* request, Byte* reply) {
    const Terminal& t = x.endpoint.terminal;
    unsigned value[6];
    for (int i = 0; i < 6; ++i) {
        Byte c = request[kLongCommand + 3 + i];
        if (c >= '0' && c <= '9') {
            value[i] = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            value[i] = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            value[i] = c - 'a' + 10;
        } else {
            SetStatus(reply, kMalformed);
            return;
        }
    }
    unsigned segment = (value[0] << 12) | (value[1] << 8) | (value[2] << 4) | value[3];
    unsigned page = (value[4] << 4) | value[5];
    const char* hex = t.config.hexLower ? "0123456789abcdef" : "0123456789ABCDEF";
    for (unsigned i = 0; i < 256; ++i) {
        unsigned b = (i + 17 * page + 31 * (segment & 0xFF) + 7 * (segment >> 8)) & 0xFF;
        reply[kPageText + 2 * i] = static_cast<Byte>(hex[b >> 4]);
        reply[kPageText + 2 * i + 1] = static_cast<Byte>(hex[b & 15]);
    }
}

void AnswerDownload(Exchange& x, const Byte* request, Byte* reply) {
    Terminal& t = x.endpoint.terminal;
    DownloadState& state = x.session.download;
    char type = 0;
    std::string name;
    Byte type11 = request[kLongCommand + 8];
    if (IsProgram(request, kDataDownload) && type11 == kDataObject) {
        type = kDataObject;
    } else if (IsProgram(request, kProgramDownload) && type11 == kProgramObject) {
        type = kProgramObject;
    } else if (IsProgram(request, kSystemDownload)) {
        type = kSystemObject;
    }
    if (type != kSystemObject) name = ObjectName(request);
    if (type == 0 || (type != kSystemObject && name.empty())) {
        state.active = false;
        SetStatus(reply, kMalformed);
        return;
    }
    bool first = !(state.active && state.type == type && state.name == name && state.file.fd() >= 0);
    const Byte endByte = type == kDataObject ? kEndOfFile : kEndOfProgram;
    const Byte* data = request + kLongData;
    const void* end = std::memchr(data, endByte, kDataSize);
    std::size_t length = end != nullptr ? static_cast<std::size_t>(static_cast<const Byte*>(end) - data) : kDataSize;
    bool last = length < kDataSize;
    state.active = false;
    if (x.refuse) {
        state = DownloadState{};
        return;
    }

    // The path and the label are only needed at the first and the last block.
    auto path = [&] { return t.store.PathOf(name, type); };
    bool replace = first && (type != kDataObject || Equals(request, kLongCode, "42", 2));
    const bool counted = type == kDataObject || (type == kProgramObject && t.store.countPrograms);
    if (first) {
        // The file, its size and the memory of the other objects are taken
        // once per transfer: while it runs nothing else changes the store.
        state = DownloadState{};
        struct stat st{};
        state.size = (!replace && ::stat(path().c_str(), &st) == 0) ? static_cast<std::uint64_t>(st.st_size) : 0;
        if (counted) state.others = t.store.UsedUnits(name, type);
    }
    const std::uint64_t size = state.size;
    if (counted && state.others + MemoryUnits(size + length) > static_cast<std::uint64_t>(t.config.memory)) {
        state = DownloadState{};
        SetStatus(reply, kMemoryFull);
        x.trace.Event(x.endpoint.name, '*', "memory full: download of " + name + " refused");
        return;
    }
    if (first) {
        state.file = StoreFile(::open(path().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (replace ? O_TRUNC : 0), 0644));
    }
    const int fd = state.file.fd();
    bool written = fd >= 0;
    std::size_t done = 0;
    while (written && done < length) {
        ssize_t n = ::write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            written = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!written) {
        const int error = errno;
        state = DownloadState{};
        SetStatus(reply, kStoreError);
        x.trace.Event(x.endpoint.name, '*', "store error writing " + path() + ": " + std::strerror(error));
        return;
    }
    auto label = [&] {
        return type == kSystemObject ? "OS image" : (type == kProgramObject ? "program " : "data file ") + name;
    };
    if (first) x.trace.Event(x.endpoint.name, '*', label() + (replace ? " replaced" : " appended"));
    if (last) {
        state = DownloadState{};
        x.trace.Event(x.endpoint.name, '*', label() + " complete, " + std::to_string(size + length) + " bytes");
        SetStatus(reply, kOk);
        return;
    }
    state.active = true;
    state.type = type;
    if (first) state.name = name;
    state.size = size + length;
    SetStatus(reply, kMore);
}

// Copies want bytes of the file at the upload's offset to out, reading the
// file ahead in pieces of many blocks. False when the file ends before them
// or cannot be read.
bool ReadAhead(UploadState& up, Byte* out, std::size_t want) {
    constexpr std::size_t kAheadSize = 32 * kDataSize;
    if (up.offset < up.aheadAt || up.offset + want > up.aheadAt + up.ahead.size()) {
        up.ahead.resize(kAheadSize);
        std::size_t got = 0;
        while (got < kAheadSize) {
            ssize_t n = ::pread(up.file.fd(), up.ahead.data() + got, kAheadSize - got, static_cast<off_t>(up.offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return false;
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        up.ahead.resize(got);
        up.aheadAt = up.offset;
        if (got < want) return false;
    }
    if (want > 0) std::memcpy(out, up.ahead.data() + (up.offset - up.aheadAt), want);
    return true;
}

void AnswerUpload(Exchange& x, const Byte* request, Byte* reply) {
    Terminal& t = x.endpoint.terminal;
    UploadState& up = x.session.upload;
    std::string name = ObjectName(request);
    if (name.empty()) {
        up = UploadState{};
        SetStatus(reply, kMalformed);
        return;
    }
    if (!up.active || up.awaitingAck || up.name != name) {
        up = UploadState{};
        up.active = true;
        up.name = name;
        up.previous.fill(kBlank);
    }
    if (std::memcmp(request + kLongData, up.previous.data(), kDataSize) != 0) {
        x.trace.Event(x.endpoint.name, '*', "upload of " + name + ": request does not echo the previous block");
    }
    if (up.file.fd() < 0) {
        // The file is opened at the first block and served from then on.
        up.file = StoreFile(::open(t.store.PathOf(name, kDataObject).c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st{};
        if (up.file.fd() < 0 || ::fstat(up.file.fd(), &st) != 0) {
            const int error = errno;
            up = UploadState{};
            SetStatus(reply, error == ENOENT ? kNotFound : kStoreError);
            return;
        }
        up.size = static_cast<std::uint64_t>(st.st_size);
    }
    std::uint64_t remaining = up.size > up.offset ? up.size - up.offset : 0;
    std::size_t want = remaining >= kDataSize ? kDataSize : static_cast<std::size_t>(remaining);
    if (!ReadAhead(up, reply + kLongData, want)) {
        std::memset(reply + kLongData, kBlank, kDataSize);
        up = UploadState{};
        SetStatus(reply, kStoreError);
        return;
    }
    up.offset += want;
    if (want == kDataSize) {
        std::memcpy(up.previous.data(), reply + kLongData, kDataSize);
        SetStatus(reply, kMore);
        return;
    }
    reply[kLongData + want] = kEndOfFile;
    up.awaitingAck = true;
    SetStatus(reply, kOk);
}

void AnswerAck(Exchange& x, const Byte* request, Byte* reply) {
    UploadState& up = x.session.upload;
    std::string name = ObjectName(request);
    bool expected = up.active && up.awaitingAck && up.name == name;
    up = UploadState{};
    if (!expected) {
        SetStatus(reply, kMalformed);
        return;
    }
    bool remove = Equals(request, kLongCode, "42", 2);
    x.trace.Event(x.endpoint.name, '*', "upload of " + name + " acknowledged" + (remove ? ", delete" : ""));
    if (!remove || x.refuse) return;
    if (::unlink(x.endpoint.terminal.store.PathOf(name, kDataObject).c_str()) != 0) SetStatus(reply, kStoreError);
}

void AnswerDelete(Exchange& x, const Byte* request, Byte* reply) {
    std::string name = ObjectName(request);
    if (name.empty()) {
        SetStatus(reply, kMalformed);
        return;
    }
    std::string path = x.endpoint.terminal.store.PathOf(name, kDataObject);
    if (x.refuse) return;
    if (::unlink(path.c_str()) != 0) {
        SetStatus(reply, errno == ENOENT ? kNotFound : kStoreError);
        return;
    }
    x.trace.Event(x.endpoint.name, '*', "data file " + name + " deleted");
}

void AnswerStatus(Exchange& x, const Byte*, Byte* reply) {
    reply[kStatusCode] = x.endpoint.terminal.config.status[0];
    reply[kStatusCode + 1] = x.endpoint.terminal.config.status[1];
}

void AnswerSysInit(Exchange& x, const Byte* request, Byte* reply) {
    AnswerStatus(x, request, reply);
    if (!x.refuse) x.trace.Event(x.endpoint.name, '*', "system initialisation");
}

void AnswerReaders(Exchange& x, const Byte*, Byte* reply) {
    std::memcpy(reply + kLongData, x.endpoint.terminal.readers.data(), kDataSize);
}

void AnswerCancel(Exchange& x, const Byte* request, Byte* reply) {
    if (!Equals(request, kLongCode, "40", 2)) {
        SetStatus(reply, kMalformed);
    } else if (!x.refuse) {
        x.endpoint.terminal.programRunning = false;
        x.trace.Event(x.endpoint.name, '*', "program cancelled");
    }
}

void AnswerStart(Exchange& x, const Byte*, Byte*) {
    if (x.refuse) return;
    x.endpoint.terminal.programRunning = true;
    x.trace.Event(x.endpoint.name, '*', "program started");
}

void AnswerIsdnId(Exchange& x, const Byte* request, Byte*) {
    x.trace.Event(x.endpoint.name, '*',
                  "isdn identification name=" + FieldText(request, kIsdnName, 32) +
                      " id=" + FieldText(request, kIsdnId, 32) + " adapter=" + FieldText(request, kIsdnNumber, 32));
}

// The upload state is dropped with every other request; block requests come next.
void AnswerUploadReset(Exchange& x, const Byte*, Byte*) { x.session.upload.reset = true; }

// A reply of the frame type with the status; a status reply carries 00 00
// until a handler puts the terminal's status bytes in.
void MakeReply(FrameType type, Byte* reply, const char* status) {
    switch (type) {
        case FrameType::kStatus:
            Put(reply, kStatusMarker1, kReplyMarker);
            reply[kStatusCode] = reply[kStatusCode + 1] = 0;
            Put(reply, kStatusMarker2, kReplyMarker);
            break;
        case FrameType::kShort:
            Put(reply, kShortMarker1, kReplyMarker);
            Put(reply, kShortCommand, status, 2);
            reply[kShortColon] = ':';
            std::memset(reply + kShortData, kBlank, kShortDataSize);
            Put(reply, kShortMarker2, kReplyMarker);
            break;
        case FrameType::kLong:
            std::memset(reply + kLongData, kBlank, kLongMarker - kLongData);
            SetStatus(reply, status);
            Put(reply, kLongMarker, kReplyMarker);
            reply[kLongSize - 1] = kBlank;
            break;
    }
}

}  // namespace

std::time_t Terminal::Now() const {
    return clockFixed ? fixedTime : static_cast<std::time_t>(std::time(nullptr) + clockOffset);
}

// Every kind of exchange in the order of Kind. A request with a command word
// is told by its row (a long one under the row's program); Classify's rules
// tell the others.
constexpr std::array<KindRow, kKindCount> kKinds = {{
    {Kind::kStatus, "status", FrameType::kStatus, "", "", AnswerStatus, nullptr},
    {Kind::kSysInit, "sysinit", FrameType::kStatus, "", "\xF7\xF7", AnswerSysInit, nullptr},
    {Kind::kVersion, "QSVERSION", FrameType::kLong, kUploadProgram, "QSVERSION", AnswerVersion, nullptr},
    {Kind::kFreeMemory, "QRDFORMAT", FrameType::kLong, kUploadProgram, "QRDFORMAT", AnswerFreeMemory, nullptr},
    {Kind::kReaders, "QUPLRDRTB", FrameType::kLong, kUploadProgram, "QUPLRDRTB", AnswerReaders, nullptr},
    {Kind::kCancel, "QPGCANCEL", FrameType::kLong, kUploadProgram, "QPGCANCEL", AnswerCancel, nullptr},
    {Kind::kStart, "QPGMSTART", FrameType::kLong, kUploadProgram, "QPGMSTART", AnswerStart, nullptr},
    {Kind::kSetClock, "QSETCLOCK", FrameType::kLong, kUploadProgram, "QSETCLOCK", AnswerSetClock, nullptr},
    {Kind::kDirectory, "QDIRINFOS", FrameType::kLong, kUploadProgram, "QDIRINFOS", AnswerDirectory, nullptr},
    {Kind::kIsdnId, "QSTISDNID", FrameType::kLong, kUploadProgram, "QSTISDNID", AnswerIsdnId, nullptr},
    {Kind::kPage, "QMU", FrameType::kLong, kUploadProgram, "", AnswerPage, nullptr},
    {Kind::kUpload, "upload", FrameType::kLong, kUploadProgram, "", AnswerUpload, nullptr},
    {Kind::kAck, "ack", FrameType::kLong, kUploadProgram, "", AnswerAck, nullptr},
    {Kind::kUploadReset, "uploadreset", FrameType::kLong, kDataDownload, "QDIRINFOS", AnswerUploadReset, nullptr},
    {Kind::kDelete, "delete", FrameType::kLong, kUploadProgram, "", AnswerDelete, nullptr},
    {Kind::kDownload, "download", FrameType::kLong, "", "", AnswerDownload, nullptr},
    {Kind::kUnknown, "unknown", {}, "", "", nullptr, nullptr},
    {Kind::kLineStatus, "ST", FrameType::kShort, "", "ST", nullptr, AnswerLineStatus},
    {Kind::kIdentify, "ID", FrameType::kShort, "", "ID", nullptr, AnswerIdentify},
    {Kind::kDial, "DN", FrameType::kShort, "", "DN", nullptr, AnswerDial},
    {Kind::kHangUp, "CL", FrameType::kShort, "", "CL", AnswerHangUp, AnswerHangUp},
    {Kind::kAny, "any", {}, "", "", nullptr, nullptr},
    {Kind::kConnect, "connect", {}, "", "", nullptr, nullptr},
    {Kind::kMalformed, "malformed", {}, "", "", nullptr, nullptr},
}};

namespace {

// Rows in the order of the kinds, names distinct in any case, command words
// as long as the request field they are compared with, under a whole program.
constexpr bool TableIsSound() {
    for (std::size_t i = 0; i < kKinds.size(); ++i) {
        const KindRow& row = kKinds[i];
        const bool isLong = row.frame == FrameType::kLong;
        if (static_cast<std::size_t>(row.kind) != i) return false;
        if (!row.command.empty() && row.command.size() != (isLong ? kLongCommandSize : 2)) return false;
        if (!row.command.empty() && isLong && row.program.size() != 8) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (SameInAnyCase(row.name, kKinds[j].name)) return false;
        }
    }
    return true;
}
static_assert(TableIsSound(), "the table of kinds does not match Kind or the frame fields");

Handler HandlerOf(const KindRow& row, const Endpoint& e) { return e.isAdapter ? row.adapter : row.terminal; }

}  // namespace

Kind Classify(const Endpoint& who, FrameType type, const Byte* f, const Session& session) {
    const std::size_t at =
        type == FrameType::kLong ? kLongCommand : type == FrameType::kShort ? kShortCommand : kStatusCode;
    for (const KindRow& row : kKinds) {
        if (row.frame != type || row.command.empty() || HandlerOf(row, who) == nullptr) continue;
        if (type == FrameType::kLong && !IsProgram(f, row.program)) continue;
        if (Equals(f, at, row.command.data(), row.command.size())) return row.kind;
    }
    if (who.isAdapter || type == FrameType::kShort) return Kind::kUnknown;
    if (type == FrameType::kStatus) return Kind::kStatus;
    if (IsProgram(f, kUploadProgram)) {
        // A page request is "QMU" with the segment and offset; a data file
        // whose name begins with "QMU" comes with the object type "D" (and
        // "42" to delete it). An offset ending in "D" looks like the object
        // type: that request is a page unless an upload is under way.
        const bool dataObject = f[kLongCommand + 8] == kDataObject;
        const bool uploading = session.upload.active || session.upload.reset;
        const bool code42 = Equals(f, kLongCode, "42", 2);
        if (Equals(f, kLongCommand, "QMU", 3) && !code42 && !(dataObject && uploading)) return Kind::kPage;
        if (dataObject && Equals(f, kLongCode, "  ", 2)) return Kind::kUpload;
        if (dataObject && code42) {
            const UploadState& up = session.upload;
            return up.active && up.awaitingAck && up.name == ObjectName(f) ? Kind::kAck : Kind::kDelete;
        }
        if (dataObject && Equals(f, kLongCode, "00", 2)) return Kind::kAck;
        return Kind::kUnknown;
    }
    if (IsProgram(f, kDataDownload) || IsProgram(f, kProgramDownload) || IsProgram(f, kSystemDownload)) {
        return Kind::kDownload;
    }
    return Kind::kUnknown;
}

void Answer(Exchange& x, Kind kind, FrameType type, const Byte* request, Byte* reply) {
    const Handler handler = HandlerOf(kKinds[static_cast<std::size_t>(kind)], x.endpoint);
    // Malformed requests, and status and long frames to an adapter without a call.
    if (kind == Kind::kMalformed || (x.endpoint.isAdapter && type != FrameType::kShort)) {
        MakeReply(type, reply, kMalformed);
        return;
    }
    MakeReply(type, reply, handler != nullptr ? kOk : kUnknown);
    if (type == FrameType::kLong) {
        // A transfer goes on only while its own requests follow each other.
        if (kind != Kind::kDownload) x.session.download = DownloadState{};
        if (kind != Kind::kUpload && kind != Kind::kAck) x.session.upload = UploadState{};
    }
    if (handler != nullptr) handler(x, request, reply);
}

}  // namespace bdesim
