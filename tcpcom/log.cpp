// SPDX-License-Identifier: MIT
// The log facility: one size-limited log file per process, shared with every
// other process that writes the same file. Each record is appended under an
// exclusive lock of the file, which is opened and closed for every record;
// a full file is renamed to its single backup and a new file begun.
//
// The configuration (file, level, size) is set once per log start, under a
// lock, and published through the level: a writer that sees a level sees the
// file name and size that go with it. The start record is written before the
// level is published, so no other thread ever sees a level the caller did
// not configure.
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"

namespace {

constexpr const char* kSourceTcpcom = "tcpcom";
constexpr const char* kWriterName = "LogWriteString";
constexpr const char* kTraceFile = "tcpcom.dbg";
constexpr int kTraceLevel = 9999;
constexpr int kTraceSizeKb = 2000;
constexpr int kNoLog = -1;
constexpr int kNewFileMode = 0666;  // read and write, subject to the umask

constexpr size_t kSourceMax = 30;
constexpr size_t kFunctionMax = 70;
constexpr size_t kTextMax = 200;
constexpr size_t kText2Max = 100;

// Log configuration. Written by TcpcomInitLog only, under g_initMutex; the
// name and size before the level is published.
std::mutex g_initMutex;
char g_logName[kLogNameMax + 1];
std::atomic<int> g_level{kNoLog};
int g_sizeKb = 0;
std::atomic<bool> g_trace{false};

int Level() { return g_level.load(std::memory_order_acquire); }

// The record's fields are built by hand, not by the formatted printing
// functions: a record costs little more than its append then. Each helper
// gives the bytes its printf conversion would.

// snprintf(destination, size, "%.*s", max, source).
void CopyCut(char* destination, size_t size, const char* source, size_t max) {
    size_t n = source != nullptr ? ::strnlen(source, max) : 0;
    if (n > size - 1) n = size - 1;
    if (n > 0) std::memcpy(destination, source, n);
    destination[n] = '\0';
}

// snprintf(destination, size, "%.*d", digits, value): the sign, then at
// least that many digits.
void FormatDigits(char* destination, size_t size, int value, int digits) {
    char reversed[24];
    int count = 0;
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(static_cast<long long>(value))
                                             : static_cast<unsigned long long>(value);
    do {
        reversed[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count < digits && count < static_cast<int>(sizeof reversed)) reversed[count++] = '0';
    char text[26];
    size_t used = 0;
    if (value < 0) text[used++] = '-';
    while (count > 0) text[used++] = reversed[--count];
    text[used] = '\0';
    CopyCut(destination, size, text, used);
}

// Opens the log file exclusively. The share-mode open makes sure that the
// descriptor still is the file at the log's path once it is held: another
// writer may have rotated the file while we waited for the lock, and a
// record written into the backup would sit behind newer ones. The log is
// a regular file or a character device (/dev/null: records go nowhere).
// Returns the descriptor with the file's status, or -1 with errno set.
int OpenCurrentLog(int mode, tcpcom::FileStatus* status) {
    return tcpcom::OpenWithRetry(g_logName, O_RDWR | O_APPEND | O_CREAT, kShareDenyReadWrite, mode, status,
                                 kKindRegular | kKindCharDevice);
}

// The facility's own messages go to standard error, which is the
// program's channel for trouble: standard output carries the result of
// its command. Each distinct message is printed once per process; a log
// that cannot be written would otherwise repeat it at every record.
constexpr std::size_t kNoticesKept = 64;
std::mutex g_noticeMutex;
std::array<std::uint64_t, kNoticesKept> g_notices{};
std::size_t g_noticeCount = 0;

std::uint64_t Fingerprint(const char* text) {
    std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        hash = (hash ^ *p) * 1099511628211ULL;
    }
    return hash;
}

[[gnu::format(printf, 1, 2)]] void Notice(const char* format, ...) {
    char text[kLogNameMax * 2 + 512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::uint64_t print = Fingerprint(text);
    {
        std::lock_guard<std::mutex> guard(g_noticeMutex);
        for (std::size_t i = 0; i < g_noticeCount; ++i) {
            if (g_notices[i] == print) return;
        }
        if (g_noticeCount == kNoticesKept) return;  // enough said
        g_notices[g_noticeCount++] = print;
    }
    std::fputs(text, stderr);
}

void PrintOpenFailure(int error) {
    Notice("%s: Datei %s konnte nicht exclusiv geoeffnet werden (%s)\n", kWriterName, g_logName, std::strerror(error));
}

// An error record that could not be logged is not lost from sight: its
// text goes to standard error, as a record without a log has always shown it.
void ShowLostError(int level, const char* text, const char* text2) {
    if (level == kLogError) std::fprintf(stderr, "Fehler: %s %s\n", text, text2);
}

}  // namespace

extern "C" void LogBackupName(const char* name, char* backup, size_t size) {
    const char* dot = std::strrchr(name, '.');
    if (dot == name) {
        std::snprintf(backup, size, "_%s", name);
    } else {
        std::snprintf(backup, size, "%s", name);
        if (dot != nullptr && static_cast<size_t>(dot - name) < size) backup[dot - name - 1] = '_';
    }
    // No "." at all, or a "_" before it already, would leave no backup
    // distinct from the log, and the log would grow without bound or lose
    // its records: the backup is then the log's name with "_" appended.
    if (dot == nullptr || std::strcmp(backup, name) == 0) std::snprintf(backup, size, "%s_", name);
}

extern "C" int IsLogOrBackup(const char* path, const char* logName) {
    if (path == nullptr || logName == nullptr || logName[0] == '\0') return 0;
    char backup[kLogNameMax + 2];
    LogBackupName(logName, backup, sizeof backup);
    return SameFileOrName(path, logName) || SameFileOrName(path, backup) ? 1 : 0;
}

extern "C" int LogWriteString(const char* line) {
    if (line == nullptr || g_logName[0] == '\0') return 0;
    const long long limit = static_cast<long long>(g_sizeKb) * 1024;
    bool rotated = false;
    int mode = kNewFileMode;  // a file begun at rotation keeps the old file's permission bits
    int fd = -1;
    long long size = 0;
    for (;;) {
        tcpcom::FileStatus status;
        fd = OpenCurrentLog(mode, &status);
        if (fd < 0) {
            PrintOpenFailure(errno);
            return 0;
        }
        size = status.size;
        // One rotation per record: after it the record goes into the new
        // file whatever its size (a negative limit rotates at every record).
        // Only a regular file is rotated: a device (/dev/null) keeps its name.
        if (rotated || size < limit || !S_ISREG(status.mode)) break;

        char backup[kLogNameMax + 2];
        LogBackupName(g_logName, backup, sizeof backup);
        // The file is renamed while this writer still holds it, so no other
        // writer can rotate the same generation again in between.
        ::unlink(backup);
        if (::rename(g_logName, backup) != 0) {
            Notice("%s: Fehler (%s) beim Umbenennen von %s nach %s\n", kWriterName, std::strerror(errno), g_logName,
                   backup);
            ::close(fd);
            return 0;
        }
        ::close(fd);
        mode = static_cast<int>(status.mode & 0666);
        rotated = true;
    }

    const size_t length = std::strlen(line);
    const size_t written = tcpcom::WriteAll(fd, line, length);
    const int error = written < length ? errno : 0;
    int result = 1;
    if (written < length) {
        // Only whole records stay: a torn one would run into the next.
        [[maybe_unused]] const int cut = written > 0 ? ::ftruncate(fd, static_cast<off_t>(size)) : 0;
        Notice("%s: Fehler (%s) beim Schreiben der Fehlerdatei (%s)\nzu schreibende Laenge: %ld; geschrieben: %ld\n",
               kWriterName, std::strerror(error), g_logName, static_cast<long>(length), static_cast<long>(written));
        result = 0;
    }
    ::close(fd);
    return result;
}

extern "C" size_t LogFormatRecord(const LogRecord* record, char* buf, size_t size) {
    if (buf == nullptr || size == 0) return 0;
    buf[0] = '\0';
    if (record == nullptr) return 0;
    const char* fields[8] = {record->timestamp, record->source,  record->function, record->levelText,
                             record->rcText,    record->errnumText, record->text,   record->text2};
    // Each field and its separator appended as snprintf(buf + used, size -
    // used, "%s%s", ...) would: what fits, always terminated.
    size_t used = 0;
    for (int i = 0; i < 8; ++i) {
        const size_t length = std::strlen(fields[i]);
        const size_t room = size - used - 1;
        const size_t n = length < room ? length : room;
        std::memcpy(buf + used, fields[i], n);
        buf[used + n] = '\0';
        if (length < room) {
            buf[used + length] = i < 7 ? ';' : '\n';
            buf[used + length + 1] = '\0';
        }
        used += length + 1;
        if (used >= size) {
            used = size - 1;
            break;
        }
    }
    return used;
}

namespace {

// Formats one record and appends it, whatever the configured level.
int WriteRecord(const char* source, const char* function, int level, int rc, int errnum, const char* text,
                const char* text2) {
    // The record and its line live on the stack, so records written from
    // several threads do not share a buffer.
    LogRecord record{};
    record.time = ::time(nullptr);
    // The records of one second share its timestamp: it is converted once.
    thread_local time_t lastTime = -1;
    thread_local char lastStamp[sizeof record.timestamp];
    if (record.time != lastTime) {
        struct tm local {};
        if (::localtime_r(&record.time, &local) == nullptr ||
            std::strftime(lastStamp, sizeof lastStamp, "%Y%m%d%H%M%S", &local) == 0) {
            std::snprintf(lastStamp, sizeof lastStamp, "?");
        }
        lastTime = record.time;
    }
    std::memcpy(record.timestamp, lastStamp, sizeof record.timestamp);
    CopyCut(record.source, sizeof record.source, source, kSourceMax);
    CopyCut(record.function, sizeof record.function, function, kFunctionMax);
    record.level = level;
    FormatDigits(record.levelText, sizeof record.levelText, level, 4);
    record.rc = rc;
    FormatDigits(record.rcText, sizeof record.rcText, rc, 4);
    record.errnum = errnum;
    FormatDigits(record.errnumText, sizeof record.errnumText, errnum, 5);
    CopyCut(record.text, sizeof record.text, text, kTextMax);
    CopyCut(record.text2, sizeof record.text2, text2, kText2Max);

    char line[kLogLineMax];  // LogFormatRecord terminates what it writes
    LogFormatRecord(&record, line, sizeof line);
    return LogWriteString(line);
}

// TcpcomInitLog with g_initMutex held.
int InitLogLocked(const char* name, int level, int sizeKb) {
    const size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length > 0 && length < kLogNameMax) {
        std::snprintf(g_logName, sizeof g_logName, "%s", name);
        g_sizeKb = sizeKb;
        char text[kLogNameMax + 80];
        std::snprintf(text, sizeof text, "Initialisierung Logdatei '%s' (LogLevel: %d Dateilaenge: %d)", name, level,
                      sizeKb);
        if (WriteRecord(kSourceTcpcom, "TcpcomInitLog", kLogDump, 0, 0, text, "") == 1) {
            g_level.store(level, std::memory_order_release);
            return 1;
        }
    }
    g_level.store(kNoLog, std::memory_order_release);
    g_logName[0] = '\0';
    return 0;
}

}  // namespace

extern "C" int TcpcomLog(const char* source, const char* function, int level, int rc, int errnum, const char* text,
                         const char* text2) {
    if (text == nullptr) text = "";
    if (text2 == nullptr) text2 = "";
    const int configured = Level();
    if (configured == kNoLog) {
        Notice("TcpcomLog: Keine Log-Datei initialisiert. Zuerst die Funktion 'TcpcomInitLog' aufrufen\n");
        ShowLostError(level, text, text2);
        return 0;
    }
    if (level > configured) return 1;
    const int written = WriteRecord(source, function, level, rc, errnum, text, text2);
    if (written != 1) ShowLostError(level, text, text2);
    return written;
}

extern "C" int TcpcomInitLog(const char* name, int level, int sizeKb) {
    std::lock_guard<std::mutex> guard(g_initMutex);
    return InitLogLocked(name, level, sizeKb);
}

extern "C" void LogHexDump(const char* source, const void* data, int length, const char* title) {
    if (data == nullptr || length <= 0) return;
    // A configured level below the dump level drops every line: skip the formatting.
    const int configured = Level();
    if (configured != kNoLog && configured < kLogDump) return;
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (int offset = 0; offset < length; offset += 16) {
        const int count = length - offset < 16 ? length - offset : 16;
        char line[96];
        size_t used = static_cast<size_t>(std::snprintf(line, sizeof line, "%07d>   ", offset));
        for (int column = 0; column < 16; ++column) {
            if (column == 8) line[used++] = ' ';
            if (column < count) {
                used += static_cast<size_t>(std::snprintf(line + used, sizeof line - used, "%02X ", bytes[offset + column]));
            } else {
                std::memcpy(line + used, "   ", 3);
                used += 3;
            }
        }
        line[used++] = ' ';
        line[used++] = '|';
        for (int column = 0; column < count; ++column) {
            const unsigned char c = bytes[offset + column];
            line[used++] = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
        }
        line[used++] = '|';
        line[used] = '\0';
        TcpcomLog(source, title, kLogDump, 0, 0, line, "");
    }
}

extern "C" void TcpcomInitTrace(void) {
    if (Level() == kNoLog) {
        if (std::getenv("DEBUG_TCPCOM") != nullptr) {
            std::lock_guard<std::mutex> guard(g_initMutex);
            // Another thread may have started a log meanwhile: start the
            // trace file only where there still is none.
            if (Level() == kNoLog && InitLogLocked(kTraceFile, kTraceLevel, kTraceSizeKb) == 1) g_trace = true;
        } else {
            g_trace = false;
        }
        return;
    }
    g_trace = Level() >= kLogDump;
}

extern "C" int TcpcomLogLevel(void) { return Level(); }

extern "C" const char* TcpcomLogFileName(void) { return g_logName; }

extern "C" int TcpcomTraceOn(void) { return g_trace ? 1 : 0; }
