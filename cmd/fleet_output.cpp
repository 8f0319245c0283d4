// SPDX-License-Identifier: MIT
// xelfleet's results: the names and meanings of the outcomes, the rows in
// four formats, the summary and exit status, the job log.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cmd/fleet.h"
#include "tcpcom/internal.h"
#include "xelbde/xelbde.h"

namespace fleet {
namespace {

constexpr int kMaxExitStatus = 125;
constexpr int kMaxNameWidth = 16;

std::string Seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

void AppendHex(std::string* out, unsigned char byte) {
    constexpr char kDigits[] = "0123456789abcdef";
    *out += kDigits[byte >> 4];
    *out += kDigits[byte & 0xF];
}

// JSON string: quotes and backslashes escaped, every byte outside printable
// ASCII as \u00XX (the byte taken as its Latin-1 character), so the line is
// valid JSON whatever the bytes.
std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte > 0x7E) {
            out += "\\u00";
            AppendHex(&out, byte);
        } else {
            out += c;
        }
    }
    return out + '"';
}

// CSV field: quoted when it holds a comma, a quote or a blank at an end
// (quotes doubled); the bytes are escaped first, so no line end is inside.
std::string CsvField(const std::string& value) {
    const bool quote = value.find_first_of(",\"") != std::string::npos ||
                       (!value.empty() && (value.front() == ' ' || value.back() == ' '));
    if (!quote) return value;
    std::string out = "\"";
    for (char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

}  // namespace

const char* NameOf(const Attempt& attempt) {
    switch (attempt.outcome) {
        case Outcome::kCode: return XelbdeReturnCodeName(attempt.code);
        case Outcome::kSkipped: return "skipped";
        case Outcome::kInterrupted: return "interrupted";
        case Outcome::kSignalled: return "ended-by-signal";
        case Outcome::kNotStarted: return "not-started";
    }
    return "";
}

std::string MeaningOf(const Attempt& attempt, int stopSignal) {
    switch (attempt.outcome) {
        case Outcome::kCode: return XelbdeReturnCodeText(attempt.code);
        case Outcome::kSkipped:
            return stopSignal != 0 ? "not started: stopped by signal " + std::to_string(stopSignal)
                                   : "not started: the round halted after its failures (--halt)";
        case Outcome::kInterrupted: return "interrupted by signal " + std::to_string(stopSignal);
        case Outcome::kSignalled: return "xelcmd ended by signal " + std::to_string(attempt.code - kSignalBase);
        case Outcome::kNotStarted: return "xelcmd could not be started";
    }
    return "";
}

double WallClock() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double Monotonic() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string IsoTime(double epochSeconds) {
    const auto seconds = static_cast<time_t>(epochSeconds);
    const int millis = std::clamp(static_cast<int>((epochSeconds - static_cast<double>(seconds)) * 1000), 0, 999);
    struct tm local{};
    ::localtime_r(&seconds, &local);
    char date[32], zone[8];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);  // +0100: the colon goes in below
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", date, millis, zone, zone + 3);
    return text;
}

Row AttemptRow(const std::string& terminal, const Attempt& attempt, int stopSignal) {
    const bool ran = attempt.outcome != Outcome::kSkipped;
    return {terminal,
            ran ? std::optional(std::to_string(attempt.code)) : std::nullopt,
            NameOf(attempt),
            MeaningOf(attempt, stopSignal),
            ran ? std::optional(IsoTime(attempt.start)) : std::nullopt,
            ran ? std::optional(Seconds(attempt.seconds)) : std::nullopt};
}

std::string Escaped(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte > 0x7E) {
            out += "\\x";
            AppendHex(&out, byte);
        } else {
            out += c;
        }
    }
    return out;
}

// ------------------------------------------------------------- Printer ---

Printer::Printer(Format format, Order order, std::span<const Column> columns, const std::vector<std::string>& terminals)
    : format_(format), order_(order), columns_(columns.begin(), columns.end()), held_(terminals.size()) {
    for (const std::string& terminal : terminals) {
        nameWidth_ = std::max(nameWidth_, std::min(static_cast<int>(Escaped(terminal).size()), kMaxNameWidth));
    }
    if (format_ == Format::kTsv || format_ == Format::kCsv) {
        std::string header;
        for (const Column& column : columns_) {
            if (!header.empty()) header += format_ == Format::kTsv ? '\t' : ',';
            header += column.name;
        }
        std::printf("%s\n", header.c_str());
        std::fflush(stdout);
    }
}

void Printer::Put(std::size_t index, Row row) {
    if (order_ == Order::kCompletion || index >= held_.size()) {
        Write(row);
        return;
    }
    held_[index] = std::move(row);
    for (; next_ < held_.size() && held_[next_]; ++next_) {
        Write(*held_[next_]);
        held_[next_].reset();
    }
}

void Printer::Write(const Row& row) const {
    std::string line;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const Column& column = columns_[i];
        const std::optional<std::string>& value = i < row.size() ? row[i] : std::nullopt;
        switch (format_) {
            case Format::kText:
                if (!column.text) break;
                if (!line.empty()) line += "  ";
                line += value ? Escaped(*value) : "-";
                if (i == 0) line.append(static_cast<std::size_t>(std::max(0, nameWidth_ - static_cast<int>(line.size()))), ' ');
                break;
            case Format::kTsv:
            case Format::kCsv:
                if (i > 0) line += format_ == Format::kTsv ? '\t' : ',';
                if (value) line += format_ == Format::kTsv ? Escaped(*value) : CsvField(Escaped(*value));
                break;
            case Format::kJson:
                line += i == 0 ? "{" : ",";
                line += JsonString(column.name) + ":";
                line += !value ? "null" : column.number ? *value : JsonString(*value);
                break;
        }
    }
    if (format_ == Format::kJson) line += "}";
    // Trailing blanks of the text format (an empty last column) go.
    while (format_ == Format::kText && !line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void HandleStopSignals(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kStopSignals) {
        struct sigaction previous = {};
        ::sigaction(signal, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) ::sigaction(signal, &action, nullptr);
    }
}

// --------------------------------------------------------------- Tally ---

void Tally::Count(const Attempt& attempt) {
    if (attempt.ok()) {
        ++succeeded;
    } else if (attempt.outcome == Outcome::kSkipped) {
        ++skipped;
    } else {
        ++failures[{attempt.code, NameOf(attempt)}];
    }
}

void Tally::PrintSummary() const {
    int failed = 0;
    std::string kinds;
    for (const auto& [key, count] : failures) {
        failed += count;
        kinds += (kinds.empty() ? " (" : ", ") + std::to_string(key.first) + " " + key.second + ": " +
                 std::to_string(count);
    }
    std::string line = "xelfleet: " + std::to_string(terminals) + " terminals, " + std::to_string(succeeded) +
                       " succeeded, " + std::to_string(failed) + " failed" + kinds + (kinds.empty() ? "" : ")");
    if (doneBefore > 0) line += ", " + std::to_string(doneBefore) + " done before";
    if (skipped > 0) line += ", " + std::to_string(skipped) + " skipped";
    if (stopSignal != 0) line += ", stopped by signal " + std::to_string(stopSignal);
    std::fprintf(stderr, "%s\n", line.c_str());
}

int Tally::ExitStatus() const {
    if (stopSignal != 0) return kSignalBase + stopSignal;
    int notDone = skipped;
    for (const auto& entry : failures) notDone += entry.second;
    return std::min(notDone, kMaxExitStatus);
}

// -------------------------------------------------------------- JobLog ---

JobLog::~JobLog() {
    if (fd_ >= 0) ::close(fd_);
}

bool JobLog::Open(const std::string& path) {
    fd_ = OpenByName(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644, kKindOutput, nullptr);
    if (fd_ < 0) return false;
    struct stat status{};
    if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0) {
        constexpr char kHeader[] = "# terminal\tattempt\tstart\tseconds\tcode\tname\n";
        (void)!::write(fd_, kHeader, sizeof kHeader - 1);
    }
    return true;
}

void JobLog::Write(const std::string& terminal, int attempt, const Attempt& result) const {
    if (fd_ < 0) return;
    // One write per line: lines of rounds appending at once stay whole.
    const std::string line = Escaped(terminal) + "\t" + std::to_string(attempt) + "\t" + IsoTime(result.start) +
                             "\t" + Seconds(result.seconds) + "\t" + std::to_string(result.code) + "\t" +
                             NameOf(result) + "\n";
    (void)!::write(fd_, line.data(), line.size());
}

bool ReadWhole(const std::string& path, bool nameFile, std::string* text) {
    const int fd = path == "-"   ? ::dup(STDIN_FILENO)
                   : nameFile    ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC)
                                 : OpenByName(path.c_str(), O_RDONLY | O_CLOEXEC, 0, kKindRegular, nullptr);
    if (fd < 0) return false;
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) text->append(chunk, static_cast<std::size_t>(n));
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return n == 0;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    for (std::size_t from = 0;;) {
        const std::size_t end = text.find(separator, from);
        pieces.push_back(text.substr(from, end - from));
        if (end == std::string::npos) return pieces;
        from = end + 1;
    }
}

std::string Upper(std::string name) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

bool ReadDone(const std::string& path, std::set<std::string>* done) {
    std::string text;
    if (!ReadWhole(path, false, &text)) return errno == ENOENT;
    // The last attempt of a terminal decides: a success after failures is
    // done, a failure after a success (a later round) is not.
    for (const std::string& line : Split(text, '\n')) {
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = Split(line, '\t');
        if (fields.size() < 6) continue;  // not a line of ours (or cut by a crash)
        const std::string name = Upper(fields[0]);
        if (fields[4] == "0") {
            done->insert(name);
        } else {
            done->erase(name);
        }
    }
    return true;
}

}  // namespace fleet
