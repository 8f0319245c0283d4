// SPDX-License-Identifier: MIT
// Query and control commands against a scripted terminal: the request
// bytes, which reply fields reach the caller, and when outputs stay
// untouched.
#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/queries_test_support.h"
#include "xelbde/xelbde.h"

namespace {

using query_tests::BadMarkerReply;
using query_tests::LogRecords;
using query_tests::LongReplyWith;
using testing_support::PeerAction;
using testing_support::ScriptedPeer;

std::string Rc(const char* field) { return std::string(field, 2); }

// A terminal that answers every request with the same reply.
struct Terminal {
    explicit Terminal(std::string reply, const char* name = "T1")
        : peer([reply](int, const std::string&) { return PeerAction::Reply(reply); }) {
        peer.Register(name);
    }
    ScriptedPeer peer;
};

// The six long-frame commands, each with a caller area pre-set to 'u' so
// an untouched output can be told from a written one.
struct LongCommand {
    const char* command;
    const char* requestCode;
    std::function<void(char* area, char* rc)> call;
};

const std::array<LongCommand, 6>& LongCommands() {
    static const std::array<LongCommand, 6> commands = {{
        {"QPGCANCEL", "40", [](char*, char* rc) { APCNL00B("T1", rc); }},
        {"QPGMSTART", "  ", [](char*, char* rc) { APSTR00B("T1", rc); }},
        {"QSVERSION", "  ", [](char* area, char* rc) { APDMTVER("T1", area, 64, rc); }},
        {"QRDFORMAT", "  ", [](char* area, char* rc) { APFMT00B("T1", area, rc); }},
        {"QSVERSION", "  ", [](char* area, char* rc) { APRTVCLK("T1", area, area + 12, area + 13, rc); }},
        {"QUPLRDRTB", "  ", [](char*, char* rc) { APRDRTYP("T1", "readers.bin", rc); }},
    }};
    return commands;
}

TEST(LongFrameCommands, RequestCarriesCommandRequestCodeAndProgram) {
    Terminal terminal(LongReplyWith("00"));
    for (const LongCommand& c : LongCommands()) {
        char area[64] = {};
        char rc[3] = {};
        c.call(area, rc);
        EXPECT_EQ(Rc(rc), "00") << c.command;
    }
    auto requests = terminal.peer.requests();
    ASSERT_EQ(requests.size(), LongCommands().size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::string& frame = requests[i];
        SCOPED_TRACE(LongCommands()[i].command);
        ASSERT_EQ(frame.size(), 1920u);
        EXPECT_EQ(frame.substr(3, 9), LongCommands()[i].command);
        EXPECT_EQ(frame.substr(49, 2), LongCommands()[i].requestCode);
        EXPECT_EQ(frame.substr(72, 8), "GFCUPL00");
        EXPECT_EQ(frame.substr(80, 1793), std::string(1793, ' ')) << "data area must stay blank";
        EXPECT_EQ(terminal.peer.prefixes()[i], "\x1B[2J");
    }
}

TEST(LongFrameCommands, TerminalStatusBecomesCodeAndOnlyTheVersionAreaIsFilled) {
    std::string reply = LongReplyWith("05", 81, "VERSION-TEXT");
    testing_support::Put(reply, 93, "1234");
    testing_support::Put(reply, 209, "070203140509");
    Terminal terminal(reply);
    for (std::size_t i = 0; i < LongCommands().size(); ++i) {
        char area[64];
        std::memset(area, 'u', sizeof area);
        char rc[3] = {};
        LongCommands()[i].call(area, rc);
        SCOPED_TRACE(LongCommands()[i].command);
        EXPECT_EQ(Rc(rc), "05");
        if (i == 2) {
            EXPECT_EQ(std::string(area, 12), "VERSION-TEXT");  // APDMTVER fills also on a failing status
        } else {
            EXPECT_EQ(std::string(area, sizeof area), std::string(sizeof area, 'u'));
        }
    }
    EXPECT_FALSE(testing_support::PathExists("readers.bin"));
}

TEST(LongFrameCommands, FailedExchangeGives16AndLeavesOutputsUntouched) {
    Terminal terminal(BadMarkerReply());
    for (const LongCommand& c : LongCommands()) {
        char area[64];
        std::memset(area, 'u', sizeof area);
        char rc[3] = {};
        c.call(area, rc);
        EXPECT_EQ(Rc(rc), "16") << c.command;
        EXPECT_EQ(std::string(area, sizeof area), std::string(sizeof area, 'u')) << c.command;
    }
    EXPECT_FALSE(testing_support::PathExists("readers.bin"));
}

TEST(QueryCommands, NotConnectedGives33WithoutAnExchange) {
    Terminal terminal(LongReplyWith("00"), "OTHER");
    char area[64];
    std::memset(area, 'u', sizeof area);
    for (const LongCommand& c : LongCommands()) {
        char rc[3] = {};
        c.call(area, rc);
        EXPECT_EQ(Rc(rc), "33") << c.command;
    }
    char rc[3] = {};
    APTYP01B("T1", area, rc);
    EXPECT_EQ(Rc(rc), "33");
    APRST00B("T1", area, rc);
    EXPECT_EQ(Rc(rc), "33");
    APSYSINI("T1", rc);
    EXPECT_EQ(Rc(rc), "33");
    EXPECT_EQ(std::string(area, sizeof area), std::string(sizeof area, 'u'));
    EXPECT_TRUE(terminal.peer.requests().empty());
}

TEST(VersionQuery, AreaLengthIsHonouredAndNeverReadsPastTheReply) {
    std::string reply = LongReplyWith("00", 81, "V3.1 KERNEL");
    Terminal terminal(reply);

    char rc[3] = {};
    char small[4] = {'u', 'u', 'u', 'u'};
    APDMTVER("T1", small, 0, rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(std::string(small, 4), "uuuu");

    // 2048 asked for: the 1839 reply bytes from byte 81, then zero bytes;
    // nothing beyond the given length is touched.
    std::string area(2100, 'u');
    APDMTVER("T1", area.data(), 2048, rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(area.substr(0, 1839), reply.substr(81));
    EXPECT_EQ(area.substr(1839, 2048 - 1839), std::string(2048 - 1839, '\0'));
    EXPECT_EQ(area.substr(2048), std::string(52, 'u'));
}

TEST(FreeMemoryQuery, AreaIsOptionalAndTheLogShowsTheFigure) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    Terminal terminal(LongReplyWith("00", 93, "0815"));
    char rc[3] = {};
    APFMT00B("T1", nullptr, rc);
    EXPECT_EQ(Rc(rc), "00");
    char area[5] = {'u', 'u', 'u', 'u', 'u'};
    APFMT00B("T1", area, rc);
    EXPECT_EQ(std::string(area, 5), "0815u");

    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 2u);
    for (const auto& r : records) {
        EXPECT_EQ(r.function, "APFMT00B");
        EXPECT_EQ(r.text, "Terminal=T1 Freier Speicher=0815");
    }
}

TEST(ClockQuery, TakesBytes209To220And222And224Only) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    std::string reply = LongReplyWith("00", 209, "070203140509");
    testing_support::Put(reply, 221, "a1b2c");  // 221 and 223 must never be taken
    Terminal terminal(reply);
    char dateTime[13];
    std::memset(dateTime, 'u', sizeof dateTime);
    char format = 'u', radio = 'u';
    char rc[3] = {};
    APRTVCLK("T1", dateTime, &format, &radio, rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(std::string(dateTime, 13), "070203140509u");
    EXPECT_EQ(format, '1');
    EXPECT_EQ(radio, '2');
    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "Terminal=T1 Datum/Zeit=070203140509 Format=1 Funkuhrstatus=2");
}

TEST(ReaderTypeTable, ReplacesAnExistingFileWithExactly1792Bytes) {
    std::string reply = LongReplyWith("00");
    for (int i = 0; i < 1792; ++i) reply[81 + i] = static_cast<char>(i * 7);
    Terminal terminal(reply);
    ASSERT_TRUE(testing_support::WriteFile("readers.bin", std::string(5000, 'x')));
    char rc[3] = {};
    APRDRTYP("T1", "readers.bin", rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(testing_support::ReadFile("readers.bin"), reply.substr(81, 1792));
}

TEST(ReaderTypeTable, UncreatableFileGives17) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    Terminal terminal(LongReplyWith("00"));
    char rc[3] = {};
    APRDRTYP("T1", "no-such-dir/readers.bin", rc);
    EXPECT_EQ(Rc(rc), "17");
    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].rc, "0017");
    EXPECT_EQ(records[0].text, "Terminal=T1 Ausgabedatei=no-such-dir/readers.bin");
}

TEST(StatusFrameCommands, TypeOf4630IsItsDesignationZeroPadded) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    Terminal terminal(testing_support::StatusReply(0xA2, 0xD8));
    char type[12];
    std::memset(type, 'u', sizeof type);
    char rc[3] = {};
    APTYP01B("T1", type, rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(std::string(type, 12), std::string("4630-017\0\0uu", 12));
    std::string request = terminal.peer.requests().at(0);
    EXPECT_EQ(request, std::string("\x20\xCA\xCE\x66\xD8\x64\xD8\xBD\xF7\xCA\xCE\x20", 12));
    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "Terminal=T1 Typ=4630-017");
}

TEST(StatusFrameCommands, RawStatusTextWidensBytesFrom0x80AsSignedOnSuccessAndFailure) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    ScriptedPeer peer([](int index, const std::string&) {
        return PeerAction::Reply(index == 0 ? testing_support::StatusReply(0xB5, 0x62)
                                            : testing_support::StatusReply(0x41, 0x42));
    });
    peer.Register("T1");
    char status[2] = {'u', 'u'};
    char rc[3] = {};
    APRST00B("T1", status, rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(std::string(status, 2), "\xB5\x62");

    // Unknown terminal status: 16, the area keeps the caller's bytes, and
    // the text shows them.
    char kept[2] = {'\x90', '\x7F'};
    APRST00B("T1", kept, rc);
    EXPECT_EQ(Rc(rc), "16");
    EXPECT_EQ(std::string(kept, 2), "\x90\x7F");

    auto records = LogRecords("0100");
    std::vector<std::string> texts;
    for (const auto& r : records)
        if (r.function == "APRST00B") texts.push_back(r.text);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Terminal=T1 Status=0xffffffb5 0x62");
    EXPECT_EQ(texts[1], "Terminal=T1 Status=0xffffff90 0x7f");
}

TEST(StatusFrameCommands, SystemInitialisationSendsF7F7AndReportsTheResult) {
    ScriptedPeer peer([](int index, const std::string&) {
        return PeerAction::Reply(index == 0 ? testing_support::StatusReply(0xB5, 0xD8)
                                            : testing_support::StatusReply(0x00, 0x00));
    });
    peer.Register("T1");
    char rc[3] = {};
    APSYSINI("T1", rc);
    EXPECT_EQ(Rc(rc), "00");
    APSYSINI("T1", rc);
    EXPECT_EQ(Rc(rc), "16");
    auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].substr(7, 2), "\xF7\xF7");
}

}  // namespace
