// SPDX-License-Identifier: MIT
// APALC00B and APDLC00B without a network: refusals before any connect, the
// release of direct and ISDN connections over a scripted peer, and the
// operations-log texts.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/peer.h"
#include "tests/support/testing.h"
#include "xelbde/internal.h"

using namespace xelbde;
using testing_support::PeerAction;
using testing_support::Put;
using testing_support::ReadFile;
using testing_support::ScriptedPeer;
using testing_support::ShortReply;
using testing_support::WriteFile;

namespace {

std::string Alc(const char* terminal, const char* type = "") {
    char rc[3] = {};
    APALC00B(terminal, type, rc);
    return rc;
}

std::string Dlc(const char* terminal) {
    char rc[3] = {};
    APDLC00B(terminal, "", rc);
    return rc;
}

bool Registered(const char* name) { return GetSocketHandle(name).ok(); }

bool FdOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

std::string ExpectedHangUp() {
    std::string f(526, ' ');
    Put(f, 1, "\xCA\xCE\x69\x68\x67\x68\xD8\xDD");
    Put(f, 9, "CL");
    f[11] = ':';
    Put(f, 524, "\xCA\xCE");
    return f;
}

class Connection : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("DEBUG_LEVEL", "0", 1);
        ::setenv("XELBDE_TIMEOUT", "2", 1);
    }
    static void IsdnIni() {
        ASSERT_TRUE(WriteFile("terminal.ini", "[FERN1]\r\nKLASSE=ISDN\r\nNUMMER=12\r\n[HALLE1]\r\nIP=127.0.0.1\r\n"));
        ASSERT_TRUE(LoadTerminalTable());
    }
};

}  // namespace

// ------------------------------------------------------------- refusals --

TEST_F(Connection, RefusedWithoutAConnectAttempt) {
    // The entry decides, not the name: a resolvable address without an
    // entry, a dotted address longer than a section name, and an ip field
    // that is not four numbers are all refused with 6.
    ASSERT_TRUE(WriteFile("terminal.ini", "[HALLE1]\nIP=10.1.2\n[192.168.10]\nIP=127.0.0.1\n[T2]\n"));
    EXPECT_EQ(Alc("127.0.0.1"), "06");
    EXPECT_EQ(Alc("192.168.100.200"), "06");
    EXPECT_EQ(Alc("HALLE1"), "06");
    EXPECT_EQ(Alc("T2"), "06");
    EXPECT_FALSE(Registered("HALLE1"));
    EXPECT_EQ(Dlc("HALLE1"), "33");  // nothing was left allocated
}

TEST_F(Connection, LogTextsCarryTheTypeUpToTwoCharacters) {
    ASSERT_TRUE(WriteFile("terminal.ini", "[HALLE1]\n"));
    EXPECT_EQ(Alc("T1       ", "AB CD"), "06");
    EXPECT_EQ(Alc("T1", "ABC"), "06");
    EXPECT_EQ(Alc("T1", nullptr), "06");
    EXPECT_EQ(Dlc("T1"), "33");
    std::string log = ReadFile("xelbde.log");
    EXPECT_NE(log.find(";xelbde;APALC00B;0100;0006;00000;Terminal=T1 Typ=AB;\n"), std::string::npos) << log;
    EXPECT_NE(log.find(";xelbde;APALC00B;0100;0006;00000;Terminal=T1 Typ=;\n"), std::string::npos) << log;
    EXPECT_NE(log.find(";xelbde;APDLC00B;0100;0033;00000;Terminal=T1 Typ=;\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Typ=ABC"), std::string::npos);
}

// -------------------------------------------------------------- release --

TEST_F(Connection, DirectReleaseClosesAndUnregisters) {
    ScriptedPeer peer([](int, const std::string&) { return PeerAction::Reply(ShortReply("00")); });
    peer.Register("T1");
    EXPECT_EQ(Dlc("T1"), "00");
    EXPECT_FALSE(FdOpen(peer.clientFd()));
    EXPECT_FALSE(Registered("T1"));
    EXPECT_TRUE(peer.requests().empty());  // no hang-up for a direct terminal
    EXPECT_EQ(Dlc("T1"), "33");
}

TEST_F(Connection, FailedCloseGives14AndStillUnregisters) {
    ASSERT_EQ(InitApiLibrary(), Code::kOk);
    ASSERT_EQ(SetSocketHandle("T1", 1000), Code::kOk);  // no such descriptor
    EXPECT_EQ(Dlc("T1"), "14");
    EXPECT_FALSE(Registered("T1"));
}

TEST_F(Connection, IsdnReleaseHangsUpFirst) {
    IsdnIni();
    struct Case {
        PeerAction reply;
        const char* rc;
    };
    const Case cases[] = {
        {PeerAction::Reply(ShortReply("00")), "00"},
        {PeerAction::Reply(ShortReply("07")), "07"},
        {PeerAction::Close(), "64"},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer([&](int, const std::string&) { return c.reply; });
        peer.Register("FERN1");
        EXPECT_EQ(Dlc("FERN1"), c.rc);
        ASSERT_EQ(peer.requests().size(), 1u);
        EXPECT_EQ(peer.requests()[0], ExpectedHangUp());
        EXPECT_EQ(peer.prefixes()[0], "\x1b[2J");
        // The call is ended whatever the adapter answered.
        EXPECT_FALSE(FdOpen(peer.clientFd()));
        EXPECT_FALSE(Registered("FERN1"));
    }
    // A direct terminal of the same file gets no hang-up.
    ScriptedPeer direct([](int, const std::string&) { return PeerAction::Reply(ShortReply("00")); });
    direct.Register("HALLE1");
    EXPECT_EQ(Dlc("HALLE1"), "00");
    EXPECT_TRUE(direct.requests().empty());
}

TEST_F(Connection, HangUpCodes) {
    ::setenv("XELBDE_TIMEOUT", "1", 1);
    {
        ScriptedPeer peer([](int, const std::string&) { return PeerAction::Reply(ShortReply(" 9")); });
        EXPECT_EQ(HangUpIsdnTerminal(peer.session()), Code{9});
    }
    {  // a reply with the wrong marker twice is no valid reply
        std::string bad = ShortReply("00");
        bad[1] = ' ';
        ScriptedPeer peer([&](int, const std::string&) { return PeerAction::Reply(bad); });
        EXPECT_EQ(HangUpIsdnTerminal(peer.session()), Code::kAdapterHangup);
        EXPECT_EQ(peer.requests().size(), 2u);
    }
}
