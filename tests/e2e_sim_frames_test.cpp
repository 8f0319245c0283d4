// SPDX-License-Identifier: MIT
// bdesim answering status and long frames, its profiles and its faults,
// checked with hand-made frames over a raw connection.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <unistd.h>
#include <string>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"

namespace {

using e2e::LongRequest;
using e2e::RawClient;
using e2e::Sim;
using e2e::StatusRequest;

constexpr const char* kAddress = "127.0.0.2";

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

std::string Status(const std::string& reply) { return reply.size() >= 51 ? reply.substr(49, 2) : ""; }

struct Connected {
    explicit Connected(const std::string& config, const std::vector<std::string>& args = {}) : sim(config, args) {
        EXPECT_TRUE(sim.ready());
        EXPECT_TRUE(client.Connect(kAddress));
    }
    std::string Long(const std::string& command, const std::string& code = "  ", const std::string& data = "",
                     int timeoutMs = 5000) {
        return client.Exchange(LongRequest(command, "GFCUPL00", code, data), 1920, timeoutMs);
    }
    Sim sim;
    RawClient client;
};

const char* kOneTerminal = "[terminal T1]\nlisten = 127.0.0.2\n";

// --- status frames ---------------------------------------------------------

TEST(SimStatusFrame, TypeQueryAndSystemInitialisationReturnTheConfiguredStatusBytes) {
    for (const char* status : {"B5D8", "3F3F", "B562", "A2D8", "4142"}) {
        Connected t(std::string(kOneTerminal) + "status = " + status + "\n");
        int b7 = std::stoi(std::string(status, 2), nullptr, 16);
        int b8 = std::stoi(std::string(status + 2, 2), nullptr, 16);
        std::string expected = Bytes({0x20, 0xCE, 0xCA, 0x66, 0xD8, 0x64, 0xD8, b7, b8, 0xCE, 0xCA, 0x20});
        EXPECT_EQ(t.client.Exchange(StatusRequest(0xBD, 0xF7), 12), expected) << status;
        std::string init = t.client.Exchange(StatusRequest(0xF7, 0xF7), 12);
        EXPECT_EQ(init.substr(7, 2), expected.substr(7, 2)) << status;
        EXPECT_EQ(init.substr(9, 2), "\xCE\xCA");
    }
}

TEST(SimStatusFrame, CommandLineTerminalAndTraceOfBothDirections) {
    Sim sim("", {"--listen", kAddress, "--name", "K1", "--status", "A2D8"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(sim.readyLine(), "ready K1=127.0.0.2:23");
    RawClient client;
    ASSERT_TRUE(client.Connect(kAddress));
    std::string reply = client.Exchange(StatusRequest(), 12);
    ASSERT_EQ(reply.size(), 12u);
    client.Close();
    EXPECT_EQ(sim.Stop(), 0);
    std::string trace = sim.trace();
    EXPECT_EQ(e2e::TraceFrames(trace, "K1", '>', "status"), std::vector<std::string>{StatusRequest()});
    EXPECT_EQ(e2e::TraceFrames(trace, "K1", '<', "status"), std::vector<std::string>{reply});
    EXPECT_EQ(e2e::TraceCounter(trace, "K1", "status"), 1);
    EXPECT_EQ(e2e::TraceCounter(trace, "K1", "connect"), 1);
}

TEST(SimStatusFrame, WrongFixedBytesAnswerUnknownStatus) {
    Connected t(kOneTerminal);
    std::string request = StatusRequest();
    request[4] = 0x00;
    std::string reply = t.client.Exchange(request, 12);
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply.substr(7, 2), std::string(2, '\0'));
}

// --- long frames -------------------------------------------------------------

TEST(SimLongFrame, ReplyKeepsTheHeaderAndCarriesTheReplyMarker) {
    Connected t(kOneTerminal);
    std::string request = LongRequest("QPGMSTART");
    std::string reply = t.Long("QPGMSTART");
    ASSERT_EQ(reply.size(), 1920u);
    EXPECT_EQ(reply.substr(0, 49), request.substr(0, 49));
    EXPECT_EQ(Status(reply), "00");
    EXPECT_EQ(reply.substr(51, 30), request.substr(51, 30));
    EXPECT_EQ(reply.substr(81, 1836), std::string(1836, ' '));
    EXPECT_EQ(reply.substr(1917, 3), "\xCE\xCA ");
}

TEST(SimLongFrame, VersionTextAndFixedClock) {
    Connected t(std::string(kOneTerminal) +
                "version = KORVO_TEST 7.1\nclock = 070203140509\ndateformat = 2\nradio = W\n");
    std::string reply = t.Long("QSVERSION");
    ASSERT_EQ(reply.size(), 1920u);
    EXPECT_EQ(Status(reply), "00");
    EXPECT_EQ(reply.substr(81, 16), "KORVO TEST 7.1  ");
    EXPECT_EQ(reply.substr(209, 16), "070203140509 2 W");
    // A fixed clock does not run.
    EXPECT_EQ(t.Long("QSVERSION").substr(209, 12), "070203140509");
}

TEST(SimLongFrame, HostClockWithOffset) {
    Connected t(std::string(kOneTerminal) + "clock = host+86400\n");
    std::time_t before = std::time(nullptr) + 86400;
    std::string reply = t.Long("QSVERSION");
    std::time_t after = std::time(nullptr) + 86400;
    char low[16], high[16];
    std::tm tm{};
    std::strftime(low, sizeof low, "%y%m%d%H%M%S", localtime_r(&before, &tm));
    std::strftime(high, sizeof high, "%y%m%d%H%M%S", localtime_r(&after, &tm));
    std::string shown = reply.substr(209, 12);
    EXPECT_GE(shown, std::string(low));
    EXPECT_LE(shown, std::string(high));
}

TEST(SimLongFrame, SetClockSetsTheClockThatKeepsRunning) {
    Connected t(std::string(kOneTerminal) + "clock = 990101000000\n");
    std::string data = "7:235959311207";
    EXPECT_EQ(Status(t.Long("QSETCLOCK", "  ", data)), "00");
    std::string reply = t.Long("QSVERSION");
    std::string shown = reply.substr(209, 12);
    // 31 Dec 2007 23:59:59, a moment later at most a few seconds on.
    EXPECT_TRUE(shown == "071231235959" || shown.rfind("0801010000", 0) == 0) << shown;
    EXPECT_EQ(reply[222], '7');

    // Invalid times are refused and change nothing.
    for (const char* bad : {"1:99XX99999999", "1:240000010107", "1:120000310407", "1-120000010107"}) {
        EXPECT_EQ(Status(t.Long("QSETCLOCK", "  ", bad)), "98") << bad;
    }
    EXPECT_EQ(t.Long("QSVERSION")[222], '7');
}

TEST(SimLongFrame, FreeMemoryReaderTableProgramStateAndUnknownCommands) {
    Connected t(std::string(kOneTerminal) + "memory = 300\n");
    std::string format = t.Long("QRDFORMAT");
    EXPECT_EQ(Status(format), "00");
    EXPECT_EQ(format.substr(93, 4), " 300");

    std::string readers = t.Long("QUPLRDRTB");
    ASSERT_EQ(readers.size(), 1920u);
    for (std::size_t k : {0u, 255u, 256u, 1000u, 1791u}) {
        EXPECT_EQ(static_cast<unsigned char>(readers[81 + k]), (k + k / 256) % 256) << k;
    }

    EXPECT_EQ(Status(t.Long("QPGCANCEL", "40")), "00");
    EXPECT_EQ(Status(t.Long("QPGCANCEL")), "98");
    EXPECT_EQ(Status(t.Long("QPGMSTART")), "00");
    EXPECT_EQ(Status(t.Long("QSTISDNID")), "00");
    EXPECT_EQ(Status(t.Long("QXXXXXXXX")), "99");
    EXPECT_EQ(Status(t.client.Exchange(LongRequest("QSVERSION", "GFCXXX00"), 1920)), "99");

    std::string bad = LongRequest("QSVERSION");
    bad[15] = 'X';  // inside "000000"
    EXPECT_EQ(Status(t.client.Exchange(bad, 1920)), "98");
}

TEST(SimLongFrame, FreeMemoryTextCanBeConfigured) {
    Connected t(std::string(kOneTerminal) + "freemem = 12\n");
    EXPECT_EQ(t.Long("QRDFORMAT").substr(93, 4), "  12");
}

// --- connections ---------------------------------------------------------------

TEST(SimConnection, WrongPrefixOrUnknownHeaderEndsTheConnection) {
    Connected t(kOneTerminal);
    ASSERT_TRUE(t.client.Send("\x1b[3J" + StatusRequest()));
    EXPECT_TRUE(t.client.PeerClosed());

    ASSERT_TRUE(t.client.Connect(kAddress));
    std::string junk(12, 'x');
    ASSERT_TRUE(t.client.Send(std::string("\x1b[2J") + junk));
    EXPECT_TRUE(t.client.PeerClosed());

    // The terminal is free again for a proper request.
    ASSERT_TRUE(t.client.Connect(kAddress));
    EXPECT_EQ(t.client.Exchange(StatusRequest(), 12).size(), 12u);
}

TEST(SimConnection, SecondConnectionWaitsUntilTheFirstEnds) {
    Connected t(kOneTerminal);
    ASSERT_EQ(t.client.Exchange(StatusRequest(), 12).size(), 12u);
    RawClient second;
    ASSERT_TRUE(second.Connect(kAddress));
    EXPECT_EQ(second.Exchange(StatusRequest(), 12, 300), "");
    t.client.Close();
    EXPECT_EQ(second.Read(12).size(), 12u);
}

TEST(SimConnection, PeerVanishingMidRequestLeavesTheTerminalUsable) {
    Connected t(kOneTerminal);
    ASSERT_TRUE(t.client.Send(std::string("\x1b[2J") + LongRequest("QSVERSION").substr(0, 700)));
    t.client.Close();
    ASSERT_TRUE(t.client.Connect(kAddress));
    EXPECT_EQ(Status(t.Long("QSVERSION")), "00");
    t.client.Close();
    EXPECT_EQ(t.sim.Stop(), 0);
    EXPECT_NE(t.sim.trace().find("T1 * close by peer, incomplete request dropped"), std::string::npos);
}

TEST(SimConnection, TemporaryStoreIsRemovedAtExit) {
    std::string tmp = testing_support::TestDir() + "/tmp";
    ASSERT_TRUE(std::filesystem::create_directory(tmp));
    ::setenv("TMPDIR", tmp.c_str(), 1);
    Sim sim(kOneTerminal);
    ::unsetenv("TMPDIR");
    ASSERT_TRUE(sim.ready());
    EXPECT_FALSE(std::filesystem::is_empty(tmp));
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
}

TEST(SimConnection, RandomRequestsNeverStopTheTerminal) {
    Connected t(std::string(kOneTerminal) + "[adapter A1]\nlisten = 127.0.0.5\n[terminal F1]\nnumber = 1\n");
    unsigned state = 12345;
    auto next = [&]() { return state = state * 1103515245u + 12345u, (state >> 16) & 0xFF; };
    const char* programs[] = {"GFCUPL00", "GFCDNL00", "GFCDNL20", "GFCDNL50", "XXXXXXXX"};
    const char* commands[] = {"QSVERSION", "QSETCLOCK", "QDIRINFOS", "QMU", "QPGCANCEL", "ABC", ""};
    t.client.Close();
    for (const char* address : {"127.0.0.2", "127.0.0.5"}) {
        RawClient client;
        ASSERT_TRUE(client.Connect(address));
        for (int i = 0; i < 150; ++i) {
            std::string data;
            for (int k = 0; k < 1792; ++k) data += static_cast<char>(next());
            std::string frame;
            switch (next() % 3) {
                case 0:
                    frame = LongRequest(commands[next() % 7], programs[next() % 5], std::string(1, char(next())) + "2",
                                        data);
                    if (next() % 4 == 0) frame[3 + next() % 9] = static_cast<char>(next());
                    break;
                case 1:
                    frame = e2e::ShortRequest(next() % 2 ? "DN" : "ID", data.substr(0, next() % 2 ? 512 : 20));
                    break;
                default: frame = StatusRequest(static_cast<unsigned char>(next()), static_cast<unsigned char>(next()));
            }
            ASSERT_FALSE(client.Exchange(frame, frame.size()).empty()) << address << " " << i;
        }
    }
    RawClient last;
    ASSERT_TRUE(last.Connect(kAddress));
    EXPECT_EQ(last.Exchange(StatusRequest(), 12).size(), 12u);
    last.Close();
    EXPECT_EQ(t.sim.Stop(), 0);
}

// --- faults ------------------------------------------------------------------------

TEST(SimFaults, SilenceOnTheSecondMatchOnly) {
    Connected t(std::string(kOneTerminal) + "fault = QSVERSION#2 silence\n");
    EXPECT_EQ(Status(t.Long("QSVERSION")), "00");
    EXPECT_EQ(t.Long("QSVERSION", "  ", "", 300), "");
    EXPECT_EQ(Status(t.Long("QSVERSION")), "00");
    EXPECT_EQ(Status(t.Long("QRDFORMAT")), "00");
}

TEST(SimFaults, ForKRevertsAfterKMatches) {
    Connected t(std::string(kOneTerminal) + "fault = QRDFORMAT#2 status=07 for=2\n");
    std::vector<std::string> statuses;
    for (int i = 0; i < 4; ++i) statuses.push_back(Status(t.Long("QRDFORMAT")));
    EXPECT_EQ(statuses, (std::vector<std::string>{"00", "07", "07", "00"}));
}

TEST(SimFaults, WrongMarkerPositions) {
    Connected t(std::string(kOneTerminal) +
                "fault = QSVERSION marker\nfault = status#1 marker=end\nfault = status#2 marker=start\n");
    EXPECT_EQ(t.Long("QSVERSION").substr(1917, 2), "\xCA\xCE");
    std::string end = t.client.Exchange(StatusRequest(), 12);
    EXPECT_EQ(end.substr(1, 2), "\xCE\xCA");
    EXPECT_EQ(end.substr(9, 2), "\xCA\xCE");
    std::string start = t.client.Exchange(StatusRequest(), 12);
    EXPECT_EQ(start.substr(1, 2), "\xCA\xCE");
    EXPECT_EQ(start.substr(9, 2), "\xCE\xCA");
}

TEST(SimFaults, StatusBytesOfTheStatusFrame) {
    Connected t(std::string(kOneTerminal) + "fault = status status=4142\nfault = sysinit status=??\n");
    EXPECT_EQ(t.client.Exchange(StatusRequest(), 12).substr(7, 2), "AB");
    EXPECT_EQ(t.client.Exchange(StatusRequest(0xF7, 0xF7), 12).substr(7, 2), "??");
}

TEST(SimFaults, BlankInAStatusIsWrittenAsUnderscore) {
    Connected t(std::string(kOneTerminal) + "fault = QPGMSTART status=_5\n");
    EXPECT_EQ(Status(t.Long("QPGMSTART")), " 5");
}

TEST(SimFaults, CutClosesAfterNBytesStallKeepsTheConnection) {
    Connected t(std::string(kOneTerminal) + "fault = QSVERSION#1 cut=100\nfault = QRDFORMAT#1 stall=10\n");
    EXPECT_EQ(t.Long("QSVERSION").size(), 100u);
    EXPECT_TRUE(t.client.PeerClosed());

    ASSERT_TRUE(t.client.Connect(kAddress));
    EXPECT_EQ(t.Long("QRDFORMAT", "  ", "", 300).size(), 10u);
    // The connection stays; the next request is answered (after the 10 bytes).
    std::string next = t.Long("QPGMSTART");
    ASSERT_EQ(next.size(), 1920u);
    EXPECT_EQ(next.substr(1917, 2), "\xCE\xCA");
}

TEST(SimFaults, CloseAndResetInsteadOfTheReply) {
    Connected t(std::string(kOneTerminal) + "fault = QSVERSION#1 close\nfault = QSVERSION#2 reset\n");
    EXPECT_EQ(t.Long("QSVERSION"), "");
    EXPECT_TRUE(t.client.PeerClosed());
    EXPECT_FALSE(t.client.wasReset());
    ASSERT_TRUE(t.client.Connect(kAddress));
    EXPECT_EQ(t.Long("QSVERSION"), "");
    EXPECT_TRUE(t.client.PeerClosed());
    EXPECT_TRUE(t.client.wasReset());
}

TEST(SimFaults, DelayAndTrickleStillDeliverTheWholeReply) {
    Connected t(std::string(kOneTerminal) + "fault = status delay=300 trickle=20\n");
    // Not there before the delay has passed...
    EXPECT_EQ(t.client.Exchange(StatusRequest(), 12, 100), "");
    // ...then complete, byte by byte.
    std::string reply = t.client.Read(12);
    EXPECT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply.substr(1, 2), "\xCE\xCA");
}

TEST(SimFaults, TrickledBytesArriveOneByOne) {
    Connected t(std::string(kOneTerminal) + "fault = status trickle=150\n");
    ASSERT_TRUE(t.client.Send(std::string("\x1b[2J") + StatusRequest()));
    std::string first = t.client.Read(12, 50);
    EXPECT_LT(first.size(), 12u);
    std::string rest = t.client.Read(12 - first.size());
    ASSERT_EQ((first + rest).size(), 12u);
    EXPECT_EQ((first + rest).substr(9, 2), "\xCE\xCA");
}

TEST(SimFaults, ConnectionFaults) {
    Connected t(std::string(kOneTerminal) + "fault = connect#1 close\nfault = connect#2 silence\n");
    EXPECT_TRUE(t.client.PeerClosed());
    ASSERT_TRUE(t.client.Connect(kAddress));
    EXPECT_EQ(t.client.Exchange(StatusRequest(), 12, 300), "");
    ASSERT_TRUE(t.client.Connect(kAddress));
    EXPECT_EQ(t.client.Exchange(StatusRequest(), 12).size(), 12u);
}

TEST(SimFaults, RefuseFromTheStartForAWhile) {
    Sim sim(std::string(kOneTerminal) + "fault = connect refuse=800\n");
    ASSERT_TRUE(sim.ready());
    RawClient client;
    EXPECT_FALSE(client.Connect(kAddress));
    bool connected = false;
    for (int i = 0; i < 100 && !connected; ++i) {
        connected = client.Connect(kAddress);
        if (!connected) ::usleep(50000);
    }
    ASSERT_TRUE(connected);
    EXPECT_EQ(client.Exchange(StatusRequest(), 12).size(), 12u);
}

TEST(SimFaults, SecondConnectionRefusedForGood) {
    Sim sim(std::string(kOneTerminal) + "fault = connect#2 refuse\n");
    ASSERT_TRUE(sim.ready());
    RawClient client;
    ASSERT_TRUE(client.Connect(kAddress));
    EXPECT_EQ(client.Exchange(StatusRequest(), 12).size(), 12u);
    client.Close();
    // bdesim closes its listener once the first connection has ended.
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        RawClient probe;
        refused = !probe.Connect(kAddress);
        if (!refused) ::usleep(20000);
    }
    EXPECT_TRUE(refused);
}

TEST(SimFaults, NoacceptLeavesConnectionsWaiting) {
    Sim sim(std::string(kOneTerminal) + "fault = connect noaccept=1500\n");
    ASSERT_TRUE(sim.ready());
    RawClient client;
    ASSERT_TRUE(client.Connect(kAddress));  // the kernel completes it
    EXPECT_EQ(client.Exchange(StatusRequest(), 12, 200), "");
    EXPECT_EQ(client.Read(12).size(), 12u);  // answered once accepted
}

TEST(SimFaults, ChanceNeedsASeedAndIsRepeatable) {
    std::string config = std::string(kOneTerminal) + "fault = QPGMSTART status=05 chance=50\n";
    {
        Sim unseeded(config);
        EXPECT_FALSE(unseeded.ready());
    }
    auto run = [&]() {
        Connected t(config, {"--seed", "42"});
        std::string statuses;
        for (int i = 0; i < 16; ++i) statuses += Status(t.Long("QPGMSTART")) + " ";
        return statuses;
    };
    std::string first = run();
    EXPECT_EQ(first, run());
    EXPECT_NE(first.find("05"), std::string::npos);
    EXPECT_NE(first.find("00"), std::string::npos);
}

}  // namespace
