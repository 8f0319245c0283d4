// xelfleet: one xelcmd command word on many terminals, N at a time.
//
//   xelfleet [-j N] [-i terminal.ini | TERMINAL...] -- COMMAND [ARGS]
//
// Each terminal gets its own xelcmd process; "{}" in an argument stands for
// the terminal's name. One line per terminal as it finishes (name, exit
// status, the meaning of the code, the command's own output), then a
// summary. Exit status: 0 when every terminal succeeded, else the number of
// terminals that failed (at most 125).
#include <cerrno>
#include <climits>
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

bool Start(Job* job, const std::string& xelcmd, const Options& options) {
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

std::string Meaning(int status) {
    if (status == kNotStarted) return "xelcmd could not be started";
    if (status > kSignalBase && status < kSignalBase + 65) return "ended by signal " + std::to_string(status - kSignalBase);
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

    std::vector<Job> running;
    std::size_t next = 0;
    int succeeded = 0;
    int failed = 0;
    std::map<int, int> failures;  // exit status -> terminals
    while (next < terminals.size() || !running.empty()) {
        while (next < terminals.size() && static_cast<int>(running.size()) < options.jobs) {
            Job job;
            job.terminal = terminals[next++];
            if (Start(&job, xelcmd, options)) {
                running.push_back(std::move(job));
            } else {
                ++failed;
                ++failures[kNotStarted];
                std::printf("%s\t%d\t%s\t\n", job.terminal.c_str(), kNotStarted, Meaning(kNotStarted).c_str());
            }
        }
        std::vector<pollfd> fds;
        for (const Job& job : running) fds.push_back({job.out, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        for (std::size_t i = fds.size(); i-- > 0;) {
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
            std::printf("%s\t%d\t%s\t%s\n", job.terminal.c_str(), exit, Meaning(exit).c_str(), OneLine(job.output).c_str());
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
    std::printf("xelfleet: %zu terminals, %d succeeded, %d failed", terminals.size(), succeeded, failed);
    const char* separator = " (";
    for (const auto& [status, count] : failures) {
        std::printf("%s%d: %d", separator, status, count);
        separator = ", ";
    }
    std::printf("%s\n", failed > 0 ? ")" : "");
    return failed < kMaxExitStatus ? failed : kMaxExitStatus;
}
