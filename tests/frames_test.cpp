// SPDX-License-Identifier: MIT
// Terminal frames: exact bytes on the wire, the two transactions with their
// marker checks, short and late replies, the status table of the terminal
// type query and the reply time-out.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tcpcom/tcpcom.h"
#include "tests/support/peer.h"
#include "tests/support/testing.h"
#include "xelbde/internal.h"

namespace {

using testing_support::LongReply;
using testing_support::PeerAction;
using testing_support::Put;
using testing_support::ReadFile;
using testing_support::ScriptedPeer;
using testing_support::ShortReply;
using testing_support::StatusReply;
using namespace xelbde;

const std::string kPrefix = "\x1B[2J";

std::string Bytes(const unsigned char* data, std::size_t n) { return std::string(reinterpret_cast<const char*>(data), n); }
template <std::size_t N>
std::string Bytes(const FrameBytes<N>& frame) { return Bytes(frame.bytes.data(), N); }

// The peer's end as a session with the default reply time-out.
Session On(int fd) { return Session{fd, GetBdeTimeout()}; }

PeerAction Answer(std::string reply) { return PeerAction::Reply(std::move(reply)); }

class Frames : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(GetBdeTimeout(), 25); }
};

class FramesWithLog : public Frames {
  protected:
    void SetUp() override {
        Frames::SetUp();
        ASSERT_EQ(TcpcomInitLog("frames.log", 1000, 100), 1);
    }
    std::string Log() { return ReadFile("frames.log"); }
};

// ------------------------------------------------------ bytes on the wire --

TEST_F(Frames, StatusFrameGoesOutAsTwelveBytesAfterThePrefix) {
    for (const unsigned char* code : {kTypeQuery, kSystemInit}) {
        ScriptedPeer peer([](int, const std::string&) { return Answer(StatusReply(0xB5, 0xD8)); });
        TerminalType type{};
        EXPECT_EQ(SendKorvoCommand(On(peer.clientFd()), code, &type), Code::kOk);
        ASSERT_EQ(peer.requests().size(), 1u);
        EXPECT_EQ(peer.prefixes()[0], kPrefix);
        std::string expected = "\x20\xCA\xCE\x66\xD8\x64\xD8";
        expected += Bytes(code, 2);
        expected += "\xCA\xCE\x20";
        EXPECT_EQ(peer.requests()[0], expected);
    }
}

TEST_F(Frames, ShortFramesGoOutWhole) {
    std::string cl, id;
    {
        ScriptedPeer peer([](int, const std::string&) { return Answer(ShortReply("00")); });
        EXPECT_TRUE(ShortTransaction(On(peer.clientFd()), BuildShortFrame("CL")));
        ASSERT_EQ(peer.requests().size(), 1u);
        EXPECT_EQ(peer.prefixes()[0], kPrefix);
        cl = peer.requests()[0];
    }
    {
        ScriptedPeer peer([](int, const std::string&) { return Answer(ShortReply("00")); });
        ShortFrame frame = BuildShortFrame("ID");
        frame.PutText(ShortFrame::kData, "12345", 5);
        EXPECT_TRUE(ShortTransaction(On(peer.clientFd()), frame));
        ASSERT_EQ(peer.requests().size(), 1u);
        id = peer.requests()[0];
    }
    std::string expected(526, ' ');
    Put(expected, 1, "\xCA\xCE\x69\x68\x67\x68\xD8\xDD" "CL:");
    Put(expected, 524, "\xCA\xCE");
    EXPECT_EQ(cl, expected);
    Put(expected, 9, "ID");
    Put(expected, 12, "12345");
    EXPECT_EQ(id, expected);
}

TEST_F(Frames, LongFrameCarriesItsFixedFields) {
    ScriptedPeer peer([](int, const std::string&) { return Answer(LongReply("00")); });
    LongFrame frame = BuildLongRequest("QSVERSION", "GFCUPL00");
    frame.SetRequestCode("40");
    frame.bytes[LongFrame::kData] = 0xA6;
    std::optional<LongFrame> reply = LongTransaction(On(peer.clientFd()), frame);
    ASSERT_TRUE(reply);
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_EQ(peer.prefixes()[0], kPrefix);

    std::string expected(1920, ' ');
    Put(expected, 1, "\xD8");
    Put(expected, 3, "QSVERSION");
    Put(expected, 14, "000000");
    Put(expected, 49, "40");
    Put(expected, 72, "GFCUPL00");
    Put(expected, 81, "\xA6");
    Put(expected, 1917, "\xCA\xCE");
    EXPECT_EQ(peer.requests()[0], expected);
    EXPECT_EQ(Bytes(*reply), LongReply("00"));

    // The request code stays blank unless the caller sets one.
    EXPECT_EQ(Bytes(BuildLongFrame().at(LongFrame::kStatus), 2), "  ");
}

TEST_F(Frames, LongReplyComesBackWholeWithItsStatus) {
    std::string answer = LongReply("07");
    Put(answer, LongFrame::kData, "version text");
    ScriptedPeer peer([&](int, const std::string&) { return Answer(answer); });
    std::optional<LongFrame> reply = LongTransaction(On(peer.clientFd()), BuildLongFrame());
    ASSERT_TRUE(reply);
    EXPECT_EQ(Bytes(*reply), answer);
    EXPECT_EQ(StatusCode(reply->status()), Code{7});
}

// ------------------------------------------------------- marker checks --

TEST_F(Frames, ShortTransactionSendsEverythingAgainAfterAWrongMarker) {
    std::string bad = ShortReply("00");
    Put(bad, 1, "\xCA\xCE");  // the request marker where the reply marker belongs
    std::string good = ShortReply("00");
    Put(good, ShortFrame::kData, "L=0");
    ScriptedPeer peer([&](int index, const std::string&) { return Answer(index == 0 ? bad : good); });
    std::optional<ShortFrame> reply = ShortTransaction(On(peer.clientFd()), BuildShortFrame("ST"));
    ASSERT_TRUE(reply);
    ASSERT_EQ(peer.requests().size(), 2u);
    EXPECT_EQ(peer.prefixes()[1], kPrefix);
    EXPECT_EQ(peer.requests()[1], peer.requests()[0]);
    EXPECT_EQ(peer.requests()[1].size(), 526u);
    EXPECT_EQ(Bytes(*reply), good);
}

TEST_F(Frames, ShortTransactionFailsAfterTwoWrongMarkers) {
    std::string bad = StatusReply(0xB5, 0xD8);
    bad[2] = ' ';
    ScriptedPeer peer([&](int, const std::string&) { return Answer(bad); });
    EXPECT_FALSE(ShortTransaction(On(peer.clientFd()), BuildStatusFrame(kTypeQuery)));
    EXPECT_EQ(peer.requests().size(), 2u);
}

TEST_F(Frames, LongTransactionFailsAtOnceOnAWrongEndMarker) {
    std::string bad = LongReply("00");
    Put(bad, 1917, "\xCA\xCE");
    ScriptedPeer peer([&](int, const std::string&) { return Answer(bad); });
    EXPECT_FALSE(LongTransaction(On(peer.clientFd()), BuildLongFrame()));
    EXPECT_EQ(peer.requests().size(), 1u);
}

// --------------------------------------------------- short and late replies --

TEST_F(Frames, ReplyCutShortByThePeerClosingIsAFailure) {
    // The terminal sends the start of a correct reply, then hangs up.
    ScriptedPeer shortPeer([](int, const std::string&) {
        return PeerAction::ReplyThenClose(ShortReply("00").substr(0, 300));
    });
    EXPECT_FALSE(ShortTransaction(On(shortPeer.clientFd()), BuildShortFrame("DN")));
    EXPECT_EQ(shortPeer.requests().size(), 1u);  // no second attempt on a dead line

    ScriptedPeer longPeer([](int, const std::string&) {
        return PeerAction::ReplyThenClose(LongReply("00").substr(0, 1919));
    });
    EXPECT_FALSE(LongTransaction(On(longPeer.clientFd()), BuildLongFrame()));
}

TEST_F(Frames, ReplyArrivingInSeveralPiecesSucceeds) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string answer = LongReply("00");
    Put(answer, LongFrame::kData, "pieces");
    std::thread terminal([&] {
        char request[4 + LongFrame::kSize];
        std::size_t got = 0;
        while (got < sizeof request) {
            ssize_t n = ::read(fds[1], request + got, sizeof request - got);
            if (n <= 0) return;
            got += static_cast<std::size_t>(n);
        }
        const std::size_t cuts[] = {0, 700, 1500, answer.size()};
        for (int i = 0; i < 3; ++i) {
            std::size_t piece = cuts[i + 1] - cuts[i];
            if (::write(fds[1], answer.data() + cuts[i], piece) != static_cast<ssize_t>(piece)) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
    std::optional<LongFrame> reply = LongTransaction(On(fds[0]), BuildLongFrame());
    terminal.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(Bytes(*reply), answer);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(FramesTimeout, SilentTerminalFailsAfterTheConfiguredTimeout) {
    ::setenv("XELBDE_TIMEOUT", "1", 1);
    ASSERT_EQ(GetBdeTimeout(), 1);
    ScriptedPeer peer([](int, const std::string&) { return PeerAction::Silence(); });
    TerminalType type{};
    type.klass = -7;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendKorvoCommand(On(peer.clientFd()), kTypeQuery, &type), Code::kExchangeFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(type.klass, -7);  // untouched
    EXPECT_EQ(peer.requests().size(), 1u);
}

// ----------------------------------------------------------- status table --

struct Row {
    unsigned char status[2];
    int klass;
    int variant;
    const char* model;
    const char* designation;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.designation; }

class StatusTable : public Frames, public ::testing::WithParamInterface<Row> {};

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    char name[8];
    std::snprintf(name, sizeof name, "S%02X%02X", info.param.status[0], info.param.status[1]);
    return name;
}

TEST_P(StatusTable, KnownStatusFillsTheTypeRecord) {
    const Row& row = GetParam();
    ScriptedPeer peer([&](int, const std::string&) { return Answer(StatusReply(row.status[0], row.status[1])); });
    TerminalType type;
    std::memset(&type, 0x55, sizeof type);
    EXPECT_EQ(SendKorvoCommand(On(peer.clientFd()), kTypeQuery, &type), Code::kOk);
    EXPECT_EQ(type.status[0], row.status[0]);
    EXPECT_EQ(type.status[1], row.status[1]);
    EXPECT_EQ(type.reserved1, 0);
    EXPECT_EQ(type.klass, row.klass);
    EXPECT_EQ(type.variant, row.variant);
    EXPECT_EQ(type.reserved2, 0);
    EXPECT_EQ(std::string(type.model, sizeof type.model), std::string(row.model) + '\0');
    std::string designation(row.designation);
    designation.resize(sizeof type.designation, '\0');
    EXPECT_EQ(std::string(type.designation, sizeof type.designation), designation);
}

INSTANTIATE_TEST_SUITE_P(Rows, StatusTable,
                         ::testing::Values(Row{{0xB5, 0xD8}, 2, 0, "5214", "5214-031"},
                                           Row{{0x3F, 0x3F}, 2, 1, "5214", "5214-031"},
                                           Row{{0xB5, 0x62}, 1, 0, "5214", "5214-032"},
                                           Row{{0xA2, 0xD8}, 3, 0, "4630", "4630-017"}),
                         RowName);

TEST_F(FramesWithLog, UnknownStatusIsLoggedAndGives16) {
    struct Case {
        unsigned char b7, b8;
        const char* text;
    };
    for (const Case& c : {Case{0x41, 0x42, "Unbekannter Terminalstatus (0x41 0x42)"},
                          Case{0x80, 0xFF, "Unbekannter Terminalstatus (0xffffff80 0xffffffff)"},
                          Case{0x00, 0x7F, "Unbekannter Terminalstatus ( 0 0x7f)"}}) {
        ScriptedPeer peer([&](int, const std::string&) { return Answer(StatusReply(c.b7, c.b8)); });
        TerminalType type{};
        EXPECT_EQ(SendKorvoCommand(On(peer.clientFd()), kTypeQuery, &type), Code::kExchangeFailed);
        EXPECT_EQ(type.status[0], c.b7);
        EXPECT_EQ(type.status[1], c.b8);
        EXPECT_EQ(type.klass, 255);
        EXPECT_EQ(type.variant, 255);
        EXPECT_EQ(std::string(type.model, 5), std::string("????", 5));
        EXPECT_EQ(std::string(type.designation, 10), std::string("??~???\0\0\0\0", 10));
        EXPECT_NE(Log().find(std::string(";xelbde;SendKorvoCommand;0100;0016;00000;") + c.text + ";\n"), std::string::npos)
            << Log();
    }
}

TEST_F(FramesWithLog, StatusReplyWithoutItsEndMarkerGives16WithoutARecord) {
    std::string reply = StatusReply(0xB5, 0xD8);
    reply[10] = ' ';
    ScriptedPeer peer([&](int, const std::string&) { return Answer(reply); });
    TerminalType type{};
    type.klass = -7;
    EXPECT_EQ(SendKorvoCommand(On(peer.clientFd()), kTypeQuery, &type), Code::kExchangeFailed);
    EXPECT_EQ(type.klass, -7);
    EXPECT_EQ(peer.requests().size(), 1u);  // bytes 1-2 were right: no second sending
    EXPECT_EQ(Log().find("SendKorvoCommand"), std::string::npos);
}

TEST(ReplyStatus, TwoDigitStatusBecomesTheReturnCode) {
    EXPECT_EQ(StatusCode({{'0', '0'}}), Code::kOk);
    EXPECT_EQ(StatusCode({{'0', '7'}}), Code{7});
    EXPECT_EQ(StatusCode({{'9', '9'}}), Code{99});
    EXPECT_EQ(StatusCode({{' ', '5'}}), Code{5});
    // Only the two status bytes of a frame count, not the digits after them.
    LongFrame frame = BuildLongFrame();
    frame.PutText(LongFrame::kStatus, "4217", 4);
    EXPECT_EQ(StatusCode(frame.status()), Code{42});
}

// ------------------------------------------------------------- time-out --

struct TimeoutCase {
    const char* value;  // nullptr: unset
    int expected;
};

void PrintTo(const TimeoutCase& c, std::ostream* out) { *out << (c.value != nullptr ? c.value : "unset"); }

class BdeTimeout : public ::testing::TestWithParam<TimeoutCase> {};

std::string TimeoutCaseName(const ::testing::TestParamInfo<TimeoutCase>& info) {
    static const char* const names[] = {"Unset", "Zero", "Word", "Ten", "BlanksAndSuffix", "Negative"};
    return names[info.index];
}

TEST_P(BdeTimeout, ComesFromTheEnvironmentOnceAndStays) {
    const TimeoutCase& c = GetParam();
    if (c.value != nullptr) ::setenv("XELBDE_TIMEOUT", c.value, 1);
    EXPECT_EQ(GetBdeTimeout(), c.expected);
    ::setenv("XELBDE_TIMEOUT", "3", 1);
    EXPECT_EQ(GetBdeTimeout(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, BdeTimeout,
                         ::testing::Values(TimeoutCase{nullptr, 25}, TimeoutCase{"0", 25}, TimeoutCase{"word", 25},
                                           TimeoutCase{"10", 10}, TimeoutCase{"  12s", 12}, TimeoutCase{"-5", 25}),
                         TimeoutCaseName);

}  // namespace
