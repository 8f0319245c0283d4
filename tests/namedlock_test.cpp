// SPDX-License-Identifier: MIT
// Named locks shared by processes and threads: bounded waits, release,
// a holder that dies, and the lock files themselves (and how files in a
// shared directory are opened).
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"
#include "tests/support/testing.h"

namespace {
using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A one-byte signal between parent and child.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void Send(char c) { EXPECT_EQ(::write(fds[1], &c, 1), 1); }
    char Receive() {
        char c = 0;
        return ::read(fds[0], &c, 1) == 1 ? c : '\0';
    }
};

// Child: takes the lock, tells the parent, then waits for the word to
// release ('r') or simply stays until it is killed.
pid_t StartHolder(Pipe& toParent, Pipe& toChild) {
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only the parent's ends stay open elsewhere, so the child ends when the parent goes.
        ::close(toChild.fds[1]);
        ::close(toParent.fds[0]);
        MutexHandle handle;
        if (MutexCreate("XELBDE2", &handle) != 1 || MutexWait(&handle, 1000) != 1) ::_exit(2);
        toParent.Send('h');
        if (toChild.Receive() == 'r') {
            toParent.Send(MutexRelease(&handle) ? 'd' : 'f');
        }
        toChild.Receive();
        ::_exit(0);
    }
    return pid;
}
}  // namespace

TEST(NamedLock, OtherProcessWaitsBoundedAndGetsTheLockAfterRelease) {
    Pipe toParent, toChild;
    pid_t child = StartHolder(toParent, toChild);
    ASSERT_GT(child, 0);
    ASSERT_EQ(toParent.Receive(), 'h');

    MutexHandle handle;
    ASSERT_EQ(MutexCreate("XELBDE2", &handle), 1);
    auto start = Clock::now();
    EXPECT_EQ(MutexWait(&handle, 200), 0);
    long waited = MillisecondsSince(start);
    EXPECT_GE(waited, 195);
    EXPECT_LT(waited, 5000);
    EXPECT_EQ(MutexRelease(&handle), 0);  // not held: nothing to release

    toChild.Send('r');
    EXPECT_EQ(toParent.Receive(), 'd');
    EXPECT_EQ(MutexWait(&handle, 5000), 1);
    EXPECT_NE(MutexRelease(&handle), 0);
    MutexClose(&handle);
    toChild.Send('x');
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(NamedLock, LockOfAHolderThatDiesIsFreeAgain) {
    Pipe toParent, toChild;
    pid_t child = StartHolder(toParent, toChild);
    ASSERT_GT(child, 0);
    ASSERT_EQ(toParent.Receive(), 'h');
    MutexHandle handle;
    ASSERT_EQ(MutexCreate("XELBDE2", &handle), 1);
    EXPECT_EQ(MutexWait(&handle, 50), 0);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(MutexWait(&handle, 5000), 1);
    EXPECT_NE(MutexRelease(&handle), 0);
    MutexClose(&handle);
}

TEST(NamedLock, NamesAreIndependent) {
    MutexHandle one, two;
    ASSERT_EQ(MutexCreate("XELBDE1", &one), 1);
    ASSERT_EQ(MutexCreate("XELBDE2", &two), 1);
    EXPECT_EQ(MutexWait(&one, 10), 1);
    EXPECT_EQ(MutexWait(&two, 10), 1);
    // A second handle of the same name conflicts even inside one process.
    MutexHandle again;
    ASSERT_EQ(MutexCreate("XELBDE1", &again), 1);
    EXPECT_EQ(MutexWait(&again, 20), 0);
    EXPECT_NE(MutexRelease(&one), 0);
    EXPECT_EQ(MutexWait(&again, 20), 1);
    MutexClose(&again);
    MutexClose(&one);
    MutexClose(&two);
}

namespace {
// Increments a counter with a deliberately racy read-pause-write inside the
// lock; a second thread inside the lock at the same time is caught by
// `inside` and shows as a lost increment. Between rounds it pauses longer
// than a waiter's poll, as a caller does between calls: a holder that took
// the lock again at once could keep a polling waiter out past its limit
// on a loaded machine, which is not what this test is about.
void Hammer(MutexHandle* handle, int rounds, int* counter, std::atomic<int>* inside, std::atomic<int>* overlaps,
            std::atomic<int>* failures) {
    for (int i = 0; i < rounds; ++i) {
        if (MutexWait(handle, 10000) != 1) {
            ++*failures;
            continue;
        }
        if (inside->fetch_add(1) != 0) ++*overlaps;
        int value = *counter;
        std::this_thread::yield();
        *counter = value + 1;
        inside->fetch_sub(1);
        if (MutexRelease(handle) == 0) ++*failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
}
}  // namespace

TEST(NamedLock, ThreadsSerialiseOnOneSharedHandleAndOnTheirOwn) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    MutexHandle shared;
    ASSERT_EQ(MutexCreate("XELBDE2", &shared), 1);
    MutexHandle own[kThreads];
    for (auto& handle : own) ASSERT_EQ(MutexCreate("XELBDE2", &handle), 1);

    int counter = 0;
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(Hammer, &shared, kRounds, &counter, &inside, &overlaps, &failures);
        threads.emplace_back(Hammer, &own[t], kRounds, &counter, &inside, &overlaps, &failures);
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, 2 * kThreads * kRounds);
    for (auto& handle : own) MutexClose(&handle);
    MutexClose(&shared);
}

TEST(NamedLock, OnlyTheOwningThreadReleasesAndRepeatedWaitsAreCounted) {
    MutexHandle handle;
    ASSERT_EQ(MutexCreate("XELBDE3", &handle), 1);
    ASSERT_EQ(MutexWait(&handle, 10), 1);
    ASSERT_EQ(MutexWait(&handle, 10), 1);
    int otherRelease = -1, otherWait = -1;
    std::thread other([&] {
        otherRelease = MutexRelease(&handle);
        otherWait = MutexWait(&handle, 30);
    });
    other.join();
    EXPECT_EQ(otherRelease, 0);
    EXPECT_EQ(otherWait, 0);

    MutexHandle second;
    ASSERT_EQ(MutexCreate("XELBDE3", &second), 1);
    EXPECT_NE(MutexRelease(&handle), 0);
    EXPECT_EQ(MutexWait(&second, 10), 0);  // still held once
    EXPECT_NE(MutexRelease(&handle), 0);
    EXPECT_EQ(MutexWait(&second, 10), 1);
    MutexClose(&second);
    MutexClose(&handle);
}

TEST(NamedLock, LockFileIsWorldWritableInTheLockDirectory) {
    mode_t old = ::umask(077);
    MutexHandle handle;
    ASSERT_EQ(MutexCreate("XELBDE4", &handle), 1);
    ::umask(old);
    const std::string path = std::string(std::getenv("XELBDE_LOCKDIR")) + "/xelbde-XELBDE4.lock";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    MutexClose(&handle);
    EXPECT_EQ(handle.fd, -1);
    EXPECT_EQ(MutexWait(&handle, 10), 0);

    ::setenv("XELBDE_LOCKDIR", "/nonexistent-lock-dir", 1);
    EXPECT_EQ(MutexCreate("XELBDE4", &handle), 0);
    EXPECT_EQ(MutexCreate("", &handle), 0);
}

// ------------------------------------------------------------ lock files ---

namespace {

std::string LockPath(const char* name) { return std::string(std::getenv("XELBDE_LOCKDIR")) + "/xelbde-" + name + ".lock"; }

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Refuses every open with O_CREAT but without O_EXCL, as the kernel does in
// a sticky shared directory for a file another user owns
// (fs.protected_regular = 2). Installed in a child process only.
bool RefuseCreateWithoutExclusive() {
    constexpr unsigned kArg1 = offsetof(seccomp_data, args) + 1 * sizeof(std::uint64_t);
    constexpr unsigned kArg2 = offsetof(seccomp_data, args) + 2 * sizeof(std::uint64_t);
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 8),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArg2),
        BPF_STMT(BPF_JMP | BPF_JA, 2),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_open, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArg1),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, O_CREAT | O_EXCL),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, O_CREAT, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

}  // namespace

TEST(LockFile, SymbolicLinkIsRefusedAndOnlyOurOwnFileGetsItsMode) {
    ASSERT_TRUE(testing_support::WriteFile("victim", "x"));
    ASSERT_EQ(::chmod("victim", 0600), 0);
    const std::string victim = testing_support::TestDir() + "/victim";
    ASSERT_EQ(::symlink(victim.c_str(), LockPath("XELBDE1").c_str()), 0);
    MutexHandle handle;
    EXPECT_EQ(MutexCreate("XELBDE1", &handle), 0);
    EXPECT_EQ(ModeOf(victim), 0600u);

    ASSERT_EQ(::mkfifo(LockPath("XELBDE2").c_str(), 0600), 0);
    EXPECT_EQ(MutexCreate("XELBDE2", &handle), 0) << "not a regular file";

    // A lock file someone else made stays as it is.
    ASSERT_TRUE(testing_support::WriteFile(LockPath("XELBDE3"), ""));
    ASSERT_EQ(::chmod(LockPath("XELBDE3").c_str(), 0640), 0);
    ASSERT_EQ(MutexCreate("XELBDE3", &handle), 1);
    EXPECT_EQ(ModeOf(LockPath("XELBDE3")), 0640u);
    MutexClose(&handle);
}

TEST(LockFile, ExistingFilesOpenWithoutCreateAndMissingOnesAreCreatedExclusively) {
    MutexHandle handle;
    ASSERT_EQ(MutexCreate("XELBDE1", &handle), 1);  // exists from now on
    MutexClose(&handle);
    ASSERT_TRUE(testing_support::WriteFile("shared.log", ""));
    std::fflush(stdout);
    pid_t child = ::fork();
    if (child == 0) {
        if (!RefuseCreateWithoutExclusive()) ::_exit(10);
        MutexHandle existing, missing;
        if (MutexCreate("XELBDE1", &existing) != 1) ::_exit(11);
        if (MutexCreate("XELBDE2", &missing) != 1) ::_exit(12);
        if (TcpcomInitLog("shared.log", 100, 2000) != 1) ::_exit(13);  // a DEBUG_FILE in a shared directory
        if (TcpcomInitLog("fresh.log", 100, 2000) != 1) ::_exit(14);
        ::_exit(0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 filter, 11 existing lock, 12 missing lock, 13/14 log";
}

TEST(LockFile, ProcessesRacingToCreateItHoldTheSameFile) {
    constexpr int kRounds = 20;
    constexpr int kRacers = 4;
    for (int round = 0; round < kRounds; ++round) {
        const std::string name = "RACE" + std::to_string(round);
        int start[2], results[2];
        ASSERT_EQ(::pipe(start), 0);
        ASSERT_EQ(::pipe(results), 0);
        std::fflush(stdout);
        std::vector<pid_t> racers;
        for (int r = 0; r < kRacers; ++r) {
            pid_t pid = ::fork();
            if (pid == 0) {
                ::close(start[1]);
                char c;
                (void)!::read(start[0], &c, 1);  // released all at once when the parent closes its end
                MutexHandle handle;
                struct stat st {};
                ino_t inode = MutexCreate(name.c_str(), &handle) == 1 && ::fstat(handle.fd, &st) == 0 ? st.st_ino : 0;
                (void)!::write(results[1], &inode, sizeof inode);
                ::_exit(0);
            }
            racers.push_back(pid);
        }
        ::close(start[0]);
        ::close(start[1]);
        ::close(results[1]);
        struct stat st {};
        for (int r = 0; r < kRacers; ++r) {
            ino_t inode = 0;
            ASSERT_EQ(::read(results[0], &inode, sizeof inode), static_cast<ssize_t>(sizeof inode));
            ASSERT_EQ(::stat(LockPath(name.c_str()).c_str(), &st), 0);
            EXPECT_EQ(inode, st.st_ino) << name;
        }
        ::close(results[0]);
        for (pid_t pid : racers) ::waitpid(pid, nullptr, 0);
        EXPECT_EQ(ModeOf(LockPath(name.c_str())), 0666u);
    }
}

TEST(NamedLock, HundredsOfThreadsWaitingOnOneNameAllGetTheirTurn) {
    constexpr int kThreads = 300;
    MutexHandle first;
    ASSERT_EQ(MutexCreate("XELBDE3", &first), 1);
    ASSERT_EQ(MutexWait(&first, 1000), 1);  // held until every thread waits
    std::atomic<int> failures{0}, inside{0}, overlaps{0}, waiting{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            MutexHandle handle;
            ++waiting;
            if (MutexCreate("XELBDE3", &handle) != 1 || MutexWait(&handle, 60000) != 1) {
                ++failures;
                MutexClose(&handle);
                return;
            }
            if (inside.fetch_add(1) != 0) ++overlaps;
            inside.fetch_sub(1);
            if (MutexRelease(&handle) == 0) ++failures;
            MutexClose(&handle);
        });
    }
    while (waiting.load() < kThreads) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NE(MutexRelease(&first), 0);
    for (auto& thread : threads) thread.join();
    MutexClose(&first);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
}

// Without XELBDE_LOCKDIR the lock files live in a directory of the user's
// own. One that another user owns, where that user could hold the locks,
// is not used: the process takes locks of its own and says so once.
TEST(LockFile, DefaultDirectoryIsTheUsersOwnAndAnotherUsersOneIsNotUsed) {
    ::unsetenv("XELBDE_LOCKDIR");
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string suffix = "/xelbde-" + std::to_string(::geteuid());
    ::setenv("TMPDIR", testing_support::TestDir().c_str(), 1);
    MutexHandle own;
    ASSERT_EQ(MutexCreate("XELBDE3", &own), 1);
    MutexClose(&own);
    EXPECT_EQ(ModeOf(testing_support::TestDir() + suffix), 0700u);
    EXPECT_TRUE(testing_support::PathExists(testing_support::TestDir() + suffix + "/xelbde-XELBDE3.lock"));
    EXPECT_EQ(tcpcom::TakeLockPlaceNotice(), nullptr);
    if (::geteuid() != 0) GTEST_SKIP() << "making a directory another user's needs root";

    const std::string planted = testing_support::TestDir() + "/other" + suffix;
    ASSERT_EQ(::mkdir((testing_support::TestDir() + "/other").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(planted.c_str(), 0777), 0);
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    const int holder = ::open((planted + "/xelbde-XELBDE1.lock").c_str(), O_RDWR | O_CREAT, 0666);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &whole), 0);
    ::setenv("TMPDIR", (testing_support::TestDir() + "/other").c_str(), 1);
    MutexHandle mine, again;
    ASSERT_EQ(MutexCreate("XELBDE1", &mine), 1);
    ASSERT_EQ(MutexCreate("XELBDE1", &again), 1);
    EXPECT_EQ(MutexWait(&mine, 100), 1);
    EXPECT_EQ(MutexWait(&again, 100), 0) << "the process's own locks still exclude each other";
    EXPECT_STREQ(tcpcom::TakeLockPlaceNotice(), planted.c_str());
    MutexClose(&again);
    MutexClose(&mine);
    ::close(holder);
}
