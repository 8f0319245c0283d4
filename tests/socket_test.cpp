// SPDX-License-Identifier: MIT
// Socket layer: timed reads, complete writes, connects to 127.0.0.1,
// service lookup and host resolution.
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"
#include "tests/support/testing.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::ReadFile;

// The test's own end of a connection: a short write there is a fault of the test.
void PeerWrite(int fd, const char* bytes, std::size_t length) {
    EXPECT_EQ(::write(fd, bytes, length), static_cast<ssize_t>(length));
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Pair {
    int a = -1, b = -1;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a = fds[0];
        b = fds[1];
    }
    ~Pair() {
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
    }
};

// A TCP socket bound to an ephemeral port of 127.0.0.1, listening or not.
struct Local {
    int fd = -1;
    int port = 0;
    explicit Local(bool listening) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        if (listening) {
            EXPECT_EQ(::listen(fd, 8), 0);
        }
        socklen_t n = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
    }
    ~Local() { ::close(fd); }
};

std::string Dotted(uint32_t address) {
    in_addr a{address};
    return ::inet_ntoa(a);
}

void TurnTraceOn() {
    ::setenv("DEBUG_TCPCOM", "1", 1);
    TcpcomInitTrace();
    ASSERT_TRUE(TcpcomTraceOn());
}

// ------------------------------------------------------------- reads --

TEST(SocketRead, CollectsAPieceAtATimeUntilTheLengthIsReached) {
    TurnTraceOn();
    Pair p;
    std::thread writer([&] {
        for (const char* piece : {"ABC", "DEFG", "HIJ"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            PeerWrite(p.b, piece, std::strlen(piece));
        }
    });
    char buffer[16] = {};
    int length = 10;
    const int timeout = 5;
    EXPECT_EQ(SocketRead(&p.a, buffer, &length, &timeout), kTcpOk);
    writer.join();
    EXPECT_EQ(length, 10);
    EXPECT_EQ(std::string(buffer, 10), "ABCDEFGHIJ");
    EXPECT_NE(ReadFile("tcpcom.dbg").find(";RecvWithTimeout(...) (4), BytesRead = 10;1600;"), std::string::npos);
}

TEST(SocketRead, PeerClosingMidwayEndsAtOnceWithTheBytesSoFar) {
    TurnTraceOn();
    Pair p;
    PeerWrite(p.b, "12345", 5);
    ::close(p.b);
    p.b = -1;
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    int length = 40;
    const int timeout = 20;
    auto start = Clock::now();
    EXPECT_EQ(SocketRead(&p.a, buffer, &length, &timeout), kTcpOk);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(std::string(buffer, 6), "12345#");
    std::string trace = ReadFile("tcpcom.dbg");
    EXPECT_NE(trace.find(";RecvWithTimeout(...) (2), BytesRead = 5, Timeout;1600;"), std::string::npos);
}

TEST(SocketRead, NothingArrivingGivesTimeoutAndLengthZeroWithoutReceiveRecords) {
    TurnTraceOn();
    Pair p;
    char buffer[8];
    int length = 8;
    const int timeout = 1;
    auto start = Clock::now();
    EXPECT_EQ(SocketRead(&p.a, buffer, &length, &timeout), kTcpReadTimeout);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(length, 0);
    std::string trace = ReadFile("tcpcom.dbg");
    EXPECT_NE(trace.find("SelectOneFds;1600"), std::string::npos);
    EXPECT_EQ(trace.find("RecvWithTimeout"), std::string::npos);
}

// An interruption ends a read at once, also one asked for just before the
// read began (a signal arriving before the wait), never after its time-out.
TEST(SocketRead, InterruptionBeforeOrDuringTheWaitEndsItAtOnce) {
    for (int delayMs : {0, 200}) {
        Pair p;
        if (delayMs == 0) TcpcomInterrupt(1);
        std::thread signaller([delayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            TcpcomInterrupt(1);
        });
        char buffer[8];
        int received = -1;
        const auto start = Clock::now();
        EXPECT_EQ(TcpcomRead(p.a, buffer, 8, &received, 30), kTcpReadTimeout) << delayMs;
        EXPECT_LT(SecondsSince(start), 10.0) << delayMs;
        signaller.join();
        TcpcomInterrupt(0);
    }
}

TEST(SocketRead, PieceMissingTheDeadlineEndsTheReadWithWhatArrived) {
    Pair p;
    std::thread writer([&] {
        PeerWrite(p.b, "AB", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        PeerWrite(p.b, "CD", 2);
    });
    char buffer[4];
    int received = -1;
    auto start = Clock::now();
    EXPECT_EQ(TcpcomRead(p.a, buffer, 4, &received, 1), kTcpOk);
    double elapsed = SecondsSince(start);
    writer.join();
    EXPECT_EQ(received, 2);
    EXPECT_LT(elapsed, 2.4);
}

// ------------------------------------------------------------ writes --

extern "C" void OnAlarm(int) {}

TEST(SocketWrite, SendsTheWholeBufferEvenWhenSignalsInterruptTheSend) {
    // A send interrupted by a signal after part of the data went out returns
    // a short count; the write must carry on with the rest.
    struct sigaction action {};
    action.sa_handler = OnAlarm;  // no SA_RESTART
    ::sigaction(SIGALRM, &action, nullptr);
    itimerval timer{{0, 2000}, {0, 2000}};
    ::setitimer(ITIMER_REAL, &timer, nullptr);

    Pair p;
    const int size = 4 * 1024 * 1024;
    std::string data(size, '\0');
    for (int i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    std::string got;
    std::thread reader([&] {
        char chunk[4096];
        while (got.size() < static_cast<std::size_t>(size)) {
            ssize_t n = ::read(p.b, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got.append(chunk, static_cast<std::size_t>(n));
        }
    });
    int length = size;
    int rc = SocketWrite(&p.a, data.data(), &length);
    reader.join();
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(rc, kTcpOk);
    EXPECT_EQ(length, size);
    EXPECT_TRUE(got == data);
}

TEST(SocketWrite, ClosedPeerGivesSendFailedWithoutSigpipe) {
    Pair p;
    ::close(p.b);
    p.b = -1;
    int sent = -1;
    EXPECT_EQ(TcpcomWrite(p.a, "abcd", 4, &sent), kTcpSendFailed);
    EXPECT_EQ(sent, 0);
}

// ---------------------------------------------------------- connects --

TEST(SocketClientOpen, ConnectsAndUsesOnlyTheLow16BitsOfThePort) {
    Local server(true);
    int sock = -1;
    ASSERT_EQ(TcpcomOpen(&sock, "127.0.0.1", 0x30000 + server.port, 2), kTcpOk);
    int peer = ::accept(server.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    int nodelay = 0;
    socklen_t n = sizeof nodelay;
    ::getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &n);
    EXPECT_NE(nodelay, 0);

    // The socket is blocking and carries data both ways.
    int sent = 0;
    EXPECT_EQ(TcpcomWrite(sock, "ping", 4, &sent), kTcpOk);
    char buffer[4];
    ASSERT_EQ(::read(peer, buffer, 4), 4);
    PeerWrite(peer, "pong", 4);
    int received = 0;
    EXPECT_EQ(TcpcomRead(sock, buffer, 4, &received, 2), kTcpOk);
    EXPECT_EQ(std::string(buffer, 4), "pong");
    ::close(peer);
    EXPECT_EQ(TcpcomClose(sock), kTcpOk);
    EXPECT_EQ(TcpcomClose(sock), kTcpCloseFailed);
}

TEST(SocketClientOpen, RefusedConnectGivesUpAfterTheTimeout) {
    Local closed(false);  // bound, never listening: connects are refused
    int sock = 1234;
    auto start = Clock::now();
    EXPECT_EQ(TcpcomOpen(&sock, "127.0.0.1", closed.port, 2), kTcpConnectTimeout);
    double elapsed = SecondsSince(start);
    EXPECT_GE(elapsed, 2.0);
    EXPECT_LT(elapsed, 4.5);
    EXPECT_EQ(sock, 1234);  // no socket handed out
    EXPECT_EQ(TcpcomLastError(), ECONNREFUSED);
}

TEST(SocketClientOpen, HostThatNeverAnswersStillEndsNearTheTimeout) {
    // A listener whose accept queue is full drops further connection
    // requests: the connect gets no answer at all.
    Local busy(false);
    ASSERT_EQ(::listen(busy.fd, 0), 0);
    int first = -1;
    ASSERT_EQ(TcpcomOpen(&first, "127.0.0.1", busy.port, 1), kTcpOk);
    int sock = -1;
    auto start = Clock::now();
    EXPECT_EQ(TcpcomOpen(&sock, "127.0.0.1", busy.port, 1), kTcpConnectTimeout);
    EXPECT_LT(SecondsSince(start), 4.0);
    TcpcomClose(first);
}

TEST(SocketClientOpen, TimeoutZeroMakesOneAttempt) {
    Local closed(false);
    int sock = -1;
    auto start = Clock::now();
    EXPECT_EQ(TcpcomOpen(&sock, "127.0.0.1", closed.port, 0), kTcpConnectTimeout);
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST(SocketClientOpen, ConnectsWhenTheTerminalStartsListeningDuringTheTimeout) {
    Local server(false);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        ::listen(server.fd, 8);
    });
    int sock = -1;
    EXPECT_EQ(TcpcomOpen(&sock, "127.0.0.1", server.port, 5), kTcpOk);
    late.join();
    EXPECT_GE(sock, 0);
    if (sock >= 0) TcpcomClose(sock);
}

TEST(SocketClientOpen, EntryRecordsWithoutALogLeaveStandardOutputAlone) {
    testing_support::StdoutCapture out;
    testing_support::StdoutCapture err(2);
    int port = 0;
    EXPECT_EQ(SocketServiceName("telnet", &port), kTcpOk);
    EXPECT_EQ(SocketServiceName("telnet", &port), kTcpOk);
    EXPECT_EQ(err.Take(), "TcpcomLog: Keine Log-Datei initialisiert. Zuerst die Funktion 'TcpcomInitLog' aufrufen\n");
    EXPECT_EQ(out.Take(), "");
    EXPECT_EQ(port, 23);
}

// ------------------------------------------------- names and services --

TEST(SocketServiceName, UnknownServiceGives23) {
    int port = 77;
    EXPECT_EQ(TcpcomServicePort("no-such-service-here", &port), kTcpUnknownService);
    EXPECT_EQ(port, 77);
}

TEST(ResolveHostAddress, DottedNamesAreRebuiltAsDecimalNumbers) {
    uint32_t a = 0;
    ASSERT_EQ(ResolveHostAddress("010.001.002.003", &a), 1);
    EXPECT_EQ(Dotted(a), "10.1.2.3");
    ASSERT_EQ(ResolveHostAddress("192.168.001.010", &a), 1);
    EXPECT_EQ(Dotted(a), "192.168.1.10");
    // Digits, a dot, no digits: 123.0, which is 123.0.0.0.
    ASSERT_EQ(ResolveHostAddress("123.abc", &a), 1);
    EXPECT_EQ(Dotted(a), "123.0.0.0");
}

TEST(ResolveHostAddress, LongOrUndottedNamesGoToTheResolver) {
    uint32_t a = 0;
    ASSERT_EQ(ResolveHostAddress("localhost", &a), 1);
    EXPECT_EQ(Dotted(a), "127.0.0.1");
    // 15 characters are rebuilt (010 is ten); 16 go to the resolver
    // unchanged, which reads 0010 as octal.
    ASSERT_EQ(ResolveHostAddress("127.000.000.010", &a), 1);
    EXPECT_EQ(Dotted(a), "127.0.0.10");
    ASSERT_EQ(ResolveHostAddress("127.000.000.0010", &a), 1);
    EXPECT_EQ(Dotted(a), "127.0.0.8");
}

}  // namespace
