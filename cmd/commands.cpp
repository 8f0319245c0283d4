// SPDX-License-Identifier: MIT
// The command table and its dispatch: one command word per run, carried out
// between a connect and a disconnect to the terminal, its result printed or
// left in a file, and the API's return code as the exit status.
#include "cmd/commands.h"
#include "cmd/progress.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"
#include "xelbde/xelbde.h"

namespace {

// Exit statuses of the front end itself; every other status is an API code.
constexpr int kExitNotImplemented = 253;
constexpr int kExitWrongWordCount = 254;
constexpr int kExitUnknownCommand = 255;

// Word positions on the command line (0 is the program name).
constexpr int kTerminalWord = 1;
constexpr int kCommandWord = 2;
constexpr int kMinimumWords = 3;

constexpr int kCommandWordLength = 8;
constexpr std::size_t kResultSize = 2048;
constexpr std::size_t kClockTimeWidth = 12;
constexpr char kSystemTime[] = "*SYSVAL     ";  // the terminal takes the host's local time
constexpr char kClockFormat[] = "1";
constexpr int kDefaultMaxDiff = 90;             // minutes
constexpr char kLogFrom[] = "00000000000000";
constexpr char kLogTo[] = "29991231235959";

// Decimal text-to-integer conversion: leading blanks and a sign allowed, 0 for
// a text without digits, values beyond the range of int held at its ends.
int DecimalValue(const char* text) { return tcpcom::StrtolInt(text); }

const char* FlagText(int value) { return value == 1 ? "1" : "0"; }

struct CommandLine {
    int argc;
    char** argv;
    char* result;  // kResultSize bytes, cleared before the command runs

    const char* terminal() const { return argv[kTerminalWord]; }
    bool has(int words) const { return argc == words; }
};

// The signal that asked the running call to stop (0: none). The call ends
// through its failure path, writes its record, and the program then ends
// with the conventional status for the signal.
volatile std::sig_atomic_t g_stopSignal = 0;

// Connects to the terminal, makes the one API call and disconnects again. A
// failed connect ends at once; the disconnect follows the call whatever the
// call gave. The call's own code wins over the disconnect's.
template <typename Call>
int RunWithConnection(const char* terminal, Call call) {
    char rc[3] = {};  // two digits from the library, the zero after them ends the text
    APALC00B(terminal, nullptr, rc);
    int code = DecimalValue(rc);
    if (code != XELBDE_OK) return code;
    call(rc);
    int callCode = DecimalValue(rc);
    APDLC00B(terminal, nullptr, rc);
    return callCode != XELBDE_OK ? callCode : DecimalValue(rc);
}

// ------------------------------------------------------ showing TMPFILE ---

// The log's name: the one it was started under, or before that the one
// the library will choose (DEBUG_FILE, else xelbde.log), cut as it cuts it.
const char* LogName(char (&chosen)[kLogNameMax + 1]) {
    const char* log = TcpcomLogFileName();
    if (log[0] != '\0') return log;
    const char* file = std::getenv("DEBUG_FILE");
    std::snprintf(chosen, sizeof chosen, "%.*s", static_cast<int>(kLogNameMax), file != nullptr ? file : "xelbde.log");
    return chosen;
}

// Removes a TMPFILE left behind before the library writes its own: a file
// no open holds, or a symbolic link (removed, never followed; what it points
// to is no matter, only whether the link itself is the log's name). A file
// another process holds is in use, not left behind: it stays. So does the log.
void RemoveLeftoverTempFile() {
    struct stat entry {};
    if (::lstat(kTempFileName, &entry) != 0) return;
    if (S_ISLNK(entry.st_mode)) {
        char chosen[kLogNameMax + 1];
        char names[2][kLogNameMax + 2];
        std::snprintf(names[0], sizeof names[0], "%s", LogName(chosen));
        LogBackupName(names[0], names[1], sizeof names[1]);
        for (const char* name : names) {
            struct stat other {};
            if (::lstat(name, &other) == 0 && other.st_dev == entry.st_dev && other.st_ino == entry.st_ino) return;
        }
        ::unlink(kTempFileName);
        return;
    }
    const int fd = ::open(kTempFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    CloseIfOpen(fd);
    if (!held) RemoveTempFile();
}

// A command that shows its result through TMPFILE holds the current
// directory (an exclusive flock on it) from before the library writes the
// file until the file is deleted again, so two runs in one directory take
// turns instead of showing or deleting each other's file. A TMPFILE left
// behind (a file, or a link someone put there) is removed once the turn is
// held, so that the library makes a file of its own. A directory that
// cannot be opened is not held. A stop signal ends the wait for the turn:
// the run then leaves TMPFILE alone, it is another run's.
class TempFileTurn {
  public:
    explicit TempFileTurn(bool needed) {
        if (!needed) return;
        fd_ = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        // Tried without blocking, so that a signal between a look at the
        // stop flag and a blocking wait could not go unnoticed.
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            if (g_stopSignal != 0) {
                stopped_ = true;
                return;
            }
            constexpr timespec kPause{0, 10L * 1000 * 1000};  // a signal ends it early
            ::nanosleep(&kPause, nullptr);
        }
        RemoveLeftoverTempFile();
    }
    ~TempFileTurn() {
        if (fd_ >= 0) ::close(fd_);
    }
    TempFileTurn(const TempFileTurn&) = delete;
    TempFileTurn& operator=(const TempFileTurn&) = delete;

    // True when a stop signal came before the turn: TMPFILE is not ours.
    bool stopped() const { return stopped_; }

  private:
    int fd_ = -1;
    bool stopped_ = false;
};

}  // namespace

void RemoveTempFile() {
    char chosen[kLogNameMax + 1];
    if (!IsLogOrBackup(kTempFileName, LogName(chosen))) std::remove(kTempFileName);
}

namespace {

// Prints the file to standard output. A reader that has gone away (a closed
// pipe) ends the copy but not the program, so TMPFILE is still deleted.
void CopyTempFileToStdout() {
    std::fflush(stdout);
    int fd = OpenByName(kTempFileName, O_RDONLY, 0, kKindAny, nullptr);
    if (fd < 0) {
        std::printf("Fehler beim Einlesen der Datei TMPFILE (%s)\n", std::strerror(errno));
        return;
    }
    struct sigaction ignore = {};
    struct sigaction saved = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &saved);

    std::array<char, 4096> block;
    bool writing = true;
    while (writing) {
        ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(STDOUT_FILENO, block.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                writing = false;
                break;
            }
            done += put;
        }
    }
    ::sigaction(SIGPIPE, &saved, nullptr);
    ::close(fd);
}

// Runs the pager named by PAGER (default "more"; its words split at blanks,
// no shell involved) on TMPFILE and waits for it. While it runs, an interrupt
// from the keyboard is the pager's alone, so this program still deletes
// TMPFILE. Returns false when no pager could be started.
bool RunPagerOnTempFile() {
    constexpr int kMaxWords = 16;
    std::array<char, 512> words{};
    const char* pager = std::getenv("PAGER");
    if (pager == nullptr || std::strspn(pager, " \t") == std::strlen(pager) ||
        std::strlen(pager) >= words.size()) {
        pager = "more";
    }
    std::snprintf(words.data(), words.size(), "%s", pager);
    std::array<char*, kMaxWords + 2> args{};
    int count = 0;
    char* save = nullptr;
    for (char* word = ::strtok_r(words.data(), " \t", &save); word != nullptr && count < kMaxWords;
         word = ::strtok_r(nullptr, " \t", &save)) {
        args[count++] = word;
    }
    args[count] = const_cast<char*>(kTempFileName);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    struct sigaction ignore = {};
    struct sigaction savedInt = {};
    struct sigaction savedQuit = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &savedInt);
    ::sigaction(SIGQUIT, &ignore, &savedQuit);
    std::fflush(stdout);

    pid_t pid = ::fork();
    if (pid == 0) {
        ::sigaction(SIGINT, &savedInt, nullptr);
        ::sigaction(SIGQUIT, &savedQuit, nullptr);
        ::close(report[0]);
        ::execvp(args[0], args.data());
        int error = errno;
        [[maybe_unused]] ssize_t ignored = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    bool started = false;
    if (pid > 0) {
        // The report pipe closes on a successful exec; an error number on it means the exec failed.
        int error = 0;
        ssize_t got;
        do {
            got = ::read(report[0], &error, sizeof error);
        } while (got < 0 && errno == EINTR);
        started = got != static_cast<ssize_t>(sizeof error);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(report[0]);
    ::sigaction(SIGINT, &savedInt, nullptr);
    ::sigaction(SIGQUIT, &savedQuit, nullptr);
    return started;
}

// Shows TMPFILE page by page on a terminal, else copies it to standard output.
void PageTempFile() {
    if (::isatty(STDOUT_FILENO) && RunPagerOnTempFile()) return;
    CopyTempFileToStdout();
}

// ------------------------------------------------------------ commands ---

using FileApi = void (*)(const char* terminal, const char* outputFile, char* rc);

// apdir00b, aprdrtyp: into the given target file, or shown from TMPFILE.
int RunFileCommand(const CommandLine& line, FileApi api) {
    constexpr int kWithTarget = 4;
    const char* file = line.has(kWithTarget) ? line.argv[3] : kTempFileName;
    TempFileTurn turn(!line.has(kWithTarget));
    int code = RunWithConnection(line.terminal(), [&](char* rc) { api(line.terminal(), file, rc); });
    if (!line.has(kWithTarget) && !turn.stopped()) {
        if (code == XELBDE_OK) CopyTempFileToStdout();
        RemoveTempFile();
    }
    return code;
}

int RunCancel(const CommandLine& line) {
    return RunWithConnection(line.terminal(), [&](char* rc) { APCNL00B(line.terminal(), rc); });
}

int RunDirectory(const CommandLine& line) { return RunFileCommand(line, APDIR00B); }

int RunVersion(const CommandLine& line) {
    int code = RunWithConnection(line.terminal(),
                                 [&](char* rc) { APDMTVER(line.terminal(), line.result, kResultSize, rc); });
    // The library may fill the whole area: the text ends at its first zero or at its end.
    if (code == XELBDE_OK) std::printf("%.*s", static_cast<int>(kResultSize), line.result);
    return code;
}

int RunDownload(const CommandLine& line) {
    ProgressLine progress;
    const char* replace = FlagText(line.has(6) ? DecimalValue(line.argv[5]) : 1);
    return RunWithConnection(line.terminal(),
                             [&](char* rc) { APDNLOAD(line.terminal(), line.argv[3], line.argv[4], replace, rc); });
}

int RunProgramDownload(const CommandLine& line) {
    ProgressLine progress;
    return RunWithConnection(line.terminal(),
                             [&](char* rc) { APDNP00B(line.terminal(), line.argv[3], nullptr, nullptr, rc); });
}

int RunFormat(const CommandLine& line) {
    return RunWithConnection(line.terminal(), [&](char* rc) { APFMT00B(line.terminal(), nullptr, rc); });
}

int RunSetClock(const CommandLine& line) {
    // The library reads a time field of exactly twelve characters: a shorter
    // typed time is padded with blanks, so nothing beyond the typed word is read.
    std::array<char, kClockTimeWidth + 1> time{};
    if (line.has(4)) {
        std::memset(time.data(), ' ', kClockTimeWidth);
        std::memcpy(time.data(), line.argv[3], ::strnlen(line.argv[3], kClockTimeWidth));
    } else {
        std::memcpy(time.data(), kSystemTime, kClockTimeWidth);
    }
    return RunWithConnection(line.terminal(),
                             [&](char* rc) { APSCL00B(line.terminal(), time.data(), kClockFormat, rc); });
}

int RunStart(const CommandLine& line) {
    return RunWithConnection(line.terminal(), [&](char* rc) { APSTR00B(line.terminal(), rc); });
}

int RunType(const CommandLine& line) {
    int code = RunWithConnection(line.terminal(), [&](char* rc) { APTYP01B(line.terminal(), line.result, rc); });
    if (code == XELBDE_OK) std::printf("%.8s", line.result);
    return code;
}

int RunUpload(const CommandLine& line) {
    ProgressLine progress;
    const char* deleteFlag = FlagText(line.has(6) ? DecimalValue(line.argv[5]) : 0);
    return RunWithConnection(line.terminal(), [&](char* rc) {
        APUPL00B(line.terminal(), line.argv[3], line.argv[4], deleteFlag, rc);
    });
}

int RunDelete(const CommandLine& line) {
    return RunWithConnection(line.terminal(), [&](char* rc) { APDEL00B(line.terminal(), line.argv[3], rc); });
}

int RunReadClock(const CommandLine& line) {
    char format = 0;
    char radio = 0;
    int code = RunWithConnection(line.terminal(),
                                 [&](char* rc) { APRTVCLK(line.terminal(), line.result, &format, &radio, rc); });
    if (code == XELBDE_OK) {
        std::printf("DatumUhrzeit:%.*s, Datumsformat:%c, Funkuhrstatus:%c", static_cast<int>(kResultSize),
                    line.result, format, radio);
    }
    return code;
}

int RunSyncHost(const CommandLine& line) {
    int maxDiff = line.has(4) ? DecimalValue(line.argv[3]) : kDefaultMaxDiff;
    return RunWithConnection(line.terminal(), [&](char* rc) {
        APSYNHST(line.terminal(), static_cast<std::uint32_t>(maxDiff), rc);
    });
}

int RunReaderTypes(const CommandLine& line) { return RunFileCommand(line, APRDRTYP); }

int RunSystemDownload(const CommandLine& line) {
    ProgressLine progress;
    return RunWithConnection(line.terminal(), [&](char* rc) { APSYSDNL(line.terminal(), line.argv[3], rc); });
}

int RunSystemInit(const CommandLine& line) {
    return RunWithConnection(line.terminal(), [&](char* rc) { APSYSINI(line.terminal(), rc); });
}

int RunRawStatus(const CommandLine& line) {
    int code = RunWithConnection(line.terminal(), [&](char* rc) { APRST00B(line.terminal(), line.result, rc); });
    if (code == XELBDE_OK) {
        auto first = static_cast<unsigned char>(line.result[0]);
        auto second = static_cast<unsigned char>(line.result[1]);
        std::printf("KorvoStatus: '%c%c' (ASCII) bzw. %#x %#x (Hexadezimal)", first, second,
                    static_cast<unsigned>(first), static_cast<unsigned>(second));
    }
    return code;
}

int RunMemoryPage(const CommandLine& line) {
    constexpr int kWithTarget = 6;
    const char* file = line.has(kWithTarget) ? line.argv[5] : kTempFileName;
    TempFileTurn turn(!line.has(kWithTarget));
    int code = RunWithConnection(line.terminal(), [&](char* rc) {
        APDSPPGE(line.terminal(), line.argv[3], line.argv[4], file, rc);
    });
    if (line.has(kWithTarget) || turn.stopped()) return code;
    if (code != XELBDE_OK) {
        RemoveTempFile();
        return code;
    }
    ShowMemoryPage(line.argv[3], line.argv[4]);
    return XELBDE_OK;
}

// apdsplog: the operations log of the terminal, needing no connection.
int RunDisplayLog(const CommandLine& line) {
    constexpr int kWithTarget = 5;
    const char* file = line.has(kWithTarget) ? line.argv[4] : kTempFileName;
    TempFileTurn turn(!line.has(kWithTarget));
    // Stopped before its turn, the listing would write another run's TMPFILE: it fails instead.
    if (turn.stopped()) return 1;
    int result = XelbdeDisplayLog(line.terminal(), file, kLogFrom, kLogTo, "", "", "", line.argv[3]);
    if (!line.has(kWithTarget)) {
        if (result == 0) PageTempFile();
        RemoveTempFile();
    }
    return result;
}

using Handler = int (*)(const CommandLine&);

struct CommandRow {
    const char* word;  // eight characters
    int minWords;      // word counts include the program name
    int maxWords;
    Handler run;       // null: listed but not implemented
};

constexpr std::array<CommandRow, 22> CommandTable = {{
    {"apcnl00b", 3, 3, RunCancel},
    {"apdir00b", 3, 4, RunDirectory},
    {"apdmtver", 3, 3, RunVersion},
    {"apdnload", 5, 6, RunDownload},
    {"apdnp00b", 4, 4, RunProgramDownload},
    {"apfmt00b", 3, 3, RunFormat},
    {"apscl00b", 3, 4, RunSetClock},
    {"apstr00b", 3, 3, RunStart},
    {"aptyp01b", 3, 3, RunType},
    {"apupload", 5, 6, RunUpload},
    {"apdel00b", 4, 4, RunDelete},
    {"aprtvclk", 3, 3, RunReadClock},
    {"apsynhst", 3, 4, RunSyncHost},
    {"aprdrtyp", 3, 4, RunReaderTypes},
    {"apsysdnl", 4, 4, RunSystemDownload},
    {"apsysini", 3, 3, RunSystemInit},
    {"aprst00b", 3, 3, RunRawStatus},
    {"apdsppge", 5, 6, RunMemoryPage},
    {"apdsplog", 4, 5, RunDisplayLog},
    {"apevt00b", 0, 0, nullptr},
    {"apevt01b", 0, 0, nullptr},
    {"apsts00b", 0, 0, nullptr},
}};

static_assert(std::all_of(CommandTable.begin(), CommandTable.end(), [](const CommandRow& row) {
    return std::string_view(row.word).size() == kCommandWordLength;
}));

// A typed word selects the row whose word equals its first eight characters,
// in any letter case. The comparison reads eight characters of both sides, so
// a shorter word matches nothing and is not compared at all.
const CommandRow* FindCommand(const char* typed) {
    if (::strnlen(typed, kCommandWordLength) < static_cast<std::size_t>(kCommandWordLength)) return nullptr;
    for (const auto& row : CommandTable) {
        if (CompareNoCase(typed, row.word, kCommandWordLength)) return &row;
    }
    return nullptr;
}

// ---------------------------------------------------------- usage text ---

constexpr const char* kUsageFirstPage[] = {
    "\nXELBDE unterstuetzt folgende Kommandozeilen-Parameter:\n",
    "------------------------------------------------------\n",
    "(Optionale Parameter stehen in eckigen Klammern '<>')\n\n",
    "  1) xelcmd  bdename  apcnl00b\n",
    "  2) xelcmd  bdename  apdir00b  <NameZielDatei>\n",
    "  3) xelcmd  bdename  apdmtver\n",
    "  4) xelcmd  bdename  apdnload  DownloadDatei  TerminalDatei  <0/1>\n",
    "  5) xelcmd  bdename  apdnp00b  ProgrammDatei\n",
    "Anmerkungen:\n",
    "ad 2) Ohne Angabe einer Zieldatei erfolgt die Ausgabe auf den Bildschirm\n",
    "ad 4) 0=anhaengen, 1=ersetzen(default)\n",
    "\nweiter => Taste betaetigen\n",
};

constexpr const char* kUsageSecondPage[] = {
    "  6) xelcmd  bdename  apfmt00b\n",
    "  7) xelcmd  bdename  apscl00b  <HHMMSSDDMMYY>\n",
    "  8) xelcmd  bdename  apstr00b\n",
    "  9) xelcmd  bdename  aptyp01b\n",
    " 10) xelcmd  bdename  apupload  UploadZiel  TerminalDatei  <0/1>\n",
    " 11) xelcmd  bdename  apdel00b  TerminalDatei\n",
    " 12) xelcmd  bdename  aprtvclk  \n",
    " 13) xelcmd  bdename  apsynhst  <MaxDiff>\n",
    " 14) xelcmd  bdename  aprdrtyp  <NameZielDatei>\n",
    " 15) xelcmd  bdename  apsysdnl  OS-Dateiname\n",
    " 16) xelcmd  bdename  apsysini\n",
    " 17) xelcmd  bdename  aprst00b\n",
    " 18) xelcmd  bdename  apdsppge  Segment Offset <NameZielDatei>\n",
    " 19) xelcmd  bdename  apdsplog  *ALL|*OK|*ERR  <NameZielDatei>\n",
    "Anmerkungen:\n",
    "ad 14,18,19) Ohne Angabe einer Zieldatei erfolgt die Ausgabe auf den Bildschirm\n",
    "ad        7) Ohne Zeitangabe wird das aktuelle Datum auf dem Terminal gesetzt\n",
    "ad       10) 0=belassen(default), 1= loeschen\n",
};

// The terminal settings in force before the page pause, for the signal
// handler that puts them back when the pause is interrupted.
termios g_keyboardSaved = {};
volatile std::sig_atomic_t g_keyboardChanged = 0;
constexpr int kPauseSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Restores the terminal, then lets the signal end the program as it would
// have without us (tcsetattr and raise are safe in a signal handler).
void RestoreKeyboardAndDie(int signal) {
    if (g_keyboardChanged) ::tcsetattr(STDIN_FILENO, TCSANOW, &g_keyboardSaved);
    std::signal(signal, SIG_DFL);
    ::raise(signal);
}

// The page pause: waits for one key. On a terminal the key counts without
// Enter and is not echoed; the end of the input counts as the key. The
// terminal gets its settings back however the pause ends, also when a
// signal ends the program during it.
void WaitForKey() {
    std::fflush(stdout);
    bool keyboard = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &g_keyboardSaved) == 0;
    struct sigaction previous[std::size(kPauseSignals)] = {};
    if (keyboard) {
        struct sigaction restore = {};
        restore.sa_handler = RestoreKeyboardAndDie;
        sigemptyset(&restore.sa_mask);
        for (int signal : kPauseSignals) sigaddset(&restore.sa_mask, signal);
        for (std::size_t i = 0; i < std::size(kPauseSignals); ++i) {
            // A signal the caller ignores (nohup) stays ignored.
            ::sigaction(kPauseSignals[i], nullptr, &previous[i]);
            if (previous[i].sa_handler != SIG_IGN) ::sigaction(kPauseSignals[i], &restore, nullptr);
        }
        termios single = g_keyboardSaved;
        single.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        single.c_cc[VMIN] = 1;
        single.c_cc[VTIME] = 0;
        g_keyboardChanged = 1;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &single);
    }
    char key;
    while (::read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    if (keyboard) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &g_keyboardSaved);
        g_keyboardChanged = 0;
        for (std::size_t i = 0; i < std::size(kPauseSignals); ++i) ::sigaction(kPauseSignals[i], &previous[i], nullptr);
    }
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalStatusBase = 128;

void RequestStop(int signal) {
    g_stopSignal = signal;
    XelbdeInterrupt(1);
}

// No SA_RESTART: a wait the signal interrupts must end, not go on.
void CatchStopSignals() {
    struct sigaction stop = {};
    stop.sa_handler = RequestStop;
    sigemptyset(&stop.sa_mask);
    for (int signal : kStopSignals) {
        struct sigaction previous = {};
        ::sigaction(signal, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) ::sigaction(signal, &stop, nullptr);
    }
}

void PrintUsage() {
    std::fputs("\n", stdout);
    PrintBanner();
    for (const char* line : kUsageFirstPage) std::fputs(line, stdout);
    WaitForKey();
    for (const char* line : kUsageSecondPage) std::fputs(line, stdout);
}

}  // namespace

void PrintBanner() { std::printf(" XELBDE - (V%s, %s)\n", "3.02", "Sep 22 2006"); }

int XelcmdMain(int argc, char** argv) {
    if (argc < kMinimumWords || argv == nullptr) {
        PrintUsage();
        return XELBDE_OK;
    }
    std::array<char, kResultSize> result{};

    const CommandRow* row = FindCommand(argv[kCommandWord]);
    if (row == nullptr) {
        std::printf("Unbekannte XELBDE-Funktion\n");
        return kExitUnknownCommand;
    }
    if (row->run == nullptr) {
        std::printf("Noch nicht implementiert\n");
        return kExitNotImplemented;
    }
    if (argc < row->minWords || argc > row->maxWords) {
        std::printf("Falsche Anzahl Parameter\n");
        return kExitWrongWordCount;
    }
    CatchStopSignals();
    int code = row->run(CommandLine{argc, argv, result.data()});
    if (code != XELBDE_OK) std::printf("Fehler bei der Ausfuehrung:%d\n", code);
    if (g_stopSignal != 0) return kSignalStatusBase + g_stopSignal;
    return code;
}
