// SPDX-License-Identifier: MIT
#include "tests/support/testing.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace testing_support {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool WriteFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return static_cast<bool>(out);
}

bool PathExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

StdoutCapture::StdoutCapture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    path_ = TestDir() + "/.capture-" + std::to_string(fd);
    int file = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    saved_ = ::dup(fd_);
    ::dup2(file, fd_);
    ::close(file);
}

StdoutCapture::~StdoutCapture() { Take(); }

std::string StdoutCapture::Take() {
    if (taken_) return {};
    taken_ = true;
    std::fflush(nullptr);
    ::dup2(saved_, fd_);
    ::close(saved_);
    std::string text = ReadFile(path_);
    ::unlink(path_.c_str());
    return text;
}

StdinFeed::StdinFeed(std::string_view text) {
    std::string path = TestDir() + "/.stdin-feed";
    WriteFile(path, text);
    int fd = ::open(path.c_str(), O_RDONLY);
    saved_ = ::dup(0);
    ::dup2(fd, 0);
    ::close(fd);
    ::unlink(path.c_str());
    std::clearerr(stdin);
}

StdinFeed::~StdinFeed() {
    ::dup2(saved_, 0);
    ::close(saved_);
    std::clearerr(stdin);
}

}  // namespace testing_support
