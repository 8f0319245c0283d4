// SPDX-License-Identifier: MIT
// ISDN adapter dial-up over a scripted adapter: the exact adapter commands,
// the dial number and identifier rules, and how each reply ends the dial-up.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/peer.h"
#include "xelbde/internal.h"

using namespace xelbde;
using testing_support::LongReply;
using testing_support::PeerAction;
using testing_support::Put;
using testing_support::ScriptedPeer;
using testing_support::ShortReply;

namespace {

const std::string kPrefix = "\x1b[2J";

std::string ExpectedShort(const std::string& command, const std::string& data) {
    std::string f(526, ' ');
    Put(f, 1, "\xCA\xCE\x69\x68\x67\x68\xD8\xDD");
    Put(f, 9, command);
    f[11] = ':';
    Put(f, 12, data);
    Put(f, 524, "\xCA\xCE");
    return f;
}

std::string ExpectedIdentification(const std::string& name, const std::string& id, const std::string& number) {
    std::string f(1920, ' ');
    f[1] = '\xD8';
    Put(f, 3, "QSTISDNID");
    Put(f, 14, "000000");
    Put(f, 72, "GFCUPL00");
    Put(f, 81, name);
    Put(f, 113, id);
    Put(f, 145, number);
    Put(f, 1917, "\xCA\xCE");
    return f;
}

std::string LineState(const std::string& status, const std::string& text) {
    std::string reply = ShortReply(status);
    Put(reply, 12, text);
    return reply;
}

std::string WithoutEndMarker(std::string reply) {
    reply[reply.size() == 526 ? 524 : 1917] = ' ';
    return reply;
}

// An adapter that answers every command as given; the identification frame
// gets the replies in turn (the last one repeats).
struct AdapterScript {
    std::string st = LineState("00", "L=0 I=1");
    std::string id = ShortReply("00");
    std::string dn = ShortReply("00");
    std::vector<std::string> ident = {LongReply("00")};
    bool closeOnIdent = false;
    bool interruptOnIdent = false;  // as a signal arriving while the identification runs

    testing_support::PeerHandler Handler() const {
        AdapterScript copy = *this;
        auto identIndex = std::make_shared<std::size_t>(0);
        return [copy, identIndex](int, const std::string& request) {
            if (request.size() == 1920) {
                if (copy.closeOnIdent) return PeerAction::Close();
                if (copy.interruptOnIdent) TcpcomInterrupt(1);
                std::size_t i = std::min(*identIndex, copy.ident.size() - 1);
                ++*identIndex;
                return PeerAction::Reply(copy.ident[i]);
            }
            std::string command = request.substr(9, 2);
            if (command == "ST") return PeerAction::Reply(copy.st);
            if (command == "ID") return PeerAction::Reply(copy.id);
            if (command == "DN") return PeerAction::Reply(copy.dn);
            return PeerAction::Reply(ShortReply("00"));
        };
    }
};

class IsdnDial : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("Code::kTimeout", "2", 1);
        GetBdeTimeout();
    }
    static void Table(const std::string& text) { ParseTerminalIni(text.data(), text.size()); }
};

const char* const kTable =
    "[FERN1]\nKLASSE=ISDN\nVORWAHL=0123\nNUMMER=4567\nDURCHWAHL=89\nUEBERHANG=45\n"
    "[ROUTER1]\nKLASSE=ADPT\nIP=127.0.0.2\nVORWAHL=040\nNUMMER=5551\nTERMINALID=77\n";

}  // namespace

// ---------------------------------------------------------------- frames --

TEST_F(IsdnDial, DialUpSendsTheExactAdapterCommands) {
    Table(kTable);
    ScriptedPeer peer(AdapterScript{}.Handler());
    ASSERT_EQ(DialIsdnTerminal("FERN1", "ROUTER1", peer.session()), Code::kOk);
    auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], ExpectedShort("ST", ""));
    EXPECT_EQ(requests[1], ExpectedShort("ID", "N=77"));
    EXPECT_EQ(requests[2], ExpectedShort("DN", "N=0123456789 T=045"));
    EXPECT_EQ(requests[3], ExpectedIdentification("FERN1", "89", "0405551"));
    for (const std::string& prefix : peer.prefixes()) EXPECT_EQ(prefix, kPrefix);
}

TEST_F(IsdnDial, DialNumberAndIdentifierRules) {
    // VORWAHL with "+" gives nothing, 0123-4 stops at the dash; the fields
    // are read only to their width, though the next field follows directly.
    Table("[T1]\nKLASSE=ISDN\nVORWAHL=+4940\nNUMMER=0123-4\nDURCHWAHL=123456\n"
          "[T2]\nKLASSE=ISDN\nVORWAHL=0123456789\nNUMMER=123456789012345\nDURCHWAHL=12345\nTERMINALID=x1\n"
          "[A1]\nKLASSE=ADPT\nNUMMER=+49\nVORWAHL=0123456\n"
          "[A2]\nKLASSE=ADPT\n");
    {
        ScriptedPeer peer(AdapterScript{}.Handler());
        ASSERT_EQ(DialIsdnTerminal("T1", "A1", peer.session()), Code::kOk);
        auto r = peer.requests();
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[1], ExpectedShort("ID", "N=01234"));  // VORWAHL up to 5 digits, last choice
        EXPECT_EQ(r[2], ExpectedShort("DN", "N=012312345 T=090"));
        EXPECT_EQ(r[3], ExpectedIdentification("T1", "12345", "0123456"));
    }
    {
        ScriptedPeer peer(AdapterScript{}.Handler());
        ASSERT_EQ(DialIsdnTerminal("T2", "A2", peer.session()), Code::kOk);
        auto r = peer.requests();
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[1], ExpectedShort("ID", "N="));  // the adapter has no digits at all
        EXPECT_EQ(r[2], ExpectedShort("DN", "N=012345678912345678901234512345 T=090"));
        EXPECT_EQ(r[3], ExpectedIdentification("T2", "12345", ""));
    }
}

TEST(IsdnDigits, ExtractDigits) {
    char d[32];
    EXPECT_FALSE(ExtractDigits(d, "+0123", 10));
    EXPECT_STREQ(d, "");
    EXPECT_TRUE(ExtractDigits(d, "0123-4", 10));
    EXPECT_STREQ(d, "0123");
    EXPECT_TRUE(ExtractDigits(d, "123456789", 5));
    EXPECT_STREQ(d, "12345");
    std::string many(40, '7');
    EXPECT_TRUE(ExtractDigits(d, many.c_str(), 40));
    EXPECT_EQ(std::strlen(d), 31u);  // the destination keeps its terminator
}

TEST(IsdnTags, FindTagStaysInsideTheReply) {
    const unsigned char reply[] = {'x', 'L', '=', '0', 'I'};
    EXPECT_EQ(FindTag(reply, "L="), 3);
    EXPECT_EQ(FindTag(reply, "I="), -1);  // "I" at the end, "=" past it
    EXPECT_EQ(FindTag(std::span(reply, 2), "L="), -1);
}

TEST_F(IsdnDial, UeberhangField) {
    struct Case {
        const char field[3];
        const char* text;
    };
    const Case cases[] = {
        {{'0', '4', '5'}, "N=99 T=045"},
        {{'1', '5', '0'}, "N=99 T=150"},
        {{' ', ' ', ' '}, "N=99 T=090"},
        {{'\0', '\0', '\0'}, "N=99 T=090"},  // no UEBERHANG in the entry: the default
        {{'0', '0', '0'}, "N=99 T=000"},
        {{'7', '\0', '\0'}, "N=99 T=007"},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer(AdapterScript{}.Handler());
        EXPECT_EQ(DialNumber(peer.session(), "99", c.field), Code::kOk);
        auto r = peer.requests();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0], ExpectedShort("DN", c.text));
    }
    // From the file: 45 is stored as 045, 1500 as 150, and no key at all
    // dials with the default.
    Table("[A]\nUEBERHANG=45\n[B]\nUEBERHANG=1500\n[C]\nNUMMER=1\n");
    for (auto [name, text] : {std::pair{"A", "N=1 T=045"}, {"B", "N=1 T=150"}, {"C", "N=1 T=090"}}) {
        TerminalEntry entry;
        ASSERT_TRUE(FindTerminalEntry(name, &entry));
        ScriptedPeer peer(AdapterScript{}.Handler());
        EXPECT_EQ(DialNumber(peer.session(), "1", entry.ueberhang), Code::kOk);
        ASSERT_EQ(peer.requests().size(), 1u);
        EXPECT_EQ(peer.requests()[0], ExpectedShort("DN", text));
    }
}

// ---------------------------------------------------------- line state --

TEST_F(IsdnDial, LineStateReplies) {
    struct Case {
        PeerAction reply;
        Code code;
    };
    const Case cases[] = {
        {PeerAction::Reply(LineState("00", "L=0 I=5")), Code::kOk},
        {PeerAction::Reply(LineState("00", "I=5 L=1")), Code::kAdapterBusy},
        {PeerAction::Reply(LineState("00", "L=0")), Code::kAdapterLineState},
        {PeerAction::Reply(LineState("00", "I=0")), Code::kAdapterLineState},
        {PeerAction::Reply(LineState("07", "L=0 I=5")), Code{7}},
        {PeerAction::Reply(LineState("65", "")), Code::kAdapterLineState},
        {PeerAction::Reply(LineState("0A", "L=0 I=5")), Code::kExchangeFailed},
        {PeerAction::Close(), Code::kAdapterLineState},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer([&](int, const std::string&) { return c.reply; });
        EXPECT_EQ(QueryAdapterStatus(peer.session()), c.code) << c.reply.bytes.substr(9, 10);
    }
}

TEST_F(IsdnDial, AdapterIdReplies) {
    struct Case {
        PeerAction reply;
        Code code;
    };
    const Case cases[] = {
        {PeerAction::Reply(ShortReply("00")), Code::kOk},
        {PeerAction::Reply(WithoutEndMarker(ShortReply("00"))), Code::kExchangeFailed},
        {PeerAction::Reply(ShortReply("12")), Code{12}},
        {PeerAction::Reply(ShortReply(" 0")), Code::kExchangeFailed},
        {PeerAction::Close(), Code::kAdapterId},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer([&](int, const std::string&) { return c.reply; });
        EXPECT_EQ(SendAdapterId(peer.session(), "12345"), c.code);
    }
}

TEST_F(IsdnDial, DialReplies) {
    {
        ScriptedPeer peer([](int, const std::string&) { return PeerAction::Reply(ShortReply("05")); });
        EXPECT_EQ(DialNumber(peer.session(), "1", "001"), Code{5});
    }
    {
        ScriptedPeer peer([](int, const std::string&) { return PeerAction::Close(); });
        EXPECT_EQ(DialNumber(peer.session(), "1", "001"), Code::kAdapterDial);
    }
}

// ------------------------------------------------------- identification --

TEST_F(IsdnDial, IdentificationIsSentAtMostTwice) {
    Table(kTable);
    {  // the first reply is unusable, the second acknowledges
        AdapterScript script;
        script.ident = {WithoutEndMarker(LongReply("00")), LongReply("00")};
        ScriptedPeer peer(script.Handler());
        EXPECT_EQ(DialIsdnTerminal("FERN1", "ROUTER1", peer.session()), Code::kOk);
        auto r = peer.requests();
        ASSERT_EQ(r.size(), 5u);
        EXPECT_EQ(r[3], r[4]);
        EXPECT_EQ(r[4], ExpectedIdentification("FERN1", "89", "0405551"));
    }
    {  // unusable twice
        AdapterScript script;
        script.ident = {WithoutEndMarker(LongReply("00"))};
        ScriptedPeer peer(script.Handler());
        EXPECT_EQ(DialIsdnTerminal("FERN1", "ROUTER1", peer.session()), Code::kIsdnIdentification);
        EXPECT_EQ(peer.requests().size(), 6u) << "and the hang-up";
    }
    {  // a status other than 00 is a refusal, not repeated
        AdapterScript script;
        script.ident = {LongReply("05")};
        ScriptedPeer peer(script.Handler());
        EXPECT_EQ(DialIsdnTerminal("FERN1", "ROUTER1", peer.session()), Code::kIsdnIdentification);
        EXPECT_EQ(peer.requests().size(), 5u) << "and the hang-up";
    }
}

// ------------------------------------------------------- dial-up faults --

TEST_F(IsdnDial, EachFailureEndsTheDialUpWhereItHappens) {
    Table(kTable);
    struct Case {
        const char* what;
        AdapterScript script;
        Code code;
        std::size_t requests;
    };
    AdapterScript busy, status, missingL, noMarker, idStatus, dnStatus, dnLost, interrupted;
    busy.st = LineState("00", "L=1 I=1");
    status.st = LineState("07", "L=0 I=1");
    missingL.st = LineState("00", "I=1");
    noMarker.id = WithoutEndMarker(ShortReply("00"));
    idStatus.id = ShortReply("44");
    dnStatus.dn = ShortReply("45");
    dnLost.dn = ShortReply("00").replace(1, 2, "\xCA\xCE");  // twice no reply marker
    interrupted.interruptOnIdent = true;
    // Once "DN" went out, every failure hangs the call up: the last request is "CL".
    const Case cases[] = {
        {"busy", busy, Code::kAdapterBusy, 1},       {"st status", status, Code{7}, 1},
        {"no L=", missingL, Code::kAdapterLineState, 1}, {"id marker", noMarker, Code::kExchangeFailed, 2},
        {"id status", idStatus, Code{44}, 2},               {"dn status", dnStatus, Code{45}, 4},
        {"dn lost", dnLost, Code::kAdapterDial, 5},         {"interrupted", interrupted, Code::kIsdnIdentification, 5},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer(c.script.Handler());
        EXPECT_EQ(DialIsdnTerminal("FERN1", "ROUTER1", peer.session()), c.code) << c.what;
        ASSERT_TRUE(peer.WaitForRequests(c.requests)) << c.what;
        EXPECT_EQ(peer.requests().size(), c.requests) << c.what;
        if (c.requests > 3) {
            EXPECT_EQ(peer.requests().back().substr(9, 2), "CL") << c.what;
        }
        TcpcomInterrupt(0);
    }
}

TEST_F(IsdnDial, MissingEntriesGive67WithoutAnyExchange) {
    Table(kTable);
    ScriptedPeer peer(AdapterScript{}.Handler());
    EXPECT_EQ(DialIsdnTerminal("FERN2", "ROUTER1", peer.session()), Code::kIsdnEntryMissing);
    EXPECT_EQ(DialIsdnTerminal("FERN1", "ROUTER2", peer.session()), Code::kIsdnEntryMissing);
    EXPECT_TRUE(peer.requests().empty());
}

TEST_F(IsdnDial, NoAdapterEntryGives66) {
    Table("[FERN1]\nKLASSE=ISDN\nNUMMER=1\n[HALLE1]\nIP=127.0.0.1\n[R1]\nKLASSE=ADPT\n[R2]\nKLASSE=ADPT\nIP=1.2\n");
    ASSERT_EQ(InitApiLibrary(), Code::kOk);
    EXPECT_EQ(ConnectIsdnTerminal("FERN1"), Code::kNoAdapter);
    EXPECT_FALSE(GetSocketHandle("FERN1").ok());
}
