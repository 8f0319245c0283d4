// xelfleet: one xelcmd command word on many terminals, N at a time.
//
//   xelfleet [-j N] [-i terminal.ini | TERMINAL...] -- COMMAND [ARGS]
//
// Each terminal gets its own xelcmd process; "{}" in an argument stands for
// the terminal's name. One line per terminal as it finishes (name, exit
// status, the meaning of the code, the command's own output), then a
// summary. Exit status: 0 when every terminal succeeded, else the number of
// terminals that failed (at most 125).
//
// SIGINT, SIGTERM and SIGHUP are passed on to the running xelcmd processes
// (each ends through its failure path and writes its record); no further
// terminal is started, the running ones are waited for and reported, the
// summary counts the terminals not run, and the exit status is 128 + the
// signal.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tcpcom/internal.h"
#include "xelbde/terminalini.h"
#include "xelbde/xelbde.h"

namespace {

constexpr int kDefaultJobs = 8;
constexpr int kMaxExitStatus = 125;
constexpr int kNotStarted = 127;
constexpr int kSignalBase = 128;

constexpr const char* kUsage =
    "usage: xelfleet [-j N] [-i terminal.ini | TERMINAL...] -- COMMAND [ARGS]\n"
    "  runs 'xelcmd TERMINAL COMMAND ARGS' for every terminal, N at a time (default 8);\n"
    "  {} in an argument stands for the terminal's name.\n";

struct Options {
    int jobs = kDefaultJobs;
    std::string ini;
    std::vector<std::string> terminals;
    std::vector<std::string> command;
};

struct Job {
    std::string terminal;
    pid_t pid = -1;
    int out = -1;
    std::string output;
    bool signalled = false;  // a stop signal was passed on to it
};

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The write end of the signal pipe, for the handler.
int g_signalWrite = -1;

// Only records the signal: one byte per delivery, read by the poll loop.
// Nothing waits on a full pipe; errno is the interrupted code's.
void RecordSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<char>(signal);
    (void)!::write(g_signalWrite, &byte, 1);
    errno = saved;
}

// The self-pipe through which stop signals reach the poll loop. Signals the
// caller ignores (nohup) stay ignored, also in the xelcmd processes.
// SA_RESTART keeps the handler from breaking writes to standard output;
// poll() returns on a signal anyway.
struct SignalPipe {
    int readEnd = -1;
    int writeEnd = -1;
    sigset_t stops{};

    SignalPipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
        readEnd = ends[0];
        writeEnd = g_signalWrite = ends[1];
        sigemptyset(&stops);
        struct sigaction record = {};
        record.sa_handler = RecordSignal;
        record.sa_flags = SA_RESTART;
        sigemptyset(&record.sa_mask);
        for (int signal : kStopSignals) {
            sigaddset(&stops, signal);
            struct sigaction previous = {};
            ::sigaction(signal, nullptr, &previous);
            if (previous.sa_handler != SIG_IGN) ::sigaction(signal, &record, nullptr);
        }
    }
    ~SignalPipe() {
        if (readEnd >= 0) ::close(readEnd);
        if (writeEnd >= 0) ::close(writeEnd);
    }
    SignalPipe(const SignalPipe&) = delete;
    SignalPipe& operator=(const SignalPipe&) = delete;

    // Passes every signal recorded since the last call on to the running
    // jobs, once per delivery (a second Ctrl-C goes on as well). Returns the
    // first signal recorded, or 0.
    int Forward(std::vector<Job>* running) const {
        int first = 0;
        char bytes[64];
        ssize_t n;
        while (readEnd >= 0 && (n = ::read(readEnd, bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (first == 0) first = bytes[i];
                for (Job& job : *running) {
                    ::kill(job.pid, bytes[i]);
                    job.signalled = true;
                }
            }
        }
        return first;
    }
};

bool ParseOptions(int argc, char** argv, Options* options) {
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "-j") == 0 && i + 1 < argc) {
            options->jobs = tcpcom::StrtolInt(argv[++i]);
            if (options->jobs < 1) return false;
        } else if (std::strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
            options->ini = argv[++i];
        } else if (argv[i][0] == '-') {
            return false;
        } else {
            options->terminals.emplace_back(argv[i]);
        }
    }
    for (++i; i < argc; ++i) options->command.emplace_back(argv[i]);
    return !options->command.empty() && (options->ini.empty() != options->terminals.empty());
}

// The terminals of a terminal.ini: every section but the ISDN adapters.
bool ReadTerminals(const std::string& path, std::vector<std::string>* terminals) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) return false;
    for (const xelbde::TerminalEntry& entry : xelbde::ReadTerminalIni(text)) {
        if (entry.name[0] == '\0') break;
        if (CompareNoCase(entry.klasse, "ADPT", 4)) continue;
        terminals->emplace_back(entry.name, ::strnlen(entry.name, sizeof entry.name));
    }
    return true;
}

// xelcmd beside this program, else from the PATH.
std::string XelcmdPath() {
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<std::size_t>(n));
        path = path.substr(0, path.rfind('/') + 1) + "xelcmd";
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return "xelcmd";
}

std::string WithTerminal(std::string word, const std::string& terminal) {
    for (std::size_t at = word.find("{}"); at != std::string::npos; at = word.find("{}", at + terminal.size())) {
        word.replace(at, 2, terminal);
    }
    return word;
}

// Called with the stop signals blocked; callerMask is the mask to run
// xelcmd with.
bool Start(Job* job, const std::string& xelcmd, const Options& options, const sigset_t& callerMask) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
    std::vector<std::string> words = {xelcmd, job->terminal};
    for (const std::string& word : options.command) words.push_back(WithTerminal(word, job->terminal));
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    job->pid = ::fork();
    if (job->pid == 0) {
        // The stop signals as the caller left them before they are
        // unblocked, so none arriving now is lost to our handler.
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        for (int signal : kStopSignals) {
            struct sigaction current = {};
            ::sigaction(signal, nullptr, &current);
            if (current.sa_handler != SIG_IGN) ::sigaction(signal, &fallback, nullptr);
        }
        ::sigprocmask(SIG_SETMASK, &callerMask, nullptr);
        // Results on standard output; no progress lines, no keyboard.
        ::dup2(pipe[1], STDOUT_FILENO);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (!options.ini.empty()) {
            std::string dir = options.ini.substr(0, options.ini.rfind('/') + 1);
            ::setenv("TERMINI", dir.empty() ? "./" : dir.c_str(), 1);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(kNotStarted);
    }
    ::close(pipe[1]);
    if (job->pid < 0) {
        ::close(pipe[0]);
        return false;
    }
    job->out = pipe[0];
    return true;
}

int ExitStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return kSignalBase + WTERMSIG(status);
    return kNotStarted;
}

// The meaning of a job's exit status; interrupted = it ended on the stop
// signal xelfleet passed on.
std::string Meaning(int status, bool interrupted = false) {
    if (status == kNotStarted) return "xelcmd could not be started";
    if (status > kSignalBase && status < kSignalBase + 65) {
        return (interrupted ? "interrupted by signal " : "ended by signal ") + std::to_string(status - kSignalBase);
    }
    return XelbdeReturnCodeText(status);
}

// The output on one line: line ends become blanks, other control and
// non-ASCII bytes dots, and trailing blanks go.
std::string OneLine(const std::string& output) {
    std::string line;
    for (char c : output) {
        const auto byte = static_cast<unsigned char>(c);
        line += (c == '\n' || c == '\r') ? ' ' : (byte < 0x20 || byte > 0x7E) ? '.' : c;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::vector<std::string> terminals = options.terminals;
    if (!options.ini.empty() && !ReadTerminals(options.ini, &terminals)) {
        std::fprintf(stderr, "xelfleet: cannot read %s (%s)\n", options.ini.c_str(), std::strerror(errno));
        return 2;
    }
    const std::string xelcmd = XelcmdPath();

    const SignalPipe signals;
    std::vector<Job> running;
    std::size_t next = 0;
    int succeeded = 0;
    int failed = 0;
    int stopSignal = 0;
    std::map<int, int> failures;  // exit status -> terminals
    while ((next < terminals.size() && stopSignal == 0) || !running.empty()) {
        // Blocked from here to the last fork: a signal either stops the
        // starting or reaches the job just started.
        sigset_t unblocked;
        ::sigprocmask(SIG_BLOCK, &signals.stops, &unblocked);
        const int recorded = signals.Forward(&running);
        if (stopSignal == 0) stopSignal = recorded;
        while (stopSignal == 0 && next < terminals.size() && static_cast<int>(running.size()) < options.jobs) {
            Job job;
            job.terminal = terminals[next++];
            if (Start(&job, xelcmd, options, unblocked)) {
                running.push_back(std::move(job));
            } else {
                ++failed;
                ++failures[kNotStarted];
                std::printf("%s\t%d\t%s\t\n", job.terminal.c_str(), kNotStarted, Meaning(kNotStarted).c_str());
            }
        }
        ::sigprocmask(SIG_SETMASK, &unblocked, nullptr);
        if (running.empty()) continue;
        std::vector<pollfd> fds;
        for (const Job& job : running) fds.push_back({job.out, POLLIN, 0});
        fds.push_back({signals.readEnd, POLLIN, 0});  // last: wakes the loop, read at its top
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        for (std::size_t i = running.size(); i-- > 0;) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            Job& job = running[i];
            char buffer[4096];
            ssize_t n = ::read(job.out, buffer, sizeof buffer);
            if (n > 0) {
                job.output.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            ::close(job.out);
            int status = 0;
            while (::waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
            }
            const int exit = ExitStatus(status);
            std::printf("%s\t%d\t%s\t%s\n", job.terminal.c_str(), exit, Meaning(exit, job.signalled).c_str(),
                        OneLine(job.output).c_str());
            std::fflush(stdout);
            if (exit == 0) {
                ++succeeded;
            } else {
                ++failed;
                ++failures[exit];
            }
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    if (stopSignal == 0) stopSignal = signals.Forward(&running);  // one that came after the last job
    std::printf("xelfleet: %zu terminals, %d succeeded, %d failed", terminals.size(), succeeded, failed);
    const char* separator = " (";
    for (const auto& [status, count] : failures) {
        std::printf("%s%d: %d", separator, status, count);
        separator = ", ";
    }
    std::printf("%s", failed > 0 ? ")" : "");
    if (stopSignal != 0) std::printf(", %zu not run, stopped by signal %d", terminals.size() - next, stopSignal);
    std::printf("\n");
    if (stopSignal != 0) return kSignalBase + stopSignal;
    return failed < kMaxExitStatus ? failed : kMaxExitStatus;
}
