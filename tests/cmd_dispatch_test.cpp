// SPDX-License-Identifier: MIT
// The front end's dispatch: usage text, command-word matching, word counts,
// the connect/call/disconnect sequence and the printed results.
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_api.h"
#include "tests/support/testing.h"

using fake_api::CallNames;
using fake_api::RunXelcmd;
using Names = std::vector<std::string>;

namespace {

const std::string kUsageFirstPage =
    "\n"
    " XELBDE - (V3.02, Sep 22 2006)\n"
    "\nXELBDE unterstuetzt folgende Kommandozeilen-Parameter:\n"
    "------------------------------------------------------\n"
    "(Optionale Parameter stehen in eckigen Klammern '<>')\n\n"
    "  1) xelcmd  bdename  apcnl00b\n"
    "  2) xelcmd  bdename  apdir00b  <NameZielDatei>\n"
    "  3) xelcmd  bdename  apdmtver\n"
    "  4) xelcmd  bdename  apdnload  DownloadDatei  TerminalDatei  <0/1>\n"
    "  5) xelcmd  bdename  apdnp00b  ProgrammDatei\n"
    "Anmerkungen:\n"
    "ad 2) Ohne Angabe einer Zieldatei erfolgt die Ausgabe auf den Bildschirm\n"
    "ad 4) 0=anhaengen, 1=ersetzen(default)\n"
    "\nweiter => Taste betaetigen\n";

const std::string kUsageSecondPage =
    "  6) xelcmd  bdename  apfmt00b\n"
    "  7) xelcmd  bdename  apscl00b  <HHMMSSDDMMYY>\n"
    "  8) xelcmd  bdename  apstr00b\n"
    "  9) xelcmd  bdename  aptyp01b\n"
    " 10) xelcmd  bdename  apupload  UploadZiel  TerminalDatei  <0/1>\n"
    " 11) xelcmd  bdename  apdel00b  TerminalDatei\n"
    " 12) xelcmd  bdename  aprtvclk  \n"
    " 13) xelcmd  bdename  apsynhst  <MaxDiff>\n"
    " 14) xelcmd  bdename  aprdrtyp  <NameZielDatei>\n"
    " 15) xelcmd  bdename  apsysdnl  OS-Dateiname\n"
    " 16) xelcmd  bdename  apsysini\n"
    " 17) xelcmd  bdename  aprst00b\n"
    " 18) xelcmd  bdename  apdsppge  Segment Offset <NameZielDatei>\n"
    " 19) xelcmd  bdename  apdsplog  *ALL|*OK|*ERR  <NameZielDatei>\n"
    "Anmerkungen:\n"
    "ad 14,18,19) Ohne Angabe einer Zieldatei erfolgt die Ausgabe auf den Bildschirm\n"
    "ad        7) Ohne Zeitangabe wird das aktuelle Datum auf dem Terminal gesetzt\n"
    "ad       10) 0=belassen(default), 1= loeschen\n";

// What is left of standard input after the run.
std::string RemainingInput() {
    std::string rest;
    char c;
    while (::read(0, &c, 1) == 1) rest += c;
    return rest;
}

}  // namespace

// ------------------------------------------------------------ usage text ---

TEST(UsageText, ProgramAloneShowsBothPagesAndReadsExactlyOneKey) {
    testing_support::StdinFeed keys("xyz");
    auto run = RunXelcmd({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kUsageFirstPage + kUsageSecondPage);
    EXPECT_EQ(RemainingInput(), "yz");
    EXPECT_TRUE(CallNames().empty());
}

TEST(UsageText, TerminalNameAloneAtEndOfInput) {
    testing_support::StdinFeed keys("");
    auto run = RunXelcmd({"T1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kUsageFirstPage + kUsageSecondPage);
    EXPECT_TRUE(CallNames().empty());
}

TEST(UsageText, SignalDuringThePauseGivesTheTerminalItsEchoBack) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        int master = -1;
        pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            char program[] = "xelcmd";
            char* argv[] = {program, nullptr};
            ::_exit(XelcmdMain(1, argv));
        }
        termios settings{};
        for (int i = 0; i < 2000; ++i) {  // until the pause has switched the echo off
            char screen[4096];
            pollfd readable{master, POLLIN, 0};
            if (::poll(&readable, 1, 5) > 0) (void)!::read(master, screen, sizeof screen);
            if (::tcgetattr(master, &settings) == 0 && (settings.c_lflag & ECHO) == 0) break;
        }
        ASSERT_EQ(settings.c_lflag & ECHO, 0u) << "the pause never began";
        ::kill(pid, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "the signal still ends the program";
        ASSERT_EQ(::tcgetattr(master, &settings), 0);
        EXPECT_NE(settings.c_lflag & ECHO, 0u);
        EXPECT_NE(settings.c_lflag & ICANON, 0u);
        ::close(master);
    }
}

// ------------------------------------------------------- command words ---

TEST(CommandWords, EightCharactersMatchInAnyCaseAndTheRestIsIgnored) {
    for (const char* word : {"APDIR00B", "apdir00bxyz", "ApDiR00b"}) {
        SCOPED_TRACE(word);
        fake_api::ClearCalls();
        auto run = RunXelcmd({"T1", word, "dir.txt"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(CallNames(), (Names{"APALC00B", "APDIR00B", "APDLC00B"}));
    }
}

TEST(CommandWords, UnknownWordsGive255WithoutAnyCall) {
    // Shorter than eight characters, an empty word, a word that only shares a
    // prefix, and non-letters that upper-casing must not fold into letters.
    for (const char* word : {"apdir0", "", "apdir00", "apwhat00", "apdir00\xe2", "APDIR@0B"}) {
        SCOPED_TRACE(word);
        auto run = RunXelcmd({"T1", word});
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.out, "Unbekannte XELBDE-Funktion\n");
    }
    EXPECT_TRUE(CallNames().empty());
}

TEST(CommandWords, UnimplementedWordsGive253WhateverTheCount) {
    for (const char* word : {"apevt00b", "APEVT01B", "apsts00b"}) {
        for (const Names& extra : {Names{}, Names{"a"}, Names{"a", "b", "c", "d"}}) {
            Names words{"T1", word};
            words.insert(words.end(), extra.begin(), extra.end());
            auto run = RunXelcmd(words);
            EXPECT_EQ(run.status, 253) << word;
            EXPECT_EQ(run.out, "Noch nicht implementiert\n");
        }
    }
    EXPECT_TRUE(CallNames().empty());
}

TEST(CommandWords, WordCountOutsideTheRowGives254WithoutAnyCall) {
    const std::vector<Names> lines = {
        {"T1", "apdel00b"},
        {"T1", "apdir00b", "a", "b"},
        {"T1", "apcnl00b", "a"},
        {"T1", "apdnload", "a"},
        {"T1", "apdnload", "a", "b", "1", "x"},
        {"T1", "apdsppge", "1"},
        {"T1", "apdsplog"},
        {"T1", "apdsplog", "*ALL", "f", "x"},
    };
    for (const auto& line : lines) {
        auto run = RunXelcmd(line);
        EXPECT_EQ(run.status, 254) << line[1] << " with " << line.size() << " words";
        EXPECT_EQ(run.out, "Falsche Anzahl Parameter\n");
    }
    EXPECT_TRUE(CallNames().empty());
}

// --------------------------------------------------- RunWithConnection ---

TEST(RunWithConnection, ConnectsCallsAndDisconnectsUnderTheTerminalName) {
    auto run = RunXelcmd({"BDE01", "apcnl00b"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(CallNames(), (Names{"APALC00B", "APCNL00B", "APDLC00B"}));
    for (const auto& call : fake_api::Calls()) EXPECT_EQ(call.texts[0], "BDE01");
    EXPECT_EQ(fake_api::Calls()[0].texts[1], std::nullopt);  // no terminal type
    EXPECT_EQ(fake_api::Calls()[2].texts[1], std::nullopt);
}

TEST(RunWithConnection, FailedConnectEndsWithItsCodeAndNoFurtherCall) {
    fake_api::SetReturnCode("APALC00B", 7);
    auto run = RunXelcmd({"T1", "apstr00b"});
    EXPECT_EQ(run.status, 7);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:7\n");
    EXPECT_EQ(CallNames(), (Names{"APALC00B"}));
}

TEST(RunWithConnection, FailedCallStillDisconnectsAndItsCodeWins) {
    fake_api::SetReturnCode("APSTR00B", 16);
    fake_api::SetReturnCode("APDLC00B", 32);
    auto run = RunXelcmd({"T1", "apstr00b"});
    EXPECT_EQ(run.status, 16);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:16\n");
    EXPECT_EQ(CallNames(), (Names{"APALC00B", "APSTR00B", "APDLC00B"}));
}

TEST(RunWithConnection, FailedDisconnectAfterASuccessfulCallGivesTheDisconnectCode) {
    fake_api::SetReturnCode("APDLC00B", 33);
    auto run = RunXelcmd({"T1", "apsysini"});
    EXPECT_EQ(run.status, 33);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:33\n");
    EXPECT_EQ(CallNames(), (Names{"APALC00B", "APSYSINI", "APDLC00B"}));
}

TEST(RunWithConnection, FailedDisconnectSuppressesTheResultText) {
    fake_api::SetReturnCode("APDLC00B", 32);
    auto run = RunXelcmd({"T1", "aptyp01b"});
    EXPECT_EQ(run.status, 32);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:32\n");
}

// ------------------------------------------------------ printed results ---

TEST(PrintedResults, TypeShowsAtMostEightCharacters) {
    fake_api::SetType("5214-031XY");
    auto run = RunXelcmd({"T1", "aptyp01b"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "5214-031");
}

TEST(PrintedResults, VersionTextEndsAtItsZeroWithoutLineFeed) {
    fake_api::SetVersion("XEL 5214 V2.10");
    auto run = RunXelcmd({"T1", "apdmtver"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "XEL 5214 V2.10");
    EXPECT_EQ(fake_api::OnlyCall("APDMTVER").numbers, (std::vector<std::uint32_t>{2048}));
}

TEST(PrintedResults, VersionFillingTheWholeAreaStopsAtItsEnd) {
    std::string full(2048, 'v');
    full.back() = 'E';
    fake_api::SetVersion(full + "beyond");
    auto run = RunXelcmd({"T1", "apdmtver"});
    EXPECT_EQ(run.out, full);
}

TEST(PrintedResults, FailedVersionPrintsOnlyTheErrorLine) {
    fake_api::SetVersion("partial");
    fake_api::SetReturnCode("APDMTVER", 41);
    auto run = RunXelcmd({"T1", "apdmtver"});
    EXPECT_EQ(run.status, 41);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:41\n");
}

TEST(PrintedResults, TerminalClockLine) {
    fake_api::SetClock("061222103000", '1', 'S');
    auto run = RunXelcmd({"T1", "aprtvclk"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "DatumUhrzeit:061222103000, Datumsformat:1, Funkuhrstatus:S");
}

TEST(PrintedResults, RawStatusAsCharactersAndUnsignedHex) {
    fake_api::SetStatus(0x3F, 0x3F);
    EXPECT_EQ(RunXelcmd({"T1", "aprst00b"}).out, "KorvoStatus: '?" "?' (ASCII) bzw. 0x3f 0x3f (Hexadezimal)");

    fake_api::SetStatus(0xB5, 0x00);
    auto run = RunXelcmd({"T1", "aprst00b"});
    EXPECT_EQ(run.status, 0);
    static constexpr char kExpected[] = "KorvoStatus: '\xb5\0' (ASCII) bzw. 0xb5 0 (Hexadezimal)";
    EXPECT_EQ(run.out, std::string(kExpected, sizeof kExpected - 1));
}

TEST(PrintedResults, CommandsWithoutResultPrintNothing) {
    const std::vector<Names> lines = {
        {"T1", "apcnl00b"},      {"T1", "apfmt00b"},           {"T1", "apstr00b"},
        {"T1", "apsysini"},      {"T1", "apscl00b"},           {"T1", "apsynhst"},
        {"T1", "apdel00b", "f"}, {"T1", "apsysdnl", "os"},     {"T1", "apdnp00b", "p"},
        {"T1", "apdnload", "a", "b"}, {"T1", "apupload", "a", "b"},
    };
    for (const auto& line : lines) {
        auto run = RunXelcmd(line);
        EXPECT_EQ(run.status, 0) << line[1];
        EXPECT_EQ(run.out, "") << line[1];
    }
}
