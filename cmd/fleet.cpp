// SPDX-License-Identifier: MIT
// xelfleet: one xelcmd command word on many terminals, N at a time, or an
// inventory of them in one process. This part reads the command line and
// the selection of terminals (terminal.ini sections, names, name files,
// globs), skips what a job log says is done, and starts the round.
//
//   xelfleet [OPTIONS] [TERMINAL...] -- COMMAND [ARGS]
//   xelfleet inventory [OPTIONS] [TERMINAL...]
//
// Exit status: 0 when every terminal succeeded, else the number of
// terminals that failed or were skipped (at most 125); 128 + N after stop
// signal N; 255 for a command line or a selection it cannot use.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <string_view>
#include <unistd.h>

#include "cmd/fleet.h"
#include "tcpcom/internal.h"
#include "xelbde/xelbde.h"
#include "xelbde/terminalini.h"
#include "xelbde/xelbde.h"

namespace {

using namespace fleet;

constexpr int kUsageError = 255;
constexpr int kMaxJobs = 512;  // the library's connections per process
constexpr int kMaxRetries = 100;

constexpr const char* kUsage =
    "usage: xelfleet [OPTIONS] [TERMINAL...] -- COMMAND [ARGS]\n"
    "       xelfleet inventory [OPTIONS] [--free-memory] [TERMINAL...]\n"
    "Runs 'xelcmd TERMINAL COMMAND ARGS' for every terminal selected ({} in an\n"
    "argument stands for the terminal's name), or gathers type, status, version\n"
    "and clock of every terminal over one connection each.\n"
    "Selection (together: the union; duplicates once):\n"
    "  -i FILE          the sections of that terminal.ini (adapters left out); the\n"
    "                   terminals' addresses are taken from it\n"
    "  -f FILE          names, one a line ('-': standard input; '#' comments)\n"
    "  --match GLOB     the sections of terminal.ini whose names match\n"
    "  TERMINAL...      names or addresses\n"
    "Options:\n"
    "  -j N             N terminals at a time (default 8; inventory 32)\n"
    "  --format F       text, tsv, csv or json (JSON Lines); default text\n"
    "  --order O        completion (default) or input\n"
    "  --timeout S      time-out of each connect and reply, in seconds\n"
    "  --retry N        try a failed terminal up to N more times\n"
    "  --retry-codes L  the codes retried (numbers or names, comma-separated;\n"
    "                   default 7,16,68)\n"
    "  --joblog FILE    append one line per attempt\n"
    "  --resume FILE    skip the terminals whose last attempt there succeeded\n"
    "  --halt N         start no new terminal once N have failed\n"
    "  --free-memory    inventory: also the free memory (read by the format command)\n"
    "  --help           this text\n"
    "  --version        the version\n"
    "The summary goes to standard error. See xelfleet(1).\n";

// The command words a second run cannot harm: queries, uploads, replacing
// downloads, programs, the clock setting.
constexpr const char* kRetrySafe[] = {"aptyp01b", "aprst00b", "apdmtver", "aprtvclk", "apfmt00b", "aprdrtyp",
                                           "apdir00b", "apdsppge", "apdsplog", "apupload", "apdnp00b", "apscl00b"};
constexpr int kDefaultRetryCodes[] = {XELBDE_CONNECT_TIMEOUT, XELBDE_EXCHANGE_FAILED, XELBDE_ADAPTER_BUSY};

constexpr std::string_view kValued[] = {"-j",      "-i",      "-f",           "--match",  "--format", "--order",
                                        "--timeout", "--retry", "--retry-codes", "--joblog", "--resume", "--halt"};

struct Options {
    bool inventory = false;
    int jobs = 0;  // 0: the default of the round
    std::string ini;
    std::vector<std::string> globs;
    std::vector<std::string> names;  // from the arguments and the name files, in order
    Format format = Format::kText;
    Order order = Order::kCompletion;
    std::string timeout;
    int retries = 0;
    std::set<int> retryCodes{std::begin(kDefaultRetryCodes), std::end(kDefaultRetryCodes)};
    int halt = 0;
    std::string jobLog;
    std::string resume;
    bool freeMemory = false;
    std::vector<std::string> command;
};

int Fail(const std::string& message) {
    std::fprintf(stderr, "xelfleet: %s\n", message.c_str());
    return kUsageError;
}

// Names one a line: blanks around them, blank lines and "#" comments go.
void AddNames(const std::string& text, std::vector<std::string>* names) {
    for (const std::string& line : Split(text, '\n')) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        names->push_back(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
    }
}

// A non-negative number within limits, or -1.
int Count(const char* text, int low, int high) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return -1;
    return static_cast<int>(value);
}

bool ParseCodes(const std::string& list, std::set<int>* codes) {
    codes->clear();
    for (const std::string& item : Split(list, ',')) {
        int code = Count(item.c_str(), 0, 99);
        for (int c = 0; c <= 99 && code < 0; ++c) {
            if (item == XelbdeReturnCodeName(c) && item != "terminal-status") code = c;
        }
        if (code < 0) return false;
        codes->insert(code);
    }
    return true;
}

// Reads the command line; an empty text when it is usable, else what is wrong.
std::string Parse(int argc, char** argv, Options* o) {
    int i = 1;
    if (argc > 1 && std::strcmp(argv[1], "inventory") == 0) {
        o->inventory = true;
        i = 2;
    }
    for (; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--") {
            if (o->inventory) return "the inventory runs no command";
            o->command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (word.empty() || word[0] != '-' || word == "-") {
            o->names.push_back(word);
            continue;
        }
        if (word == "--free-memory") {
            o->freeMemory = true;
            continue;
        }
        // An option with a value: "-j 4", "--format json" or "--format=json".
        std::string value;
        const std::size_t equals = word.find('=');
        const bool joined = word.rfind("--", 0) == 0 && equals != std::string::npos;
        if (joined) {
            value = word.substr(equals + 1);
            word.resize(equals);
        }
        if (std::find(std::begin(kValued), std::end(kValued), word) == std::end(kValued)) {
            return "unknown option " + word;
        }
        if (!joined && i + 1 >= argc) return "option " + word + " needs a value";
        if (!joined) value = argv[++i];
        if (word == "-j") {
            if ((o->jobs = Count(value.c_str(), 1, kMaxJobs)) < 0) return "-j takes 1 to 512";
        } else if (word == "-i") {
            o->ini = value;
        } else if (word == "-f") {
            std::string text;
            if (!ReadWhole(value, true, &text)) {
                return "cannot read " + value + " (" + std::strerror(errno) + ")";
            }
            AddNames(text, &o->names);
        } else if (word == "--match") {
            o->globs.push_back(value);
        } else if (word == "--format") {
            constexpr std::pair<std::string_view, Format> kFormats[] = {
                {"text", Format::kText}, {"tsv", Format::kTsv}, {"csv", Format::kCsv}, {"json", Format::kJson}};
            const auto* found = std::find_if(std::begin(kFormats), std::end(kFormats),
                                             [&](const auto& f) { return f.first == value; });
            if (found == std::end(kFormats)) return "--format takes text, tsv, csv or json";
            o->format = found->second;
        } else if (word == "--order") {
            if (value != "input" && value != "completion") return "--order takes input or completion";
            o->order = value == "input" ? Order::kInput : Order::kCompletion;
        } else if (word == "--timeout") {
            if (Count(value.c_str(), 1, 86400) < 0) return "--timeout takes whole seconds from 1";
            o->timeout = value;
        } else if (word == "--retry") {
            if ((o->retries = Count(value.c_str(), 0, kMaxRetries)) < 0) return "--retry takes 0 to 100";
        } else if (word == "--retry-codes") {
            if (!ParseCodes(value, &o->retryCodes)) return "--retry-codes takes codes 0 to 99 or their names";
        } else if (word == "--joblog") {
            o->jobLog = value;
        } else if (word == "--resume") {
            o->resume = value;
        } else if (word == "--halt") {
            if ((o->halt = Count(value.c_str(), 1, 1000000)) < 0) return "--halt takes a number from 1";
        }
    }
    if (o->inventory && (o->retries > 0 || o->halt > 0 || !o->jobLog.empty() || !o->resume.empty())) {
        return "--retry, --halt, --joblog and --resume are for commands, not for the inventory";
    }
    if (!o->inventory && o->freeMemory) return "--free-memory is for the inventory";
    if (!o->inventory && o->command.empty()) return "no command: give it after --";
    return "";
}

// The terminals of a terminal.ini in file order, adapters (KLASSE=ADPT) left
// out, those matching one of globs when there are any.
std::vector<std::string> IniTerminals(const std::string& text, const std::vector<std::string>& globs) {
    std::vector<std::string> terminals;
    for (const xelbde::TerminalEntry& entry : xelbde::ReadTerminalIni(text)) {
        if (entry.name[0] == '\0') break;
        if (CompareNoCase(entry.klasse, "ADPT", 4)) continue;
        std::string name(entry.name, ::strnlen(entry.name, sizeof entry.name));
        // Names compare without regard to case, as the library looks them up.
        const bool matches = globs.empty() || std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
                                 return ::fnmatch(glob.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
                             });
        if (matches) terminals.push_back(std::move(name));
    }
    return terminals;
}

// The terminal.ini the library reads: TERMINI's, else the current directory's.
std::string DefaultIni() {
    const char* dir = std::getenv("TERMINI");
    if (dir == nullptr || dir[0] == '\0') return "terminal.ini";
    std::string path = dir;
    return path.back() == '/' ? path + "terminal.ini" : path + "/terminal.ini";
}

// The library reads the file terminal.ini of the directory TERMINI names.
// A file of that name is used where it is; any other name is copied into a
// private directory, removed again at the end.
class IniForLibrary {
  public:
    IniForLibrary() = default;
    ~IniForLibrary() {
        if (dir_.empty()) return;
        ::unlink((dir_ + "/terminal.ini").c_str());
        ::rmdir(dir_.c_str());
    }
    IniForLibrary(const IniForLibrary&) = delete;
    IniForLibrary& operator=(const IniForLibrary&) = delete;

    bool Use(const std::string& path, const std::string& text) {
        const std::size_t slash = path.rfind('/');
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (base == "terminal.ini") {
            return ::setenv("TERMINI", slash == std::string::npos ? "." : path.substr(0, slash + 1).c_str(), 1) == 0;
        }
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/xelfleet-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return false;
        dir_ = pattern;
        const std::string copy = dir_ + "/terminal.ini";
        const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return false;
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        return ::close(fd) == 0 && written && ::setenv("TERMINI", dir_.c_str(), 1) == 0;
    }

  private:
    std::string dir_;
};

// Whether the command may run twice on a terminal without harm.
bool RetrySafe(const std::vector<std::string>& command) {
    // xelcmd reads the first eight characters of the word, in any case.
    const char* word = command[0].c_str();
    if (::strnlen(word, 8) < 8) return false;
    if (CompareNoCase(word, "apdnload", 8)) return command.size() < 4 || tcpcom::StrtolInt(command[3]) == 1;  // replacing
    return std::any_of(std::begin(kRetrySafe), std::end(kRetrySafe),
                       [word](const char* safe) { return CompareNoCase(word, safe, 8) != 0; });
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("xelfleet %s\n", XelbdeVersion());
            return 0;
        }
    }
    Options o;
    const std::string wrong = Parse(argc, argv, &o);
    if (!wrong.empty()) return Fail(wrong + " (xelfleet --help shows the usage)");

    // The selection: terminal.ini's sections (all of -i, or those --match
    // takes), then the names given, each terminal once.
    IniForLibrary iniForLibrary;
    std::vector<std::string> selected;
    if (!o.ini.empty() || !o.globs.empty()) {
        const std::string path = o.ini.empty() ? DefaultIni() : o.ini;
        std::string text;
        if (!ReadWhole(path, false, &text)) return Fail("cannot read " + path + " (" + std::strerror(errno) + ")");
        if (!o.ini.empty() && !iniForLibrary.Use(o.ini, text)) {
            return Fail("cannot hand " + o.ini + " to xelcmd (" + std::strerror(errno) + ")");
        }
        if (o.names.empty() || !o.globs.empty()) selected = IniTerminals(text, o.globs);
    }
    selected.insert(selected.end(), o.names.begin(), o.names.end());
    std::set<std::string> seen;
    std::erase_if(selected, [&seen](const std::string& name) { return !seen.insert(Upper(name)).second; });
    if (selected.empty()) return Fail("no terminal selected");

    Tally tally;
    tally.terminals = selected.size();
    if (!o.resume.empty()) {
        std::set<std::string> done;
        if (!ReadDone(o.resume, &done)) return Fail("cannot read " + o.resume + " (" + std::strerror(errno) + ")");
        std::erase_if(selected, [&](const std::string& name) { return done.count(Upper(Escaped(name))) > 0; });
        tally.doneBefore = static_cast<int>(tally.terminals - selected.size());
    }
    JobLog jobLog;
    if (!o.jobLog.empty() && !jobLog.Open(o.jobLog)) {
        return Fail("cannot write " + o.jobLog + " (" + std::strerror(errno) + ")");
    }
    if (!o.timeout.empty()) ::setenv("XELBDE_TIMEOUT", o.timeout.c_str(), 1);

    if (o.inventory) {
        Printer printer(o.format, o.order, InventoryColumns(o.freeMemory), selected);
        RunInventory(selected, o.jobs > 0 ? o.jobs : 32, o.freeMemory, &printer, &tally);
    } else {
        RunSettings settings;
        settings.jobs = o.jobs > 0 ? o.jobs : 8;
        settings.command = o.command;
        settings.retries = o.retries;
        settings.retryCodes = o.retryCodes;
        settings.halt = o.halt;
        settings.jobLog = &jobLog;
        if (o.retries > 0 && !RetrySafe(o.command)) {
            std::fprintf(stderr, "xelfleet: %s is not tried again: running it twice may do harm\n",
                         o.command[0].c_str());
            settings.retries = 0;
        }
        Printer printer(o.format, o.order, CommandColumns(), selected);
        RunCommand(selected, settings, &printer, &tally);
    }
    tally.PrintSummary();
    return tally.ExitStatus();
}
