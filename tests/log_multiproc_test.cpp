// SPDX-License-Identifier: MIT
// Several processes writing one small log that rotates many times: no record
// is torn, lost or written into the backup behind newer ones.
#include <cstdio>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tcpcom/tcpcom.h"
#include "tests/support/testing.h"

using testing_support::ReadFile;

namespace {

constexpr int kWriters = 6;
constexpr int kRecords = 2000;
constexpr int kSizeKb = 4;  // about 70 records a file: well over a hundred rotations
// A short pause between records keeps all writers running side by side
// instead of one writing in long bursts while the others wait out a retry.
constexpr useconds_t kPauseUs = 50;
constexpr const char* kLog = "multi.log";
constexpr const char* kBackup = "mult_.log";

// Child: waits for the start signal so that all writers overlap, writes its
// records and exits with the number of records that failed (at most 100).
[[noreturn]] void Writer(int id, int startFd) {
    char go = 0;
    if (::read(startFd, &go, 1) != 1) ::_exit(101);
    if (TcpcomInitLog(kLog, 100, kSizeKb) != 1) ::_exit(102);
    int failures = 0;
    for (int n = 0; n < kRecords; ++n) {
        char text[64];
        std::snprintf(text, sizeof text, "w=%d n=%d", id, n);
        if (TcpcomLog("multi", "W", 100, 0, 0, text, "") != 1 && failures < 100) ++failures;
        ::usleep(kPauseUs);
    }
    std::fflush(stdout);
    ::_exit(failures);
}

bool HasStamp(const std::string& line) {
    return line.size() > 15 && line[14] == ';' && line.find_first_not_of("0123456789") == 14;
}

// "<stamp>;multi;W;0100;0000;00000;w=<id> n=<number>;" and nothing else.
bool ParseWriterRecord(const std::string& line, int* id, int* number) {
    if (!HasStamp(line)) return false;
    char tail = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str() + 15, "multi;W;0100;0000;00000;w=%d n=%d%c%n", id, number, &tail, &consumed) != 3) {
        return false;
    }
    const std::string canonical = "w=" + std::to_string(*id) + " n=" + std::to_string(*number) + ";";
    return tail == ';' && static_cast<size_t>(15 + consumed) == line.size() &&
           line.compare(line.size() - canonical.size(), canonical.size(), canonical) == 0;
}

bool IsStartRecord(const std::string& line) {
    return HasStamp(line) && line.substr(15) ==
                                 "tcpcom;TcpcomInitLog;1600;0000;00000;Initialisierung Logdatei 'multi.log' "
                                 "(LogLevel: 100 Dateilaenge: 4);";
}

}  // namespace

TEST(LogMultiProcess, RotatingWritersKeepWholeLinesAndContiguousTails) {
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::fflush(stdout);
    std::vector<pid_t> children;
    for (int id = 0; id < kWriters; ++id) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(start[1]);
            Writer(id, start[0]);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    ::close(start[0]);
    const char go[kWriters] = {};
    ASSERT_EQ(::write(start[1], go, kWriters), kWriters);
    ::close(start[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "records lost by writer process " << pid;
    }

    std::map<int, std::vector<int>> surviving;
    size_t total = 0;
    for (const char* path : {kBackup, kLog}) {
        const std::string content = ReadFile(path);
        ASSERT_FALSE(content.empty()) << path;
        ASSERT_EQ(content.back(), '\n') << path << " ends inside a record";
        // Checked under the lock before each write: at most one record past
        // the limit, and the backup was full when it was renamed.
        EXPECT_LT(content.size(), static_cast<size_t>(kSizeKb) * 1024 + 100) << path;
        if (std::string(path) == kBackup) {
            EXPECT_GE(content.size(), static_cast<size_t>(kSizeKb) * 1024);
        }
        size_t from = 0;
        while (from < content.size()) {
            size_t end = content.find('\n', from);
            const std::string line = content.substr(from, end - from);
            from = end + 1;
            int id = -1, number = -1;
            if (ParseWriterRecord(line, &id, &number)) {
                surviving[id].push_back(number);
                ++total;
            } else {
                ASSERT_TRUE(IsStartRecord(line)) << path << ": torn or foreign line: " << line;
            }
        }
    }

    // With one backup generation older records are gone, but what survives of
    // each writer is an unbroken run up to its last record.
    EXPECT_GT(total, 50u);
    EXPECT_FALSE(surviving.empty());
    for (const auto& [id, numbers] : surviving) {
        ASSERT_LT(id, kWriters);
        EXPECT_EQ(numbers.back(), kRecords - 1) << "writer " << id;
        for (size_t i = 1; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "writer " << id << " after record " << numbers[i - 1];
        }
    }
}
