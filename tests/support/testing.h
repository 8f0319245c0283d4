/* SPDX-License-Identifier: MIT */
// Helpers shared by all tests: files, captured standard output.
#ifndef TESTS_SUPPORT_TESTING_H
#define TESTS_SUPPORT_TESTING_H

#include <ostream>
#include <string>
#include <string_view>

namespace xelbde {
// Return codes print as their numbers in test messages.
enum class Code : int;
inline void PrintTo(Code code, std::ostream* out) { *out << static_cast<int>(code); }
}  // namespace xelbde

namespace testing_support {

// The temporary directory the current test runs in (its working directory).
const std::string& TestDir();

std::string ReadFile(const std::string& path);            // "" when missing
bool WriteFile(const std::string& path, std::string_view content);
bool PathExists(const std::string& path);

// Captures everything written to file descriptor 1 (printf, write), or to
// the descriptor given, between construction and Take().
class StdoutCapture {
  public:
    explicit StdoutCapture(int fd = 1);
    ~StdoutCapture();
    std::string Take();  // restores the descriptor and returns what was written

  private:
    int fd_;
    int saved_ = -1;
    std::string path_;
    bool taken_ = false;
};

// Feeds the given text as standard input (file descriptor 0) while alive.
class StdinFeed {
  public:
    explicit StdinFeed(std::string_view text);
    ~StdinFeed();

  private:
    int saved_ = -1;
};

}  // namespace testing_support

#endif
