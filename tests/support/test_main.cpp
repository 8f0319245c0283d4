// SPDX-License-Identifier: MIT
// Test main: every test case runs in a temporary directory of its own (the
// log, TMPFILE and terminal.ini live in the working directory), with the
// library's environment variables cleared and its named locks in a lock
// directory of its own, so that no case sees another's files or locks.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

namespace testing_support {
namespace {
std::string g_test_dir;
std::string g_start_dir;

// A case that cannot get into (or back out of) its directory would write its
// files where other cases or the user keep theirs: stop the whole run.
void EnterDirectory(const std::string& path) {
    if (path.empty() || ::chdir(path.c_str()) != 0) {
        std::fprintf(stderr, "test harness: cannot enter \"%s\": %s\n", path.c_str(), std::strerror(errno));
        std::abort();
    }
}
}  // namespace

const std::string& TestDir() { return g_test_dir; }

class TempDirListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        char pattern[] = "/tmp/xeltest-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        g_test_dir = made != nullptr ? made : "";
        EnterDirectory(g_test_dir);
        std::string locks = g_test_dir + "/.locks";
        std::filesystem::create_directory(locks);
        ::setenv("XELBDE_LOCKDIR", locks.c_str(), 1);
    }
    void OnTestEnd(const ::testing::TestInfo& info) override {
        EnterDirectory(g_start_dir);
        if (info.result()->Passed() || std::getenv("XELTEST_KEEP") == nullptr) {
            std::error_code ignored;
            std::filesystem::remove_all(g_test_dir, ignored);
        }
    }
};

}  // namespace testing_support

int main(int argc, char** argv) {
    for (const char* name : {"DEBUG_LEVEL", "DEBUG_FILE", "DEBUG_SIZE", "DEBUG_TCPCOM", "XELBDE_TIMEOUT", "TERMINI",
                             "XELBDE_LOCKDIR"}) {
        ::unsetenv(name);
    }
    char* cwd = ::getcwd(nullptr, 0);
    testing_support::g_start_dir = cwd ? cwd : "/";
    std::free(cwd);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new testing_support::TempDirListener);
    return RUN_ALL_TESTS();
}
