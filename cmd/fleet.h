/* SPDX-License-Identifier: MIT */
// xelfleet's parts: the results every terminal gets (a row of named
// columns), their output in four formats and in either order, the job log,
// and the two ways of running a round: one xelcmd process per terminal
// (fleet_run.cpp) or the inventory's threads in this process
// (fleet_inventory.cpp). fleet.cpp reads the command line and the
// selection of terminals and puts them together.
#ifndef CMD_FLEET_H
#define CMD_FLEET_H

#include <csignal>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace fleet {

constexpr int kSignalBase = 128;  // an exit status 128 + N: ended by signal N
constexpr int kExecFailed = 127;  // the exit status of a child whose exec failed

// The outcome of one terminal: a code (the library's, or xelcmd's exit
// status) or one of xelfleet's own outcomes, each with a name of its own.
enum class Outcome {
    kCode,         // the code says it; its name comes from the library
    kSkipped,      // not started (after --halt, or after a stop signal)
    kInterrupted,  // ended on the stop signal xelfleet passed on
    kSignalled,    // xelcmd ended on a signal of its own (a crash)
    kNotStarted,   // xelcmd could not be started
};

// What a terminal's attempt came to.
struct Attempt {
    Outcome outcome = Outcome::kSkipped;
    int code = 0;         // meaningless for kSkipped
    double start = 0;     // wall-clock time, seconds since the epoch
    double seconds = 0;   // taken
    bool ok() const { return outcome == Outcome::kCode && code == 0; }
};
const char* NameOf(const Attempt& attempt);
std::string MeaningOf(const Attempt& attempt, int stopSignal);

// ISO 8601 local time with the zone's offset, to the millisecond:
// 2026-12-09T18:40:00.123+01:00.
std::string IsoTime(double epochSeconds);
double WallClock();
double Monotonic();

// ------------------------------------------------------------- output ---

enum class Format { kText, kTsv, kCsv, kJson };
enum class Order { kCompletion, kInput };

struct Column {
    const char* name;
    bool number;  // unquoted in JSON (null when missing)
    bool text;    // shown by the text format
};

// One terminal's values, column by column; nullopt: missing (empty in the
// separated formats, null in JSON, "-" in the text format). Values are the
// bytes as they came; the printer escapes them.
using Row = std::vector<std::optional<std::string>>;

// The first six columns of every round: terminal, code, name, meaning,
// start, seconds.
inline constexpr Column kAttemptColumns[] = {
    {"terminal", false, true}, {"code", true, true},     {"name", false, true},
    {"meaning", false, false}, {"start", false, false}, {"seconds", true, true},
};
Row AttemptRow(const std::string& terminal, const Attempt& attempt, int stopSignal);

// Bytes outside printable ASCII, and the backslash, escaped: \xHH (\\).
std::string Escaped(const std::string& bytes);

// Writes the rows to standard output, each as soon as the order allows
// (input order holds a row back until those before it are written). The
// header, for tsv and csv, comes first.
class Printer {
  public:
    Printer(Format format, Order order, std::span<const Column> columns, const std::vector<std::string>& terminals);
    void Put(std::size_t index, Row row);

  private:
    void Write(const Row& row) const;
    Format format_;
    Order order_;
    std::vector<Column> columns_;
    std::vector<std::optional<Row>> held_;
    std::size_t next_ = 0;
    int nameWidth_ = 0;
};

// The tally of a round for its summary on standard error and its exit
// status.
struct Tally {
    std::size_t terminals = 0;
    int succeeded = 0;
    int doneBefore = 0;  // skipped by --resume
    int skipped = 0;
    std::map<std::pair<int, std::string>, int> failures;  // (code, name) -> terminals
    int stopSignal = 0;

    void Count(const Attempt& attempt);
    void PrintSummary() const;
    int ExitStatus() const;
};

// ------------------------------------------------------------ job log ---

// One line per attempt, appended: terminal, attempt, start, seconds, code,
// name, tab-separated; "#" starts the header line a new file gets.
class JobLog {
  public:
    JobLog() = default;
    ~JobLog();
    JobLog(const JobLog&) = delete;
    JobLog& operator=(const JobLog&) = delete;
    bool Open(const std::string& path);  // false: errno says why
    void Write(const std::string& terminal, int attempt, const Attempt& result) const;

  private:
    int fd_ = -1;
};

// The whole file into *text; "-" is standard input. A name file may be of
// any kind (a pipe from the shell, say); other files are read as the
// library reads terminal.ini (a regular file, links as it follows them).
// False with errno set when it cannot be read.
bool ReadWhole(const std::string& path, bool nameFile, std::string* text);

// The pieces of text between separators, empty ones included.
std::vector<std::string> Split(const std::string& text, char separator);

// The terminals whose last attempt in a job log succeeded, in upper case
// (names compare without regard to case). A missing file has none.
bool ReadDone(const std::string& path, std::set<std::string>* done);
std::string Upper(std::string name);

// ------------------------------------------------------------- rounds ---

struct RunSettings {
    int jobs = 8;
    std::vector<std::string> command;  // the command word and its arguments ("{}": the terminal)
    int retries = 0;
    std::set<int> retryCodes;
    int halt = 0;  // 0: never
    const JobLog* jobLog = nullptr;
};

// Runs the command on every terminal, one xelcmd process each; returns
// when all have ended or were skipped.
void RunCommand(const std::vector<std::string>& terminals, const RunSettings& settings, Printer* printer,
                Tally* tally);

// The inventory columns after the attempt's; free_memory only when asked.
std::span<const Column> InventoryColumns(bool freeMemory);
void RunInventory(const std::vector<std::string>& terminals, int threads, bool freeMemory, Printer* printer,
                  Tally* tally);

// The columns of a command round.
std::span<const Column> CommandColumns();

// Signals that stop a round: INT, TERM, HUP.
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Sets handler (or SIG_DFL) for each stop signal the caller did not ignore:
// an ignored one (nohup) stays ignored. SA_RESTART keeps the handler from
// breaking writes to standard output.
void HandleStopSignals(void (*handler)(int));

}  // namespace fleet

#endif
