// SPDX-License-Identifier: MIT
// What the front end hands to each API function, and what becomes of TMPFILE.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tcpcom/tcpcom.h"
#include "tests/support/fake_api.h"
#include "tests/support/testing.h"

using fake_api::OnlyCall;
using fake_api::RunXelcmd;
using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Texts = std::vector<std::optional<std::string>>;

// ------------------------------------------------------ argument passing ---

TEST(ArgumentPassing, CommandsWithoutArguments) {
    for (const char* word : {"apcnl00b", "apstr00b", "apsysini", "aptyp01b", "aprtvclk", "aprst00b"}) {
        std::string function = word;
        for (auto& c : function) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        RunXelcmd({"T1", word});
        EXPECT_EQ(OnlyCall(function).texts, (Texts{"T1"})) << word;
    }
    RunXelcmd({"T1", "apfmt00b"});
    EXPECT_EQ(OnlyCall("APFMT00B").texts, (Texts{"T1", std::nullopt}));  // free memory not requested
    RunXelcmd({"T1", "apdmtver"});
    EXPECT_EQ(OnlyCall("APDMTVER").numbers, (std::vector<std::uint32_t>{2048}));
}

TEST(ArgumentPassing, FileArgumentsPassUnchanged) {
    RunXelcmd({"T1", "apdel00b", "Daten 1.dat"});
    EXPECT_EQ(OnlyCall("APDEL00B").texts, (Texts{"T1", "Daten 1.dat"}));
    RunXelcmd({"T1", "apsysdnl", "os.bin"});
    EXPECT_EQ(OnlyCall("APSYSDNL").texts, (Texts{"T1", "os.bin"}));
    RunXelcmd({"T1", "apdnp00b", "prog.pgm"});
    EXPECT_EQ(OnlyCall("APDNP00B").texts, (Texts{"T1", "prog.pgm", std::nullopt, std::nullopt}));
    RunXelcmd({"T1", "apdir00b", "dir.txt"});
    EXPECT_EQ(OnlyCall("APDIR00B").texts, (Texts{"T1", "dir.txt"}));
    RunXelcmd({"T1", "aprdrtyp", "rdr.txt"});
    EXPECT_EQ(OnlyCall("APRDRTYP").texts, (Texts{"T1", "rdr.txt"}));
    RunXelcmd({"T1", "apdsppge", "1a2b", "05", "page.bin"});
    EXPECT_EQ(OnlyCall("APDSPPGE").texts, (Texts{"T1", "1a2b", "05", "page.bin"}));
}

TEST(ArgumentPassing, TargetFileDefaultsToTmpfile) {
    RunXelcmd({"T1", "apdir00b"});
    EXPECT_EQ(OnlyCall("APDIR00B").texts, (Texts{"T1", "TMPFILE"}));
    RunXelcmd({"T1", "aprdrtyp"});
    EXPECT_EQ(OnlyCall("APRDRTYP").texts, (Texts{"T1", "TMPFILE"}));
    RunXelcmd({"T1", "apdsppge", "12", "0"});
    EXPECT_EQ(OnlyCall("APDSPPGE").texts, (Texts{"T1", "12", "0", "TMPFILE"}));
}

TEST(ArgumentPassing, ReplaceFlagIsOneOnlyForTheValueOne) {
    struct Case {
        std::vector<std::string> flag;
        const char* passed;
    };
    for (const Case& c : {Case{{}, "1"}, Case{{"1"}, "1"}, Case{{" 01"}, "1"}, Case{{"0"}, "0"}, Case{{"2"}, "0"},
                          Case{{"x"}, "0"}, Case{{"-1"}, "0"}, Case{{"4294967297"}, "0"}}) {
        fake_api::ClearCalls();
        std::vector<std::string> words{"T1", "apdnload", "host.dat", "term.dat"};
        words.insert(words.end(), c.flag.begin(), c.flag.end());
        EXPECT_EQ(RunXelcmd(words).status, 0);
        EXPECT_EQ(OnlyCall("APDNLOAD").texts, (Texts{"T1", "host.dat", "term.dat", c.passed}))
            << (c.flag.empty() ? "no flag" : c.flag[0]);
    }
}

TEST(ArgumentPassing, DeleteFlagDefaultsToZero) {
    struct Case {
        std::vector<std::string> flag;
        const char* passed;
    };
    for (const Case& c : {Case{{}, "0"}, Case{{"1"}, "1"}, Case{{"0"}, "0"}, Case{{"3"}, "0"}, Case{{"ja"}, "0"}}) {
        fake_api::ClearCalls();
        std::vector<std::string> words{"T1", "apupload", "up.dat", "term.dat"};
        words.insert(words.end(), c.flag.begin(), c.flag.end());
        RunXelcmd(words);
        EXPECT_EQ(OnlyCall("APUPL00B").texts, (Texts{"T1", "up.dat", "term.dat", c.passed}))
            << (c.flag.empty() ? "no flag" : c.flag[0]);
    }
}

TEST(ArgumentPassing, ClockTimeDefaultsToSystemTimeWithFormatOne) {
    RunXelcmd({"T1", "apscl00b"});
    EXPECT_EQ(OnlyCall("APSCL00B").texts, (Texts{"T1", "*SYSVAL     ", "1"}));
    fake_api::ClearCalls();
    RunXelcmd({"T1", "apscl00b", "103000221206"});
    EXPECT_EQ(OnlyCall("APSCL00B").texts, (Texts{"T1", "103000221206", "1"}));
}

TEST(ArgumentPassing, ShortClockTimeIsPaddedToTwelveCharacters) {
    // The double reads twelve characters as the library does: a short word
    // must be padded, never read past its end.
    RunXelcmd({"T1", "apscl00b", "1030"});
    EXPECT_EQ(OnlyCall("APSCL00B").texts, (Texts{"T1", "1030        ", "1"}));
    fake_api::ClearCalls();
    RunXelcmd({"T1", "apscl00b", ""});
    EXPECT_EQ(OnlyCall("APSCL00B").texts, (Texts{"T1", "            ", "1"}));
}

TEST(ArgumentPassing, MaxDiffDefaultsToNinetyAndNonNumericGivesZero) {
    struct Case {
        std::vector<std::string> word;
        std::uint32_t passed;
    };
    for (const Case& c : {Case{{}, 90}, Case{{"15"}, 15}, Case{{"abc"}, 0}, Case{{"7min"}, 7},
                          Case{{"-1"}, 0xFFFFFFFFu}}) {
        fake_api::ClearCalls();
        std::vector<std::string> words{"T1", "apsynhst"};
        words.insert(words.end(), c.word.begin(), c.word.end());
        RunXelcmd(words);
        EXPECT_EQ(OnlyCall("APSYNHST").numbers, (std::vector<std::uint32_t>{c.passed}))
            << (c.word.empty() ? "no word" : c.word[0]);
    }
}

TEST(ArgumentPassing, DisplayLogGetsEightArgumentsAndNoConnection) {
    RunXelcmd({"BDE01", "apdsplog", "*err"});
    EXPECT_EQ(fake_api::CallNames(), (std::vector<std::string>{"XelbdeDisplayLog"}));
    EXPECT_EQ(OnlyCall("XelbdeDisplayLog").texts,
              (Texts{"BDE01", "TMPFILE", "00000000000000", "29991231235959", "", "", "", "*err"}));
    fake_api::ClearCalls();
    RunXelcmd({"BDE01", "apdsplog", "*ALL", "log.txt"});
    EXPECT_EQ(OnlyCall("XelbdeDisplayLog").texts,
              (Texts{"BDE01", "log.txt", "00000000000000", "29991231235959", "", "", "", "*ALL"}));
}

// --------------------------------------------------------------- TMPFILE ---

TEST(TempFile, DirectoryIsShownAndDeleted) {
    fake_api::SetOutputContent("APDIR00B", "A.DAT 120\nB.DAT 7\n");
    auto run = RunXelcmd({"T1", "apdir00b"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "A.DAT 120\nB.DAT 7\n");
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(TempFile, DeletedAfterAFailedCallWithoutShowingIt) {
    fake_api::SetOutputContent("APRDRTYP", "partial");
    fake_api::SetReturnCode("APRDRTYP", 18);
    auto run = RunXelcmd({"T1", "aprdrtyp"});
    EXPECT_EQ(run.status, 18);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:18\n");
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(TempFile, DeletedAfterAFailedConnect) {
    WriteFile("TMPFILE", "stale");
    fake_api::SetReturnCode("APALC00B", 5);
    EXPECT_EQ(RunXelcmd({"T1", "apdir00b"}).status, 5);
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(TempFile, MissingAfterSuccessIsReported) {
    auto run = RunXelcmd({"T1", "apdir00b"});  // the double writes no file
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Fehler beim Einlesen der Datei TMPFILE (No such file or directory)\n");
}

TEST(TempFile, GivenTargetFileIsLeftAloneAndNothingShown) {
    fake_api::SetOutputContent("APDIR00B", "A.DAT 120\n");
    fake_api::SetOutputContent("APDSPPGE", std::string(256, 'p'));
    fake_api::SetOutputContent("XelbdeDisplayLog", "header\n");
    WriteFile("TMPFILE", "someone else's");
    EXPECT_EQ(RunXelcmd({"T1", "apdir00b", "dir.txt"}).out, "");
    EXPECT_EQ(RunXelcmd({"T1", "apdsppge", "1", "0", "page.bin"}).out, "");
    EXPECT_EQ(RunXelcmd({"T1", "apdsplog", "*OK", "log.txt"}).out, "");
    EXPECT_EQ(ReadFile("dir.txt"), "A.DAT 120\n");
    EXPECT_EQ(ReadFile("page.bin"), std::string(256, 'p'));
    EXPECT_EQ(ReadFile("log.txt"), "header\n");
    EXPECT_EQ(ReadFile("TMPFILE"), "someone else's");
}

TEST(TempFile, FailedTargetFileCommandKeepsWhatTheLibraryLeft) {
    fake_api::SetOutputContent("APDSPPGE", "part");
    fake_api::SetReturnCode("APDSPPGE", 18);
    auto run = RunXelcmd({"T1", "apdsppge", "1", "0", "page.bin"});
    EXPECT_EQ(run.status, 18);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:18\n");
    EXPECT_EQ(ReadFile("page.bin"), "part");
}

TEST(TempFile, LogListingIsCopiedWhenNotOnATerminal) {
    fake_api::SetOutputContent("XelbdeDisplayLog", "Terminal   Datum      Uhrzeit  Befehl     Status Parameter\n");
    auto run = RunXelcmd({"T1", "apdsplog", "*ALL"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Terminal   Datum      Uhrzeit  Befehl     Status Parameter\n");
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(TempFile, FailedLogListingEndsWithItsResult) {
    fake_api::SetOutputContent("XelbdeDisplayLog", "header only\n");
    fake_api::SetDisplayLogResult(-1);
    auto run = RunXelcmd({"T1", "apdsplog", "*ALL"});
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:-1\n");
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(TempFile, TmpfileThatIsTheLogIsNeverDeleted) {
    ASSERT_EQ(TcpcomInitLog("TMPFILE", 100, 2000), 1);  // DEBUG_FILE=TMPFILE
    fake_api::SetDisplayLogResult(1);
    EXPECT_EQ(RunXelcmd({"T1", "apdsplog", "*ALL"}).status, 1);
    EXPECT_NE(ReadFile("TMPFILE").find("TcpcomInitLog"), std::string::npos);
}

// ---------------------------------------------------------------- paging ---

namespace {

// Runs apdsplog with standard output on a pseudo terminal and PAGER set as
// given; returns what appeared on the terminal.
std::string ListLogOnTerminal(const char* pager) {
    fake_api::SetOutputContent("XelbdeDisplayLog", "first\nsecond\n");
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::setenv("PAGER", pager, 1);
        char program[] = "xelcmd", terminal[] = "T1", command[] = "apdsplog", selection[] = "*ALL";
        char* argv[] = {program, terminal, command, selection, nullptr};
        int status = XelcmdMain(4, argv);
        std::fflush(stdout);
        ::_exit(status);
    }
    std::string screen;
    char block[256];
    ssize_t got;
    while ((got = ::read(master, block, sizeof block)) > 0) screen.append(block, static_cast<std::size_t>(got));
    int status = -1;
    ::waitpid(pid, &status, 0);
    ::close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return screen;
}

}  // namespace

TEST(Paging, TerminalOutputGoesThroughThePagerWithItsOwnWords) {
    std::string screen = ListLogOnTerminal("cat -n");
    EXPECT_NE(screen.find("     1\tfirst\r\n     2\tsecond\r\n"), std::string::npos) << screen;
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(Paging, PagerThatCannotStartFallsBackToCopyingWithoutAShell) {
    std::string screen = ListLogOnTerminal("cat;touch injected");
    EXPECT_EQ(screen, "first\r\nsecond\r\n");
    EXPECT_FALSE(PathExists("injected"));
    EXPECT_FALSE(PathExists("TMPFILE"));
}

// ---------------------------------------------------------- progress line ---

TEST(ProgressLine, ShownOnATerminalAndClearedAtTheEndNothingOtherwise) {
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        char program[] = "xelcmd", terminal[] = "T1", command[] = "apdnload", file[] = "a.dat", name[] = "A";
        char* argv[] = {program, terminal, command, file, name, nullptr};
        int status = XelcmdMain(5, argv);
        ::_exit(status);
    }
    std::string screen;
    char block[256];
    ssize_t got;
    while ((got = ::read(master, block, sizeof block)) > 0) screen.append(block, static_cast<std::size_t>(got));
    ::waitpid(pid, nullptr, 0);
    ::close(master);
    // The first report shows (later ones within 200 ms do not), then the line is cleared.
    EXPECT_EQ(screen.rfind("\rAPDNLOAD 1792 Bytes, 1 Bloecke, ", 0), 0u) << screen;
    EXPECT_NE(screen.find(", 33% von 5376 Bytes"), std::string::npos) << screen;
    EXPECT_EQ(screen.substr(screen.size() - 4), "\r\033[K") << screen;

    // Standard error a file: nothing there, standard output as ever.
    int saved = ::dup(STDERR_FILENO);
    int errors = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(errors, STDERR_FILENO);
    auto run = RunXelcmd({"T1", "apdnload", "a.dat", "A"});
    ::dup2(saved, STDERR_FILENO);
    ::close(errors);
    ::close(saved);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadFile("stderr.txt"), "");
}

