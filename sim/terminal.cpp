// How a simulated terminal answers: the status query, the long-frame
// commands, and the transfers against its file store.
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

constexpr const char* kUploadProgram = "GFCUPL00";
constexpr const char* kDataDownload = "GFCDNL50";
constexpr const char* kProgramDownload = "GFCDNL00";
constexpr const char* kSystemDownload = "GFCDNL20";

constexpr const char* kOk = "00";
constexpr const char* kMore = "01";
constexpr const char* kStoreError = "95";
constexpr const char* kNotFound = "96";
constexpr const char* kMemoryFull = "97";
constexpr const char* kMalformed = "98";
constexpr const char* kUnknown = "99";

constexpr std::array<const char*, 8> kCommandWords = {"QSVERSION", "QRDFORMAT", "QUPLRDRTB", "QPGCANCEL",
                                                      "QPGMSTART", "QSETCLOCK", "QDIRINFOS", "QSTISDNID"};

bool IsProgram(const Byte* f, const char* program) { return Equals(f, kLongProgram, program, 8); }

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

void AnswerVersion(Terminal& t, Byte* reply) {
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

void AnswerDirectory(Terminal& t, Byte* reply) {
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

void AnswerFreeMemory(Terminal& t, Byte* reply) {
    if (t.config.freeMemory) {
        PutText(reply, kFreeMemoryField, *t.config.freeMemory);
        return;
    }
    std::uint64_t used = t.store.UsedUnits();
    std::uint64_t total = static_cast<std::uint64_t>(t.config.memory);
    PutText(reply, kFreeMemoryField, Units4(used >= total ? 0 : total - used));
}

void AnswerPage(Terminal& t, const Byte* request, Byte* reply) {
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
    bool first = !(state.active && state.type == type && state.name == name);
    const Byte endByte = type == kDataObject ? kEndOfFile : kEndOfProgram;
    const Byte* data = request + kLongData;
    const Byte* end = std::find(data, data + kDataSize, endByte);
    std::size_t length = static_cast<std::size_t>(end - data);
    bool last = length < kDataSize;
    state.active = false;
    if (x.refuse) return;

    std::string path = t.store.PathOf(name, type);
    bool replace = first && (type != kDataObject || Equals(request, kLongCode, "42", 2));
    struct stat st{};
    std::uint64_t size = (!replace && ::stat(path.c_str(), &st) == 0) ? static_cast<std::uint64_t>(st.st_size) : 0;
    if (type == kDataObject || (type == kProgramObject && t.store.countPrograms)) {
        std::uint64_t others = t.store.UsedUnits(name, type);
        if (others + MemoryUnits(size + length) > static_cast<std::uint64_t>(t.config.memory)) {
            SetStatus(reply, kMemoryFull);
            x.trace.Event(x.endpoint.name, '*', "memory full: download of " + name + " refused");
            return;
        }
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (replace ? O_TRUNC : 0), 0644);
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
    if (fd >= 0) ::close(fd);
    if (!written) {
        SetStatus(reply, kStoreError);
        x.trace.Event(x.endpoint.name, '*', "store error writing " + path + ": " + std::strerror(errno));
        return;
    }
    std::string label = type == kSystemObject ? "OS image" : (type == kProgramObject ? "program " : "data file ") + name;
    if (first) x.trace.Event(x.endpoint.name, '*', label + (replace ? " replaced" : " appended"));
    if (last) {
        x.trace.Event(x.endpoint.name, '*', label + " complete, " + std::to_string(size + length) + " bytes");
        SetStatus(reply, kOk);
        return;
    }
    state = DownloadState{true, type, name};
    SetStatus(reply, kMore);
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
    std::string path = t.store.PathOf(name, kDataObject);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        up = UploadState{};
        SetStatus(reply, errno == ENOENT ? kNotFound : kStoreError);
        return;
    }
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0;
    std::uint64_t size = ok ? static_cast<std::uint64_t>(st.st_size) : 0;
    std::uint64_t remaining = size > up.offset ? size - up.offset : 0;
    std::size_t want = remaining >= kDataSize ? kDataSize : static_cast<std::size_t>(remaining);
    std::size_t got = 0;
    while (ok && got < want) {
        ssize_t n = ::pread(fd, reply + kLongData + got, want - got, static_cast<off_t>(up.offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (!ok) {
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

}  // namespace

std::time_t Terminal::Now() const {
    return clockFixed ? fixedTime : static_cast<std::time_t>(std::time(nullptr) + clockOffset);
}

void MakeStatusReply(Byte* reply, Byte status7, Byte status8) {
    Put(reply, kStatusMarker1, kReplyMarker);
    reply[kStatusCode] = status7;
    reply[kStatusCode + 1] = status8;
    Put(reply, kStatusMarker2, kReplyMarker);
}

void MakeShortReply(Byte* reply, const char status[2]) {
    Put(reply, kShortMarker1, kReplyMarker);
    Put(reply, kShortCommand, status, 2);
    reply[kShortColon] = ':';
    std::memset(reply + kShortData, kBlank, kShortDataSize);
    Put(reply, kShortMarker2, kReplyMarker);
}

void MakeLongReply(Byte* reply, const char status[2]) {
    std::memset(reply + kLongData, kBlank, kLongMarker - kLongData);
    SetStatus(reply, status);
    Put(reply, kLongMarker, kReplyMarker);
    reply[kLongSize - 1] = kBlank;
}

void AnswerMalformed(FrameType type, Byte* reply) {
    switch (type) {
        case FrameType::kStatus: MakeStatusReply(reply, 0, 0); break;
        case FrameType::kShort: MakeShortReply(reply, kMalformed); break;
        case FrameType::kLong: MakeLongReply(reply, kMalformed); break;
    }
}

std::string ClassifyTerminal(FrameType type, const Byte* f, const Session& session) {
    if (type == FrameType::kStatus) {
        return f[kStatusCode] == kStatusSysInit && f[kStatusCode + 1] == kStatusSysInit ? "sysinit" : "status";
    }
    if (type == FrameType::kShort) return Equals(f, kShortCommand, "CL", 2) ? "CL" : "unknown";
    if (IsProgram(f, kUploadProgram)) {
        for (const char* word : kCommandWords) {
            if (Equals(f, kLongCommand, word, kLongCommandSize)) return word;
        }
        // A page request is "QMU" with the segment and offset; a data file
        // whose name begins with "QMU" comes with the object type "D" (and
        // "42" to delete it). An offset ending in "D" looks like the object
        // type: that request is a page unless an upload is under way.
        const bool dataObject = f[kLongCommand + 8] == kDataObject;
        const bool uploading = session.upload.active || session.upload.reset;
        if (Equals(f, kLongCommand, "QMU", 3) && !Equals(f, kLongCode, "42", 2) && !(dataObject && uploading)) {
            return "QMU";
        }
        if (dataObject) {
            if (Equals(f, kLongCode, "  ", 2)) return "upload";
            if (Equals(f, kLongCode, "42", 2)) {
                const UploadState& up = session.upload;
                return up.active && up.awaitingAck && up.name == ObjectName(f) ? "ack" : "delete";
            }
            if (Equals(f, kLongCode, "00", 2)) return "ack";
        }
        return "unknown";
    }
    if (IsProgram(f, kDataDownload)) {
        return Equals(f, kLongCommand, "QDIRINFOS", kLongCommandSize) ? "uploadreset" : "download";
    }
    if (IsProgram(f, kProgramDownload) || IsProgram(f, kSystemDownload)) return "download";
    return "unknown";
}

void AnswerTerminal(Exchange& x, const std::string& kind, FrameType type, const Byte* request, Byte* reply) {
    Terminal& t = x.endpoint.terminal;
    if (type == FrameType::kStatus) {
        MakeStatusReply(reply, t.config.status[0], t.config.status[1]);
        if (kind == "sysinit" && !x.refuse) x.trace.Event(x.endpoint.name, '*', "system initialisation");
        return;
    }
    if (type == FrameType::kShort) {
        MakeShortReply(reply, kind == "CL" ? kOk : kUnknown);
        return;
    }
    MakeLongReply(reply, kOk);
    if (kind != "download") x.session.download = DownloadState{};
    if (kind != "upload" && kind != "ack") x.session.upload = UploadState{};

    if (kind == "QSVERSION") {
        AnswerVersion(t, reply);
    } else if (kind == "QSETCLOCK") {
        AnswerSetClock(x, request, reply);
    } else if (kind == "QRDFORMAT") {
        AnswerFreeMemory(t, reply);
    } else if (kind == "QUPLRDRTB") {
        std::memcpy(reply + kLongData, t.readers.data(), kDataSize);
    } else if (kind == "QPGCANCEL") {
        if (!Equals(request, kLongCode, "40", 2)) {
            SetStatus(reply, kMalformed);
        } else if (!x.refuse) {
            t.programRunning = false;
            x.trace.Event(x.endpoint.name, '*', "program cancelled");
        }
    } else if (kind == "QPGMSTART") {
        if (!x.refuse) {
            t.programRunning = true;
            x.trace.Event(x.endpoint.name, '*', "program started");
        }
    } else if (kind == "QSTISDNID") {
        x.trace.Event(x.endpoint.name, '*',
                      "isdn identification name=" + FieldText(request, kIsdnName, 32) +
                          " id=" + FieldText(request, kIsdnId, 32) + " adapter=" + FieldText(request, kIsdnNumber, 32));
    } else if (kind == "QDIRINFOS") {
        AnswerDirectory(t, reply);
    } else if (kind == "QMU") {
        AnswerPage(t, request, reply);
    } else if (kind == "uploadreset") {
        // The upload state was dropped above; block requests come next.
        x.session.upload.reset = true;
    } else if (kind == "upload") {
        AnswerUpload(x, request, reply);
    } else if (kind == "ack") {
        AnswerAck(x, request, reply);
    } else if (kind == "delete") {
        AnswerDelete(x, request, reply);
    } else if (kind == "download") {
        AnswerDownload(x, request, reply);
    } else {
        SetStatus(reply, kUnknown);
    }
}

}  // namespace bdesim
