// SPDX-License-Identifier: MIT
// The socket layer on the terminal port inside a private network namespace:
// the service port, other loopback addresses and names no resolver knows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"

namespace {

// A listener on address:port; fd is -1 when it could not be set up.
struct Listener {
    int fd = -1;
    Listener(const char* address, int port) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &a.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
    // The local address the accepted connection arrived on.
    std::string AcceptedOn() {
        int peer = ::accept(fd, nullptr, nullptr);
        if (peer < 0) return "";
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ::getsockname(peer, reinterpret_cast<sockaddr*>(&a), &n);
        ::close(peer);
        char text[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
    }
};

TEST(TerminalPort, TelnetServiceReachesATerminalOnAnyLoopbackAddress) {
    int port = 0;
    ASSERT_EQ(TcpcomServicePort("telnet", &port), kTcpOk);
    ASSERT_EQ(port, 23);
    Listener terminal("127.0.0.10", port);
    ASSERT_GE(terminal.fd, 0);
    int sock = -1;
    // Leading zeros are decimal: 010 is ten, not eight.
    ASSERT_EQ(TcpcomOpen(&sock, "127.000.000.010", port, 2), kTcpOk);
    EXPECT_EQ(terminal.AcceptedOn(), "127.0.0.10:23");
    EXPECT_EQ(TcpcomClose(sock), kTcpOk);
}

TEST(TerminalPort, NoTerminalListeningGivesSevenAfterTheTimeout) {
    int sock = -1;
    EXPECT_EQ(TcpcomOpen(&sock, "127.0.0.5", 23, 1), kTcpConnectTimeout);
    EXPECT_EQ(sock, -1);
}

TEST(TerminalPort, NamesNoResolverKnowsGiveFive) {
    // No name server is reachable here: the lookups fail at once.
    int sock = -1;
    EXPECT_EQ(TcpcomOpen(&sock, "bde01", 23, 0), kTcpUnresolved);
    EXPECT_EQ(TcpcomOpen(&sock, "terminal.hall-3.example", 23, 0), kTcpUnresolved);
    uint32_t address = 0;
    EXPECT_EQ(ResolveHostAddress("", &address), 0);
    EXPECT_EQ(sock, -1);
}

}  // namespace
