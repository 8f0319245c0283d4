// SPDX-License-Identifier: MIT
// Share-mode opens that wait for busy files, opens by name in directories
// others may write, and the text and number helpers.
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <future>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"
#include "tests/support/e2e.h"
#include "tests/support/testing.h"

using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {
using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Runs body in a child process as uid and gid 65534; its result is the exit status (255: not run).
int AsNobody(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0;
        ::_exit(dropped && ::setresuid(65534, 65534, 65534) == 0 ? body() : 255);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}
}  // namespace

// -------------------------------------------------------- share-mode opens --

TEST(OpenWithRetry, ExclusivelyHeldFileIsRetriedForAboutFiveSecondsThenDenied) {
    ASSERT_TRUE(WriteFile("busy", "data"));
    int holder = OpenWithRetry("busy", O_RDONLY, kShareDenyReadWrite, 0);
    ASSERT_GE(holder, 0);
    auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(OpenWithRetry("busy", O_RDONLY, kShareDenyWrite, 0), -1);
    EXPECT_EQ(errno, EACCES);
    long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 101 * 50 - 50);
    EXPECT_LT(elapsed, 30000);
    EXPECT_EQ(CloseIfOpen(holder), 0);
}

TEST(OpenWithRetry, WaiterGetsTheFileWhenTheHolderClosesAndTruncatesOnlyThen) {
    ASSERT_TRUE(WriteFile("out", "old content"));
    int holder = OpenWithRetry("out", O_RDWR, kShareDenyReadWrite, 0);
    ASSERT_GE(holder, 0);
    auto waiter = std::async(std::launch::async, [] {
        return OpenWithRetry("out", O_WRONLY | O_CREAT | O_TRUNC, kShareDenyReadWrite, 0666);
    });
    ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(ReadFile("out"), "old content");  // not cut under the holder
    ASSERT_EQ(::close(holder), 0);
    int fd = waiter.get();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ReadFile("out"), "");
    EXPECT_EQ(::write(fd, "new", 3), 3);
    ::close(fd);
    EXPECT_EQ(ReadFile("out"), "new");
}

TEST(OpenWithRetry, SharedOpensCoexistAndCreatedFilesGetTheirMode) {
    ASSERT_TRUE(WriteFile("shared", "x"));
    int a = OpenWithRetry("shared", O_RDONLY, kShareDenyWrite, 0);
    int b = OpenWithRetry("shared", O_RDONLY, kShareDenyWrite, 0);
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    int unlocked = OpenWithRetry("shared", O_RDONLY, kShareDenyNone, 0);
    EXPECT_GE(unlocked, 0);
    CloseIfOpen(a);
    CloseIfOpen(b);
    CloseIfOpen(unlocked);

    mode_t old = ::umask(022);
    int fd = OpenWithRetry("fresh", O_WRONLY | O_CREAT, kShareDenyReadWrite, 0666);
    ::umask(old);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    CloseIfOpen(fd);
}

TEST(OpenWithRetry, OtherErrorsEndAtOnce) {
    auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(OpenWithRetry("no/such/file", O_RDONLY, kShareDenyWrite, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_LT(MillisecondsSince(start), 1000);  // far below the ~5 s of retries
    EXPECT_EQ(CloseIfOpen(-1), 0);
}

TEST(OpenWithRetry, OnlyABusyFileIsWaitedForAndAnInterruptEndsThatWait) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    ASSERT_TRUE(WriteFile("busy", "x") && WriteFile("theirs", "x"));
    ASSERT_EQ(::chmod(".", 0711) | ::chmod("theirs", 0600), 0);  // root's: another user may not read it
    int holder = OpenWithRetry("busy", O_RDONLY, kShareDenyReadWrite, 0);
    TcpcomInterrupt(1);
    // A refusal fails at once, not as a busy file: only the busy one sees the interrupt.
    for (const auto& [path, error] : {std::pair{"theirs", EACCES}, std::pair{"busy", EINTR}, std::pair{"none", ENOENT}}) {
        const char* name = path;
        const auto open = [name] { return OpenWithRetry(name, O_RDONLY, kShareDenyWrite, 0) == -1 ? errno : 0; };
        EXPECT_EQ(AsNobody(open), error) << path;
    }
    TcpcomInterrupt(0);
    EXPECT_EQ(CloseIfOpen(holder), 0);
}

TEST(OpenByName, LinksAnotherUserPlantedInASharedDirectoryAreNeverFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant links as another user";
    ASSERT_EQ(::chmod(".", 0777), 0);  // anyone may write here, and there is no sticky bit
    ASSERT_TRUE(WriteFile("victim", "secret") && WriteFile("real.log", ""));
    ASSERT_EQ(::symlink("real.log", "mine.log"), 0);  // the caller's own link is followed
    ASSERT_EQ(AsNobody([] {
                  return ::symlink("victim", "TMPFILE") | ::symlink("victim", "xelbde.log") | ::symlink("made", "out");
              }),
              0);
    const struct {
        std::vector<std::string> words;
        const char* log;
        int status;
    } runs[] = {
        {{"T", "apdsplog", "*ALL"}, "DEBUG_FILE=mine.log", 0},         // TMPFILE removed first, not written through
        {{"T", "apdsplog", "*ALL", "out"}, "DEBUG_FILE=mine.log", 1},  // nothing made through a dangling link
        {{"T", "apdsplog", "*ALL", "list"}, "DEBUG_FILE=xelbde.log", 1},  // the log refused, not appended to
    };
    for (const auto& run : runs) {
        e2e::RunOptions options;
        options.env = {run.log};
        EXPECT_EQ(e2e::Xelcmd(run.words, options).status, run.status) << run.words.back() << " " << run.log;
    }
    EXPECT_EQ(ReadFile("victim"), "secret");
    EXPECT_FALSE(PathExists("TMPFILE") || PathExists("made"));
}

// ------------------------------------------------------------ text helpers --

TEST(TextHelpers, TrimRemovesBlanksAndTabsInPlace) {
    char text[] = " \t ab c \t ";
    EXPECT_EQ(TrimLeft(text), text);
    EXPECT_STREQ(text, "ab c \t ");
    EXPECT_EQ(TrimRight(text), text);
    EXPECT_STREQ(text, "ab c");
    char blank[] = " \t ";
    EXPECT_STREQ(TrimRight(blank), "");
    char empty[] = "";
    EXPECT_STREQ(TrimLeft(empty), "");
    char newline[] = "x\n";
    EXPECT_STREQ(TrimRight(newline), "x\n");  // only blanks and tabs count
}

TEST(TextHelpers, CompareNoCaseFoldsOnlyLettersAndStopsAtTheTexts) {
    EXPECT_EQ(CompareNoCase("APCNL00B", "apcnl00b", 8), 1);
    EXPECT_EQ(CompareNoCase("apcnl00bX", "APCNL00B", 8), 1);
    EXPECT_EQ(CompareNoCase("apcnl00", "APCNL00B", 8), 0);  // a shorter word matches nothing
    EXPECT_EQ(CompareNoCase("[", "{", 1), 0);               // only a to z are folded
    EXPECT_EQ(CompareNoCase("\xE4", "\xC4", 1), 0);
    EXPECT_EQ(CompareNoCase("abc", "xyz", 0), 1);
    EXPECT_EQ(CompareNoCase("abc", "xyz", -4), 1);
    // Equal texts shorter than n: equal, without reading past their ends.
    const char a[3] = {'a', 'b', '\0'};
    const char b[3] = {'A', 'B', '\0'};
    EXPECT_EQ(CompareNoCase(a, b, 100), 1);
}

TEST(TextHelpers, DecimalConversionsReadAsTheCLibraryDoes) {
    struct Case {
        const char* text;
        tcpcom::DecimalRule rule;
        bool found;
        long long value;   // sign applied
        std::size_t length;
    };
    const Case cases[] = {
        {" \t\n+42x", {}, true, 42, 6},           // white space and sign, as strtol
        {"-7", {}, true, -7, 2},
        {"- 7", {}, false, 0, 0},                  // a sign without digits is no number
        {"  ", {}, false, 0, 0},
        {"-1", {.sign = false}, false, 0, 0},      // digits only ("-1" reads as nothing)
        {"  12345", {.width = 4}, true, 1234, 6},  // "%4ld": the width counts sign and digits
        {"-12345", {.width = 4}, true, -123, 4},
    };
    for (const Case& c : cases) {
        tcpcom::Decimal d = tcpcom::ScanDecimal(c.text, c.rule);
        EXPECT_EQ(d.found, c.found) << c.text;
        EXPECT_EQ(d.negative ? -static_cast<long long>(d.magnitude) : static_cast<long long>(d.magnitude), c.value)
            << c.text;
        EXPECT_EQ(d.length, c.length) << c.text;
    }
    EXPECT_EQ(tcpcom::StrtolInt("99999999999"), INT_MAX);  // held at the ends of int, as atoi should
    EXPECT_EQ(tcpcom::StrtolInt("-99999999999"), INT_MIN);
    EXPECT_EQ(tcpcom::StrtolInt("word"), 0);
    EXPECT_EQ(tcpcom::LowByte(tcpcom::ScanDecimal("300")), 44);  // "%d" of an address byte keeps 8 bits
    EXPECT_EQ(tcpcom::LowByte(tcpcom::ScanDecimal("-1")), 255);
    EXPECT_EQ(tcpcom::LowByte(tcpcom::ScanDecimal("18446744073709551617")), 1);  // past 64 bits: still the low bits
}
