// SPDX-License-Identifier: MIT
// A command round: one xelcmd process per terminal, N at a time, its
// standard output collected through a pipe; failed terminals tried again
// after a growing pause while their code allows it; no new terminal once
// the round halted or a stop signal came.
//
// SIGINT, SIGTERM and SIGHUP reach the poll loop through a self-pipe and
// are passed on to the running xelcmd processes (each ends through its
// failure path and writes its record), again for every further signal; no
// further terminal is started, the running ones are waited for and
// reported, the ones not started are reported as skipped.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cmd/fleet.h"

namespace fleet {
namespace {

constexpr double kFirstPause = 0.5;  // seconds before the first retry, doubled for each further one
constexpr double kLongestPause = 30;

struct Job {
    std::size_t index = 0;  // into the terminals
    pid_t pid = -1;
    int out = -1;
    std::string output;
    Attempt attempt;
    double started = 0;  // monotonic
    bool signalled = false;  // a stop signal was passed on to it
};

// Where a terminal stands: its attempts so far and the last one's result.
struct Progress {
    int attempts = 0;
    Attempt last;
    std::string output;
    double retryAt = -1;  // monotonic time of the next attempt; -1: none due
};

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
// caller ignores (nohup) stay ignored, also in the xelcmd processes; poll()
// returns on a signal despite SA_RESTART.
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
        for (int signal : kStopSignals) sigaddset(&stops, signal);
        HandleStopSignals(RecordSignal);
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
bool Start(Job* job, const std::string& xelcmd, const std::string& terminal, const std::vector<std::string>& command,
           const sigset_t& callerMask) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
    std::vector<std::string> words = {xelcmd, terminal};
    for (const std::string& word : command) words.push_back(WithTerminal(word, terminal));
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    job->attempt.start = WallClock();
    job->started = Monotonic();
    job->pid = ::fork();
    if (job->pid == 0) {
        // The stop signals as the caller left them before they are
        // unblocked, so none arriving now is lost to our handler.
        HandleStopSignals(SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &callerMask, nullptr);
        // Results on standard output; no progress lines, no keyboard.
        ::dup2(pipe[1], STDOUT_FILENO);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(kExecFailed);
    }
    ::close(pipe[1]);
    if (job->pid < 0) {
        ::close(pipe[0]);
        return false;
    }
    job->out = pipe[0];
    return true;
}

Attempt Ended(Attempt attempt, int status, bool signalled) {
    if (WIFEXITED(status)) {
        attempt.code = WEXITSTATUS(status);
        attempt.outcome = attempt.code == kExecFailed ? Outcome::kNotStarted : Outcome::kCode;
    } else {
        attempt.code = kSignalBase + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        attempt.outcome = Outcome::kSignalled;
    }
    // xelcmd ends on a passed-on signal by that signal, or with its code.
    if (signalled && !attempt.ok()) attempt.outcome = Outcome::kInterrupted;
    return attempt;
}

// The round's state: which terminal comes next, what is running, who waits
// for a retry.
class Round {
  public:
    Round(const std::vector<std::string>& terminals, const RunSettings& settings, Printer* printer, Tally* tally)
        : terminals_(terminals), settings_(settings), printer_(printer), tally_(tally), progress_(terminals.size()),
          xelcmd_(XelcmdPath()) {}

    void Run() {
        const SignalPipe signals;
        while (true) {
            // Blocked from here to the last fork: a signal either stops the
            // starting or reaches the job just started.
            sigset_t unblocked;
            ::sigprocmask(SIG_BLOCK, &signals.stops, &unblocked);
            const int recorded = signals.Forward(&running_);
            if (tally_->stopSignal == 0) tally_->stopSignal = recorded;
            StartJobs(unblocked);
            ::sigprocmask(SIG_SETMASK, &unblocked, nullptr);
            const bool more = !Stopped() && (next_ < terminals_.size() || RetryWaiting() >= 0);
            if (running_.empty() && !more) break;
            std::vector<pollfd> fds;
            for (const Job& job : running_) fds.push_back({job.out, POLLIN, 0});
            fds.push_back({signals.readEnd, POLLIN, 0});  // last: wakes the loop, read at its top
            // A free place and a retry waiting: woken when its time comes.
            const double wake = static_cast<int>(running_.size()) < settings_.jobs ? RetryWaiting() : -1;
            const int timeout = wake < 0 ? -1 : static_cast<int>(std::ceil(std::max(0.0, wake - Monotonic()) * 1000));
            if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
            for (std::size_t i = running_.size(); i-- > 0;) {
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && Read(&running_[i])) {
                    Finish(std::move(running_[i]));
                    running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
        }
        if (tally_->stopSignal == 0) tally_->stopSignal = signals.Forward(&running_);  // one after the last job
        // What never got its turn: a retry not made reports its last
        // attempt, a terminal not started is skipped.
        for (std::size_t index = 0; index < terminals_.size(); ++index) {
            if (progress_[index].retryAt >= 0) Report(index);
        }
        for (; next_ < terminals_.size(); ++next_) Report(next_);
    }

  private:
    bool Stopped() const { return tally_->stopSignal != 0 || halted_; }

    // The earliest retry waiting (monotonic time), or -1 when none waits.
    double RetryWaiting() const {
        double earliest = -1;
        for (const Progress& p : progress_) {
            if (p.retryAt >= 0 && (earliest < 0 || p.retryAt < earliest)) earliest = p.retryAt;
        }
        return earliest;
    }

    // The next terminal to start: a retry whose time has come, else the
    // next new one; terminals_.size() when none.
    std::size_t Pick() {
        const double now = Monotonic();
        for (std::size_t index = 0; index < progress_.size(); ++index) {
            if (progress_[index].retryAt >= 0 && progress_[index].retryAt <= now) {
                progress_[index].retryAt = -1;
                return index;
            }
        }
        return next_ < terminals_.size() ? next_++ : terminals_.size();
    }

    void StartJobs(const sigset_t& unblocked) {
        while (!Stopped() && static_cast<int>(running_.size()) < settings_.jobs) {
            const std::size_t index = Pick();
            if (index == terminals_.size()) return;
            Job job;
            job.index = index;
            if (Start(&job, xelcmd_, terminals_[index], settings_.command, unblocked)) {
                running_.push_back(std::move(job));
            } else {
                job.attempt.outcome = Outcome::kNotStarted;
                job.attempt.code = kExecFailed;
                Finish(std::move(job));
            }
        }
    }

    // Reads what the job wrote; true once it has ended (and was reaped).
    static bool Read(Job* job) {
        char buffer[4096];
        const ssize_t n = ::read(job->out, buffer, sizeof buffer);
        if (n > 0) {
            job->output.append(buffer, static_cast<std::size_t>(n));
            return false;
        }
        if (n < 0 && errno == EINTR) return false;
        ::close(job->out);
        int status = 0;
        while (::waitpid(job->pid, &status, 0) < 0 && errno == EINTR) {
        }
        job->attempt = Ended(job->attempt, status, job->signalled);
        return true;
    }

    bool Retryable(const Progress& p) const {
        return p.last.outcome == Outcome::kCode && !p.last.ok() && p.attempts <= settings_.retries &&
               settings_.retryCodes.count(p.last.code) > 0;
    }

    void Finish(Job job) {
        job.attempt.seconds = job.pid > 0 ? Monotonic() - job.started : 0;
        Progress& p = progress_[job.index];
        ++p.attempts;
        p.last = job.attempt;
        p.output = std::move(job.output);
        if (settings_.jobLog != nullptr) settings_.jobLog->Write(terminals_[job.index], p.attempts, p.last);
        if (!Stopped() && Retryable(p)) {
            p.retryAt = Monotonic() + std::min(kLongestPause, kFirstPause * std::pow(2.0, p.attempts - 1));
            return;
        }
        Report(job.index);
    }

    // The terminal's line: its last attempt, or skipped when it had none.
    void Report(std::size_t index) {
        Progress& p = progress_[index];
        p.retryAt = -1;
        if (p.attempts > 0 && !p.last.ok() && ++finalFailures_ >= settings_.halt && settings_.halt > 0) {
            halted_ = true;
        }
        tally_->Count(p.last);
        Row row = AttemptRow(terminals_[index], p.last, tally_->stopSignal);
        row.push_back(p.attempts > 0 ? std::optional(std::to_string(p.attempts)) : std::nullopt);
        row.push_back(p.attempts > 0 ? std::optional(p.output) : std::nullopt);
        printer_->Put(index, std::move(row));
    }

    const std::vector<std::string>& terminals_;
    const RunSettings& settings_;
    Printer* printer_;
    Tally* tally_;
    std::vector<Progress> progress_;
    std::vector<Job> running_;
    std::size_t next_ = 0;  // the next terminal never started
    int finalFailures_ = 0;
    bool halted_ = false;
    const std::string xelcmd_;
};

constexpr Column kCommandColumns[] = {
    kAttemptColumns[0], kAttemptColumns[1], kAttemptColumns[2], kAttemptColumns[3], kAttemptColumns[4],
    kAttemptColumns[5], {"attempts", true, false}, {"output", false, true},
};

}  // namespace

std::span<const Column> CommandColumns() { return kCommandColumns; }

void RunCommand(const std::vector<std::string>& terminals, const RunSettings& settings, Printer* printer,
                Tally* tally) {
    Round(terminals, settings, printer, tally).Run();
}

}  // namespace fleet
