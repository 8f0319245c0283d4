// SPDX-License-Identifier: MIT
// Appends records to one log, for the logging figures of the bench table:
//
//   logwrite ours FILE COUNT SIZE_KB   COUNT operations records through the
//                                      log facility (rotating at SIZE_KB)
//   logwrite bare FILE COUNT           COUNT lines of the same length by a bare
//                                      loop of open, exclusive lock, append, close
//
// Several of them run at once to measure the appends of several processes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "tcpcom/tcpcom.h"

namespace {

constexpr const char* kText = "Terminal=T17 Downloaddatei=daten.txt Terminaldatei=DATEN Replace=1";

int Ours(const char* file, long count, int sizeKb) {
    if (TcpcomInitLog(file, kLogOperation, sizeKb) != 1) return 1;
    for (long i = 0; i < count; ++i) {
        if (TcpcomLog("xelbde", "APDNLOAD", kLogOperation, 0, 0, kText, "") != 1) return 1;
    }
    return 0;
}

int Bare(const char* file, long count) {
    char line[256];
    const int length = std::snprintf(line, sizeof line, "20260101120000;xelbde;APDNLOAD;0100;0000;00000;%s;\n", kText);
    for (long i = 0; i < count; ++i) {
        const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::write(fd, line, static_cast<size_t>(length)) != length) return 1;
        ::close(fd);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "ours") == 0) return Ours(argv[2], std::atol(argv[3]), std::atoi(argv[4]));
    if (argc == 4 && std::strcmp(argv[1], "bare") == 0) return Bare(argv[2], std::atol(argv[3]));
    std::fprintf(stderr, "usage: logwrite ours FILE COUNT SIZE_KB | bare FILE COUNT\n");
    return 2;
}
