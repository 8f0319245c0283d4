// Named locks shared by processes and threads: bounded waits, release,
// a holder that dies, and the lock files themselves.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

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
// `inside` and shows as a lost increment.
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
