// End-to-end harness: bdesim and the real xelcmd as child processes. The
// e2e_*_test executables run each case inside a private network namespace
// (tests/netns-run), so bdesim listens on port 23 of 127.0.0.x undisturbed.
#ifndef TESTS_SUPPORT_E2E_H
#define TESTS_SUPPORT_E2E_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

// bdesim started with a configuration text (written into the test's
// directory); the constructor returns once bdesim has signalled readiness.
class Sim {
  public:
    explicit Sim(const std::string& config, const std::vector<std::string>& extraArgs = {});
    ~Sim();  // SIGTERM, then waits for the process
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string& tracePath() const { return trace_; }  // bdesim's frame trace

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string trace_;
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

// Runs xelcmd with the given words (without the program name) in the test's
// directory and waits for it.
Result Xelcmd(const std::vector<std::string>& words, const RunOptions& options = {});

}  // namespace e2e

#endif
