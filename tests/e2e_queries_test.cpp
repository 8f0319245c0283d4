// SPDX-License-Identifier: MIT
// Query and control commands end to end: the real xelcmd against bdesim,
// checking what the front end prints byte for byte and what lands in files.
#include <string>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"

using testing_support::PathExists;
using testing_support::ReadFile;

namespace {

const e2e::RunOptions kLogged{{"DEBUG_LEVEL=0", "XELBDE_TIMEOUT=3"}, "", false};

std::string Terminal(const std::string& keys) { return "[terminal T1]\nlisten = 127.0.0.2\n" + keys; }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The reader-type table bdesim serves when none is configured.
std::string DefaultReaderTable() {
    std::string table(1792, '\0');
    for (int k = 0; k < 1792; ++k) table[k] = static_cast<char>((k + k / 256) % 256);
    return table;
}

}  // namespace

TEST(QueryOutput, VersionPrintsTheWholeReplyFromByte81) {
    e2e::Sim sim(Terminal("version = KORVO_4630-017_V2.40\nclock = 070203140509\ndateformat = 1\nradio = W\n"));
    ASSERT_TRUE(sim.ready());
    e2e::Result r = e2e::Xelcmd({"127.0.0.2", "apdmtver"}, kLogged);
    EXPECT_EQ(r.status, 0);
    // Bytes 81 to 1919 of the reply: text, clock fields, blanks, the reply
    // marker and the last blank; the zero fill after them ends the text.
    std::string expected(1839, ' ');
    expected.replace(0, 20, "KORVO 4630-017 V2.40");
    expected.replace(209 - 81, 12, "070203140509");
    expected[222 - 81] = '1';
    expected[224 - 81] = 'W';
    expected.replace(1917 - 81, 2, "\xCE\xCA");
    EXPECT_EQ(r.out, expected);
}

TEST(QueryOutput, TypeClockAndRawStatusLines) {
    e2e::Sim sim(Terminal("status = A2D8\nclock = 070203140509\ndateformat = 1\nradio = S\n"));
    ASSERT_TRUE(sim.ready());
    e2e::Result type = e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, kLogged);
    EXPECT_EQ(type.status, 0);
    EXPECT_EQ(type.out, "4630-017");
    // A log that cannot be written leaves standard output to the result.
    type = e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, {{"DEBUG_LEVEL=2", "DEBUG_FILE=missing/x.log"}, "", false});
    EXPECT_EQ(type.status, 0);
    EXPECT_EQ(type.out, "4630-017");

    e2e::Result clock = e2e::Xelcmd({"127.0.0.2", "aprtvclk"}, kLogged);
    EXPECT_EQ(clock.status, 0);
    EXPECT_EQ(clock.out, "DatumUhrzeit:070203140509, Datumsformat:1, Funkuhrstatus:S");

    e2e::Result status = e2e::Xelcmd({"127.0.0.2", "aprst00b"}, kLogged);
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, "KorvoStatus: '\xA2\xD8' (ASCII) bzw. 0xa2 0xd8 (Hexadezimal)");

    std::string log = ReadFile("xelbde.log");
    EXPECT_TRUE(Contains(log, ";xelbde;APTYP01B;0100;0000;00000;Terminal=127.0.0.2 Typ=4630-017;")) << log;
    EXPECT_TRUE(Contains(log, ";xelbde;APRST00B;0100;0000;00000;Terminal=127.0.0.2 Status=0xffffffa2 0xffffffd8;"))
        << log;
    EXPECT_TRUE(Contains(
        log, ";xelbde;APRTVCLK;0100;0000;00000;Terminal=127.0.0.2 Datum/Zeit=070203140509 Format=1 Funkuhrstatus=S;"))
        << log;
}

TEST(ReaderTypes, IntoATargetFileAndOntoTheScreen) {
    e2e::Sim sim(Terminal(""));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(testing_support::WriteFile("readers.bin", std::string(4000, 'x')));
    e2e::Result toFile = e2e::Xelcmd({"127.0.0.2", "aprdrtyp", "readers.bin"}, kLogged);
    EXPECT_EQ(toFile.status, 0);
    EXPECT_EQ(toFile.out, "");
    EXPECT_EQ(ReadFile("readers.bin"), DefaultReaderTable());

    e2e::Result shown = e2e::Xelcmd({"127.0.0.2", "aprdrtyp"}, kLogged);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, DefaultReaderTable());
    EXPECT_FALSE(PathExists("TMPFILE"));

    e2e::Result uncreatable = e2e::Xelcmd({"127.0.0.2", "aprdrtyp", "no-such-dir/readers.bin"}, kLogged);
    EXPECT_EQ(uncreatable.status, 17);
    EXPECT_EQ(uncreatable.out, "Fehler bei der Ausfuehrung:17\n");
}

TEST(ControlCommands, SucceedSilentlyAndReportTerminalStatuses) {
    e2e::Sim sim(Terminal("freemem = 0815\nfault = QPGMSTART#2 status=05\nfault = sysinit#2 status=4142\n"));
    ASSERT_TRUE(sim.ready());
    for (const char* command : {"apstr00b", "apcnl00b", "apsysini", "apfmt00b"}) {
        e2e::Result r = e2e::Xelcmd({"127.0.0.2", command}, kLogged);
        EXPECT_EQ(r.status, 0) << command << ": " << r.out;
        EXPECT_EQ(r.out, "") << command;
    }
    e2e::Result start = e2e::Xelcmd({"127.0.0.2", "apstr00b"}, kLogged);
    EXPECT_EQ(start.status, 5);
    EXPECT_EQ(start.out, "Fehler bei der Ausfuehrung:5\n");
    e2e::Result init = e2e::Xelcmd({"127.0.0.2", "apsysini"}, kLogged);
    EXPECT_EQ(init.status, 16);
    EXPECT_EQ(init.out, "Fehler bei der Ausfuehrung:16\n");

    std::string log = ReadFile("xelbde.log");
    EXPECT_TRUE(Contains(log, ";xelbde;APFMT00B;0100;0000;00000;Terminal=127.0.0.2 Freier Speicher=0815;")) << log;
    EXPECT_TRUE(Contains(log, ";xelbde;APCNL00B;0100;0000;00000;Terminal=127.0.0.2;")) << log;
    EXPECT_TRUE(Contains(log, ";xelbde;APSTR00B;0100;0005;00000;Terminal=127.0.0.2;")) << log;
}
