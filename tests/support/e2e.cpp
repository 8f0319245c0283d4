// SPDX-License-Identifier: MIT
#include "tests/support/e2e.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/testing.h"

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReadyLimitMs = 30000;
constexpr int kStopLimitMs = 10000;
constexpr int kRunLimitMs = 120000;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string WorkDir() {
    const std::string& dir = testing_support::TestDir();
    if (!dir.empty()) return dir;
    char* cwd = ::getcwd(nullptr, 0);
    std::string result = cwd ? cwd : ".";
    std::free(cwd);
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& t : texts) pointers.push_back(t.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Waits for a child to end within limitMs; kills it after that. Returns the
// waitpid status, or -1 when there was nothing to wait for.
int Reap(pid_t pid, int limitMs) {
    int status = 0;
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, limitMs);
        ::close(fd);
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    } else {
        // No pidfd: bounded polling of waitpid.
        for (auto deadline = Clock::now() + std::chrono::milliseconds(limitMs); Clock::now() < deadline;) {
            if (::waitpid(pid, &status, WNOHANG) == pid) return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ::kill(pid, SIGKILL);
    return ::waitpid(pid, &status, 0) == pid ? status : -1;
}

int ExitStatus(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

}  // namespace

Sim::Sim(const std::string& config, const std::vector<std::string>& extraArgs) {
    static int serial = 0;
    ++serial;
    std::string dir = WorkDir();
    std::string base = dir + "/bdesim-" + std::to_string(serial);
    trace_ = base + ".trace";
    std::vector<std::string> args = {BDESIM_PATH};
    if (!config.empty()) {
        testing_support::WriteFile(base + ".conf", config);
        args.insert(args.end(), {"--config", base + ".conf"});
    }
    args.insert(args.end(), {"--trace", trace_, "--ready-fd", "3"});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    std::vector<char*> argv = Pointers(args);
    pid_ = ::fork();
    if (pid_ == 0) {
        // bdesim's "listening" lines go to standard error, so they never mix
        // with what a test captures from its own standard output.
        ::dup2(2, 1);
        if (fds[1] == 3) {
            ::fcntl(3, F_SETFD, 0);
        } else {
            ::dup2(fds[1], 3);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    if (pid_ < 0) {
        ::close(fds[0]);
        return;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(kReadyLimitMs);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) break;
        char buffer[512];
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;  // bdesim ended before it was ready
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (line.rfind("ready", 0) == 0 && line.find('\n') != std::string::npos) {
        readyLine_ = line.substr(0, line.find('\n'));
        ready_ = true;
    }
}

Sim::~Sim() { Stop(); }

int Sim::Stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = Reap(pid_, kStopLimitMs);
    pid_ = -1;
    return ExitStatus(status);
}

std::string Sim::trace() const { return testing_support::ReadFile(trace_); }

Result Run(const std::vector<std::string>& argvIn, const RunOptions& options, const SignalWhen& signal) {
    Result result;
    std::vector<std::string> args = argvIn;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& extra : options.env) replaced = replaced || extra.substr(0, extra.find('=')) == name;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), options.env.begin(), options.env.end());
    std::vector<char*> argv = Pointers(args);
    std::vector<char*> envp = Pointers(env);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return result;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return result;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        return result;
    }
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    if (options.input.empty()) {
        ::close(in[1]);
        in[1] = -1;
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(kRunLimitMs);
    bool timedOut = false;
    bool signalPending = static_cast<bool>(signal.when);
    while (true) {
        if (signalPending && signal.when()) {
            ::kill(pid, signal.signal);
            signalPending = false;
        }
        pollfd p[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        int n = ::poll(p, in[1] >= 0 ? 2 : 1, signalPending ? std::min(MsLeft(deadline), 10) : MsLeft(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 && signalPending && MsLeft(deadline) > 0) continue;
        if (n <= 0) {
            timedOut = true;
            break;
        }
        if (in[1] >= 0 && (p[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = ::write(in[1], options.input.data() + written, options.input.size() - written);
            if (w > 0) written += static_cast<std::size_t>(w);
            if (w < 0 && errno != EAGAIN) written = options.input.size();
            if (written >= options.input.size()) {
                ::close(in[1]);
                in[1] = -1;
            }
        }
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[4096];
            ssize_t r = ::read(out[0], buffer, sizeof buffer);
            if (r <= 0) break;
            result.out.append(buffer, static_cast<std::size_t>(r));
        }
    }
    if (in[1] >= 0) ::close(in[1]);
    ::close(out[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    result.status = ExitStatus(Reap(pid, timedOut ? 0 : kRunLimitMs));
    return result;
}

Result Xelcmd(const std::vector<std::string>& words, const RunOptions& options, const SignalWhen& signal) {
    std::vector<std::string> argv;
    if (options.dropClockPrivilege) argv = {"setpriv", "--inh-caps=-sys_time", "--bounding-set=-sys_time", "--"};
    argv.push_back(XELCMD_PATH);
    argv.insert(argv.end(), words.begin(), words.end());
    return Run(argv, options, signal);
}

std::vector<std::string> TraceFrames(const std::string& traceText, const std::string& who, char direction,
                                     const std::string& kind) {
    std::vector<std::string> frames;
    std::istringstream in(traceText);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> w = Words(line);
        if (w.size() < 3 || w[0] != who || w[1].size() != 1 || w[1][0] != direction) continue;
        if (!kind.empty() && w[2] != kind) continue;
        std::string hex = w.size() > 3 ? w[3] : "";
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        frames.push_back(bytes);
    }
    return frames;
}

long TraceCounter(const std::string& traceText, const std::string& who, const std::string& kind) {
    std::istringstream in(traceText);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> w = Words(line);
        if (w.size() == 4 && w[0] == who && w[1] == "=" && w[2] == kind) return std::stol(w[3]);
    }
    return 0;
}

RawClient::~RawClient() { Close(); }

void RawClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::Connect(const std::string& address, int port, int timeoutMs) {
    Close();
    reset_ = false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) return false;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return true;
    if (errno != EINPROGRESS) {
        Close();
        return false;
    }
    pollfd p{fd_, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&p, 1, timeoutMs) != 1 || ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        Close();
        return false;
    }
    return true;
}

bool RawClient::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

std::string RawClient::Read(std::size_t n, int timeoutMs) {
    std::string got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0 && got.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) break;
        char buffer[4096];
        ssize_t r = ::recv(fd_, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r < 0 && errno == ECONNRESET) reset_ = true;
        if (r <= 0) break;
        got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
}

std::string RawClient::Exchange(const std::string& frame, std::size_t replySize, int timeoutMs) {
    if (!Send(std::string("\x1b[2J", 4) + frame)) return "";
    return Read(replySize, timeoutMs);
}

bool RawClient::PeerClosed(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0) return false;
        char buffer[4096];
        ssize_t r = ::recv(fd_, buffer, sizeof buffer, 0);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r < 0 && errno == ECONNRESET) reset_ = true;
        if (r <= 0) return true;
    }
    return true;
}

std::string StatusRequest(unsigned char code1, unsigned char code2) {
    const unsigned char bytes[12] = {0x20, 0xCA, 0xCE, 0x66, 0xD8, 0x64, 0xD8, code1, code2, 0xCA, 0xCE, 0x20};
    return std::string(reinterpret_cast<const char*>(bytes), 12);
}

std::string ShortRequest(const std::string& command, const std::string& data) {
    std::string f(526, ' ');
    f.replace(1, 2, "\xCA\xCE");
    f.replace(3, 6, "\x69\x68\x67\x68\xD8\xDD");
    f.replace(9, 2, command.substr(0, 2));
    f[11] = ':';
    f.replace(12, std::min<std::size_t>(data.size(), 512), data.substr(0, 512));
    f.replace(524, 2, "\xCA\xCE");
    return f;
}

std::string LongRequest(const std::string& command, const std::string& program, const std::string& code,
                        const std::string& data) {
    std::string f(1920, ' ');
    f[1] = '\xD8';
    f.replace(3, std::min<std::size_t>(command.size(), 9), command.substr(0, 9));
    f.replace(14, 6, "000000");
    f.replace(49, 2, code.substr(0, 2));
    f.replace(72, 8, program.substr(0, 8));
    f.replace(81, std::min<std::size_t>(data.size(), 1792), data.substr(0, 1792));
    f.replace(1917, 2, "\xCA\xCE");
    return f;
}

}  // namespace e2e
