/* SPDX-License-Identifier: MIT */
// End-to-end harness: bdesim and the real xelcmd as child processes. The
// e2e_*_test executables run each case inside a private network namespace
// (tests/netns-run), so bdesim listens on port 23 of 127.0.0.x undisturbed.
#ifndef TESTS_SUPPORT_E2E_H
#define TESTS_SUPPORT_E2E_H

#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

// bdesim started with a configuration text (written into the test's
// directory); the constructor returns once bdesim has signalled readiness.
// An empty configuration text passes no --config (use extraArgs such as
// {"--listen", "127.0.0.2"} then). bdesim always traces to tracePath().
class Sim {
  public:
    explicit Sim(const std::string& config, const std::vector<std::string>& extraArgs = {});
    ~Sim();  // SIGTERM, then waits for the process
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string& tracePath() const { return trace_; }  // bdesim's frame trace
    const std::string& readyLine() const { return readyLine_; }  // "ready NAME=ADDR:PORT ..."

    // Stops bdesim (SIGTERM) and returns its exit status (-1 when killed or
    // already stopped). The trace then holds the counters.
    int Stop();
    std::string trace() const;  // the trace file's current content

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string trace_;
    std::string readyLine_;
};

struct Result {
    int status = -1;  // exit status (0-255), or -1 when the process did not exit normally
    std::string out;  // everything xelcmd wrote to standard output
};

struct RunOptions {
    std::vector<std::string> env;  // extra "NAME=value" entries
    std::string input;             // standard input
    bool dropClockPrivilege = false;  // run under setpriv without CAP_SYS_TIME
};

// A signal sent to the running program once when (asked every 10 ms) says so.
struct SignalWhen {
    std::function<bool()> when;
    int signal = SIGTERM;
};

// Runs xelcmd with the given words (without the program name) in the test's
// directory and waits for it (killed after 120 s).
Result Xelcmd(const std::vector<std::string>& words, const RunOptions& options = {}, const SignalWhen& signal = {});

// Runs any program (path and arguments) the same way.
Result Run(const std::vector<std::string>& argv, const RunOptions& options = {}, const SignalWhen& signal = {});

// The frames of one terminal or adapter in a trace text, in order:
// direction '>' = requests received by bdesim (without the prefix), '<' =
// replies as sent; kind "" = any kind, else e.g. "QSVERSION", "upload", "ST".
std::vector<std::string> TraceFrames(const std::string& traceText, const std::string& who, char direction,
                                     const std::string& kind = "");
// The counter a stopped bdesim wrote for who and kind (0 when none).
long TraceCounter(const std::string& traceText, const std::string& who, const std::string& kind);

// A plain TCP client for talking to bdesim with hand-made frames.
class RawClient {
  public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connect(const std::string& address, int port = 23, int timeoutMs = 5000);
    bool Send(const std::string& bytes);  // as they are
    // Sends the screen-clear prefix and the frame, then reads replySize bytes
    // (fewer when the peer closes or timeoutMs passes).
    std::string Exchange(const std::string& frame, std::size_t replySize, int timeoutMs = 5000);
    // Reads up to n bytes within timeoutMs.
    std::string Read(std::size_t n, int timeoutMs = 5000);
    // True when the peer closed (or reset) the connection within timeoutMs.
    bool PeerClosed(int timeoutMs = 5000);
    void Close();
    int fd() const { return fd_; }
    bool wasReset() const { return reset_; }

  private:
    int fd_ = -1;
    bool reset_ = false;
};

// Request frames as the library builds them (blank-filled, markers set).
std::string StatusRequest(unsigned char code1 = 0xBD, unsigned char code2 = 0xF7);
std::string ShortRequest(const std::string& command, const std::string& data = "");
std::string LongRequest(const std::string& command, const std::string& program = "GFCUPL00",
                        const std::string& code = "  ", const std::string& data = "");

}  // namespace e2e

#endif
