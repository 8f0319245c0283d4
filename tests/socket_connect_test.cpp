// SPDX-License-Identifier: MIT
// The connect loop, watched from inside: this executable puts its own
// connect() in front of the C library's so that every attempt is seen.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tcpcom/tcpcom.h"

namespace {
std::mutex g_mutex;
std::vector<std::chrono::steady_clock::time_point> g_attempts;
std::vector<int> g_fds;
std::atomic<bool> g_reused{false};
constexpr int kMark = 7;
}  // namespace

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_attempts.push_back(std::chrono::steady_clock::now());
        // A socket whose connect failed must never be tried again: each
        // attempt marks its socket, and a marked socket seen here again
        // means the loop reused it.
        int mark = 0;
        socklen_t size = sizeof mark;
        if (::getsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &mark, &size) == 0 && mark == kMark) g_reused = true;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &kMark, sizeof kMark);
        g_fds.push_back(fd);
    }
    return static_cast<int>(::syscall(SYS_connect, fd, address, length));
}

namespace {

TEST(ConnectLoop, RefusedAttemptsAreRepeatedAbout100msApartOnFreshSockets) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);  // bound, not listening
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);

    int sock = -1;
    EXPECT_EQ(TcpcomOpen(&sock, "127.0.0.1", ntohs(a.sin_port), 1), kTcpConnectTimeout);
    ::close(fd);

    std::lock_guard<std::mutex> lock(g_mutex);
    // One second at 100 ms pauses: about ten attempts.
    EXPECT_GE(g_attempts.size(), 3u);
    EXPECT_LE(g_attempts.size(), 12u);
    for (std::size_t i = 1; i < g_attempts.size(); ++i) {
        EXPECT_GE(g_attempts[i] - g_attempts[i - 1], std::chrono::milliseconds(95)) << "attempt " << i;
    }
    EXPECT_FALSE(g_reused.load());
    // Nothing is left open: every attempt's socket was closed.
    for (int used : g_fds) EXPECT_EQ(::fcntl(used, F_GETFD), -1) << used;
}

}  // namespace
