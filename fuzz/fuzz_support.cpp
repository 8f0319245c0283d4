// SPDX-License-Identifier: MIT
#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

// A sanitizer report of undefined behaviour shows where it came from.
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1"; }

namespace fuzz_support {
namespace {

char g_removeAtExit[4096];

// The watcher: a child in a process group of its own (an interrupt at the
// terminal does not reach it) that blocks on a pipe whose only writer is
// this process. The pipe ends when this process ends, by exit, crash,
// interrupt or kill alike; the watcher then removes the directory.
void StartWatcher(const std::string& directory) {
    int ends[2];
    if (::pipe(ends) != 0) return;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_IGN);
        for (int fd = 0; fd < 1024; ++fd) {
            if (fd != ends[0]) ::close(fd);
        }
        char byte;
        while (::read(ends[0], &byte, 1) != 0) {
            if (errno != EINTR) break;
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
        ::_exit(0);
    }
    ::close(ends[0]);
    // The writer end must not outlive this process in the programs it starts.
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
}

std::string MakeScratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/xelfuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("fuzz: mkdtemp");
        std::abort();
    }
    StartWatcher(pattern);
    // An ordinary exit removes it at once; the watcher covers every other end.
    std::snprintf(g_removeAtExit, sizeof g_removeAtExit, "%s", pattern.c_str());
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_removeAtExit, ignored);
    });
    ::setenv("XELBDE_LOCKDIR", pattern.c_str(), 1);
    ::setenv("DEBUG_FILE", (pattern + "/xelbde.log").c_str(), 1);
    ::setenv("TERMINI", pattern.c_str(), 1);
    ::setenv("XELBDE_TIMEOUT", "1", 1);
    return pattern;
}

}  // namespace

const std::string& Scratch() {
    static const std::string directory = MakeScratch();
    return directory;
}

std::string ScratchPath(const char* name) { return Scratch() + "/" + name; }

bool WriteFile(const std::string& path, const void* data, std::size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

}  // namespace fuzz_support
