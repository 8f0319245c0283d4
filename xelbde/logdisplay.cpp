// SPDX-License-Identifier: MIT
// The operations log listing: XelbdeDisplayLog reads the XELBDE log, keeps
// the level-100 records of API calls on terminals, narrows them by terminal,
// function, time range and outcome, and writes them as a table.
//
// The log is read without any lock, so writers in other processes are never
// held off while a listing runs. The listing reads the file as it was when it
// was opened (up to the size seen then) and only lines that end with a line
// feed: a record still being appended at the end is left out, never shown
// torn. A rotation during the listing does not disturb it: the open
// descriptor keeps reading the file that became the backup.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr const char* kFunctionName = "XelbdeDisplayLog";
constexpr const char* kHeader = "Terminal   Datum      Uhrzeit  Befehl     Status Parameter\n";
constexpr std::size_t kMaxLine = 1999;     // longest piece of a line taken as one record
constexpr std::size_t kParameterShown = 80;

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// Equal as whole texts, letters a-z compared without regard to case.
bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CompareNoCase(a.data(), b.data(), static_cast<int>(a.size())) == 1;
}

void CopyCut(char* destination, std::size_t capacity, std::string_view source) {
    std::size_t n = source.size() < capacity - 1 ? source.size() : capacity - 1;
    if (n > 0) std::memcpy(destination, source.data(), n);
    destination[n] = '\0';
}

void LogFailure(const char* format, const char* name, int error, const char* reason = nullptr) {
    char message[512];
    std::snprintf(message, sizeof message, format, name);
    if (reason == nullptr) reason = error ? std::strerror(error) : "";
    TcpcomLog(kSourceXelbde, kFunctionName, kLogError, 1, error, message, reason);
}

// Splits at ";" the way a tokenizer that skips runs of separators does: an
// empty field between two ";" is no token.
class Tokens {
  public:
    explicit Tokens(std::string_view text) : rest_(text) {}
    bool Next(std::string_view* token, std::string_view separators) {
        std::size_t start = rest_.find_first_not_of(separators);
        if (start == std::string_view::npos) {
            rest_ = {};
            return false;
        }
        rest_.remove_prefix(start);
        std::size_t end = rest_.find_first_of(separators);
        *token = rest_.substr(0, end);
        rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
        return true;
    }
    std::string_view Rest() const { return rest_; }

  private:
    std::string_view rest_;
};

// One row, formatted by hand: this runs once per listed record and is what
// the listing's speed rests on. The layout is that of
// "%-10.10s %-10.10s %-8.8s %-10.10s   %.2u   %-81.81s\n" with the date as
// "%.2s.%.2s.%.4s" and the time as "%.2s:%.2s:%.2s" of the time stamp.
class Row {
  public:
    // Up to n characters of text (fewer when it ends earlier).
    void Text(const char* text, std::size_t n) {
        std::size_t length = strnlen(text, n);
        std::memcpy(end_, text, length);
        end_ += length;
    }
    void Char(char c) { *end_++ = c; }
    // The text written since mark, padded with blanks or cut to width.
    void Field(char* mark, std::size_t width) {
        std::size_t length = static_cast<std::size_t>(end_ - mark);
        if (length > width) {
            end_ = mark + width;
        } else {
            std::memset(end_, ' ', width - length);
            end_ += width - length;
        }
    }
    void Unsigned(unsigned value) {  // at least two digits
        char digits[12];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (n < 2) digits[n++] = '0';
        while (n > 0) *end_++ = digits[--n];
    }
    char* Mark() const { return end_; }
    const char* Data() const { return buffer_; }
    std::size_t Size() const { return static_cast<std::size_t>(end_ - buffer_); }

  private:
    char buffer_[256];
    char* end_ = buffer_;
};

// Writes one row; returns false when the output could not take it.
bool WriteRow(FILE* out, const DisplayRecord& record) {
    const LogRecord& r = record.log;
    Row row;
    char* mark = row.Mark();
    row.Text(record.terminal, 10);
    row.Field(mark, 10);
    row.Char(' ');
    mark = row.Mark();
    row.Text(r.timestamp + 6, 2), row.Char('.'), row.Text(r.timestamp + 4, 2), row.Char('.');
    row.Text(r.timestamp, 4);
    row.Field(mark, 10);
    row.Char(' ');
    mark = row.Mark();
    row.Text(r.timestamp + 8, 2), row.Char(':'), row.Text(r.timestamp + 10, 2), row.Char(':');
    row.Text(r.timestamp + 12, 2);
    row.Field(mark, 8);
    row.Char(' ');
    mark = row.Mark();
    row.Text(r.function, 10);
    row.Field(mark, 10);
    row.Text("   ", 3);
    row.Unsigned(static_cast<unsigned>(r.rc));
    row.Text("   ", 3);
    mark = row.Mark();
    row.Text(r.text, kParameterShown);
    row.Field(mark, 81);
    row.Char('\n');
    return std::fwrite(row.Data(), 1, row.Size(), out) == row.Size();
}

}  // namespace

int FilterLogRecord(const char* line, DisplayRecord* record, const char* terminal, const char* from,
                    const char* to, const char* function, const char* /*reserved1*/, const char* /*reserved2*/,
                    const char* selection) {
    *record = DisplayRecord{};
    LogRecord& log = record->log;
    std::string_view text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);

    // The first seven fields, in the order LogFormatRecord writes them; text2
    // is not read. A line with fewer fields is no complete record and is
    // skipped.
    Tokens fields(text);
    std::string_view f[7];
    for (int i = 0; i < 7; ++i) {
        if (!fields.Next(&f[i], ";")) return 0;
        // Most lines of a busy log are not operations records: once the
        // level is known, they are rejected without parsing the rest.
        if (i == 3 && (f[3].size() < 3 || f[3].substr(f[3].size() - 3) != "100")) return 0;
    }
    CopyCut(log.timestamp, sizeof log.timestamp, f[0]);
    CopyCut(log.source, sizeof log.source, f[1]);
    CopyCut(log.function, sizeof log.function, f[2]);
    CopyCut(log.levelText, sizeof log.levelText, f[3]);
    CopyCut(log.rcText, sizeof log.rcText, f[4]);
    CopyCut(log.errnumText, sizeof log.errnumText, f[5]);
    CopyCut(log.text, sizeof log.text, f[6]);
    log.level = tcpcom::StrtolInt(log.levelText);
    log.rc = tcpcom::StrtolInt(log.rcText);
    log.errnum = tcpcom::StrtolInt(log.errnumText);
    if (log.level != kLogOperation) return 0;

    // The terminal's name as the call frame wrote it; the parameter text is
    // what follows it, up to a ";". A record without a name is no complete
    // record.
    std::optional<OperationText> split = SplitOperationText(log.text);
    if (!split) return 0;
    CopyCut(record->terminal, sizeof record->terminal, split->terminal);
    std::string_view rest = split->parameters.substr(0, split->parameters.find(';'));
    char parameterText[sizeof log.text];
    CopyCut(parameterText, sizeof parameterText, rest);
    std::memcpy(log.text, parameterText, sizeof parameterText);

    if (!IsEmpty(terminal) && !EqualNoCase(terminal, record->terminal)) return 0;
    if (!IsEmpty(function) && !EqualNoCase(function, log.function)) return 0;
    if (!IsEmpty(from) && std::strncmp(log.timestamp, from, 14) < 0) return 0;
    if (!IsEmpty(to) && std::strncmp(log.timestamp, to, 14) > 0) return 0;

    if (selection != nullptr) {
        if (std::strcmp(selection, "*OK") == 0 && log.rc != 0) return 0;
        if (std::strcmp(selection, "*ERR") == 0 && log.rc == 0) return 0;
    }
    return 1;
}

}  // namespace xelbde

using namespace xelbde;

extern "C" int XelbdeDisplayLog(const char* terminal, const char* outputFile, const char* from, const char* to,
                                const char* function, const char* reserved1, const char* reserved2,
                                const char* selection) {
    // The log is opened before this process starts its own log: the start
    // record may rotate a full log, and the descriptor then goes on reading
    // the records that were there when the listing was asked for. Only what
    // the file held at that moment is listed.
    const char* logName = XelbdeLogFileName();
    int log = OpenByName(logName, O_RDONLY | O_NONBLOCK, 0, kKindAny, nullptr);
    int openError = errno;
    XelbdeInitLog();
    // A log that did not exist yet does now, begun by this process: list it.
    if (log == -1 && openError == ENOENT) {
        log = OpenByName(logName, O_RDONLY | O_NONBLOCK, 0, kKindAny, nullptr);
        openError = errno;
    }
    struct stat st;
    const bool regular = log >= 0 && ::fstat(log, &st) == 0 && S_ISREG(st.st_mode);
    off_t remaining = regular ? st.st_size : 0;
    if (!regular) {
        // A FIFO or device is no log that could be listed: it would wait or never end.
        LogFailure("Fehler beim Oeffnen von %s", logName, log == -1 ? openError : 0);
        if (log >= 0) ::close(log);
        return 1;
    }
    // The listing never goes into the log it lists, nor into its backup:
    // emptying the file first would destroy the records to be listed.
    if (IsLogOrBackup(outputFile, logName)) {
        LogFailure("Fehler beim Oeffnen von %s", outputFile, 0, "Ausgabedatei ist die Logdatei");
        ::close(log);
        return 1;
    }
    // The listing goes into a regular file, a character device or a FIFO
    // with a reader (write-only, so that a FIFO without one fails at once).
    int created = 0;
    const int outFd =
        IsEmpty(outputFile) ? -1 : OpenByName(outputFile, O_WRONLY | O_CREAT | O_TRUNC, 0666, kKindOutput, &created);
    FILE* out = outFd >= 0 ? ::fdopen(outFd, "w") : nullptr;
    if (out == nullptr) {
        LogFailure("Fehler beim Oeffnen von %s", outputFile ? outputFile : "", errno);
        CloseIfOpen(outFd);
        ::close(log);
        return 1;
    }
    // A listing that could not be written whole goes again when this call
    // made its file; a file that was there before is never removed.
    const auto fail = [&](int code) {
        if (created) RemoveHeldFile(outputFile, ::fileno(out));
        std::fclose(out);
        ::close(log);
        return code;
    };
    char outBuffer[1 << 16];
    std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);
    if (std::fputs(kHeader, out) < 0 || std::fflush(out) != 0) {
        LogFailure("Fehler beim Schreiben in %s", outputFile, errno);
        return fail(-1);
    }

    int result = 0;
    char buffer[1 << 16];
    std::size_t held = 0;  // bytes of an unfinished line at the start of buffer
    DisplayRecord record;
    char line[kMaxLine + 1];
    bool readFailed = false;
    while (remaining > 0 && result == 0) {
        std::size_t want = sizeof buffer - held;
        if (static_cast<off_t>(want) > remaining) want = static_cast<std::size_t>(remaining);
        ssize_t got = ::read(log, buffer + held, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            readFailed = got < 0;
            break;
        }
        remaining -= got;
        std::size_t end = held + static_cast<std::size_t>(got);
        std::size_t start = 0;
        while (result == 0) {
            const char* newline = static_cast<const char*>(std::memchr(buffer + start, '\n', end - start));
            std::size_t length = newline ? static_cast<std::size_t>(newline - (buffer + start)) : end - start;
            if (newline == nullptr && length <= kMaxLine) break;  // wait for the rest of this line
            // A line longer than the record limit is taken in pieces, as a
            // line-by-line reader with a bounded buffer would see it.
            std::size_t piece = length < kMaxLine ? length : kMaxLine;
            std::memcpy(line, buffer + start, piece);
            line[piece] = '\0';
            start += piece;
            if (piece == length && newline) ++start;
            if (FilterLogRecord(line, &record, terminal, from, to, function, reserved1, reserved2, selection) &&
                !WriteRow(out, record)) {
                LogFailure("Fehler beim Schreiben in %s", outputFile, errno);
                result = 1;
            }
        }
        held = end - start;
        std::memmove(buffer, buffer + start, held);
    }
    if (readFailed) {
        LogFailure("Fehler beim Lesen aus %s", logName, errno);
        result = 1;
    }
    // Rows still buffered may fail only now.
    if (std::fflush(out) != 0 && result == 0) {
        LogFailure("Fehler beim Schreiben in %s", outputFile, errno);
        result = 1;
    }
    if (result != 0) return fail(result);
    std::fclose(out);
    ::close(log);
    return result;
}
