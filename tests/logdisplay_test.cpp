// SPDX-License-Identifier: MIT
// The operations log listing: header and rows, filters, incomplete lines,
// failures, and that writers are never held off while it reads.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/testing.h"
#include "xelbde/internal.h"

using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

const std::string kHeader = "Terminal   Datum      Uhrzeit  Befehl     Status Parameter\n";

std::string Record(const std::string& stamp, const std::string& function, const std::string& level,
                   const std::string& rc, const std::string& text) {
    return stamp + ";xelbde;" + function + ";" + level + ";" + rc + ";00000;" + text + ";\n";
}

std::string Row(const std::string& terminal, const std::string& date, const std::string& time,
                const std::string& function, const std::string& status, const std::string& parameter) {
    auto pad = [](std::string s, std::size_t n) {
        s.resize(n, ' ');
        return s;
    };
    return pad(terminal, 10) + " " + date + " " + time + " " + pad(function, 10) + "   " + status + "   " +
           pad(parameter, 81) + "\n";
}

int List(const char* terminal, const char* from, const char* to, const char* selection,
         const char* output = "out.txt") {
    return XelbdeDisplayLog(terminal, output, from, to, "", "", "", selection);
}

std::string Listed() { return ReadFile("out.txt"); }

// Starts the log first (its start record goes into the file), then replaces
// the file's content with the test's records.
void WriteLog(const std::string& content) {
    xelbde::XelbdeInitLog();
    WriteFile(xelbde::XelbdeLogFileName(), content);
}

}  // namespace

TEST(LogListing, RowFormatMatchesTheTableLayout) {
    WriteLog(
              Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=BDE01 Datei=abc.dat") +
                  Record("20070203140509", "APTYP01B", "0100", "0016", "Terminal=T2"));
    ASSERT_EQ(List("", "00000000000000", "29991231235959", "*ALL"), 0);
    EXPECT_EQ(Listed(), kHeader + Row("BDE01", "22.12.2006", "10:30:00", "APDEL00B", "00", "Datei=abc.dat") +
                            Row("T2", "03.02.2007", "14:05:09", "APTYP01B", "16", ""));
}

TEST(LogListing, NoLogYetListsTheHeaderOnly) {
    ASSERT_FALSE(PathExists("xelbde.log"));
    EXPECT_EQ(List("T1", "", "", "*ALL"), 0);  // the listing's own start begins the log
    EXPECT_EQ(Listed(), kHeader);
}

TEST(LogListing, LogAtItsSizeLimitShowsTheRecordsThatWereThere) {
    // The listing's own start record rotates the full log; the rows still come
    // from the records the log held when the listing was asked for.
    ::setenv("DEBUG_SIZE", "1", 1);
    std::string records;
    for (int i = 0; i < 9; ++i) {
        records += Record("2006122210300" + std::to_string(i), "APCNL00B", "0100", "0000",
                          "Terminal=T1 " + std::string(120, 'x'));
    }
    ASSERT_TRUE(WriteFile("xelbde.log", records));
    ASSERT_EQ(List("T1", "", "", "*ALL"), 0);
    std::string listed = Listed();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 10) << listed;
}

TEST(LogListing, OnlyOperationRecordsWithTheTerminalMarkerAreListed) {
    WriteLog(
              Record("20061222103000", "SetCobolReturnCode", "0001", "0001", "Terminal=T1 wrong level") +
                  Record("20061222103000", "SocketRead", "1100", "0000", "Unterprogramm Start") +
                  Record("20061222103000", "x.log", "1600", "0000", "0000000>   41") +
                  Record("20061222103000", "SendKorvoCommand", "0100", "0016",
                         "Unbekannter Terminalstatus (0x41 0x42)"));
    ASSERT_EQ(List("", "", "", "*ALL"), 0);
    EXPECT_EQ(Listed(), kHeader);
}

TEST(LogListing, TerminalFilterIgnoresCaseAndComparesWholeNames) {
    WriteLog(Record("20061222103000", "APCNL00B", "0100", "0000", "Terminal=HALLE1") +
                                Record("20061222103001", "APCNL00B", "0100", "0000", "Terminal=HALLE10") +
                                Record("20061222103002", "APSTR00B", "0100", "0000", "terminal=Halle1"));
    ASSERT_EQ(List("halle1", "", "", "*ALL"), 0);
    EXPECT_EQ(Listed(), kHeader + Row("HALLE1", "22.12.2006", "10:30:00", "APCNL00B", "00", "") +
                            Row("Halle1", "22.12.2006", "10:30:02", "APSTR00B", "00", ""));
}

TEST(LogListing, FunctionFilterIgnoresCase) {
    WriteLog(Record("20061222103000", "APCNL00B", "0100", "0000", "Terminal=T1") +
                                Record("20061222103001", "APSTR00B", "0100", "0000", "Terminal=T1"));
    ASSERT_EQ(XelbdeDisplayLog("", "out.txt", "", "", "apstr00b", nullptr, nullptr, ""), 0);
    EXPECT_EQ(Listed(), kHeader + Row("T1", "22.12.2006", "10:30:01", "APSTR00B", "00", ""));
}

TEST(LogListing, TimeRangeComparesBytewiseOverTheArgument) {
    WriteLog(Record("20061221235959", "APCNL00B", "0100", "0000", "Terminal=A") +
                                Record("20061222000000", "APCNL00B", "0100", "0000", "Terminal=B") +
                                Record("20061222235959", "APCNL00B", "0100", "0000", "Terminal=C") +
                                Record("20061223000000", "APCNL00B", "0100", "0000", "Terminal=D"));
    // A from text of one day keeps that day and later.
    ASSERT_EQ(List("", "20061222", "", "*ALL"), 0);
    std::string listed = Listed();
    EXPECT_EQ(listed.find("A   "), std::string::npos);
    EXPECT_NE(listed.find("\nB   "), std::string::npos);
    EXPECT_NE(listed.find("\nD   "), std::string::npos);
    // A to text of one day excludes that whole day.
    ASSERT_EQ(List("", "", "20061222", "*ALL"), 0);
    EXPECT_EQ(Listed(), kHeader + Row("A", "21.12.2006", "23:59:59", "APCNL00B", "00", ""));
    // The full range keeps everything.
    ASSERT_EQ(List("", "00000000000000", "29991231235959", "*ALL"), 0);
    std::string all = Listed();
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 5);
}

TEST(LogListing, SelectionWordsAreExactAndUpperCase) {
    WriteLog(Record("20061222103000", "APCNL00B", "0100", "0000", "Terminal=OK1") +
                                Record("20061222103001", "APCNL00B", "0100", "0033", "Terminal=ERR1"));
    auto terminals = [] {
        std::string listed = Listed();
        return std::string(listed.find("OK1") != std::string::npos ? "ok" : "") +
               (listed.find("ERR1") != std::string::npos ? "err" : "");
    };
    ASSERT_EQ(List("", "", "", "*OK"), 0);
    EXPECT_EQ(terminals(), "ok");
    ASSERT_EQ(List("", "", "", "*ERR"), 0);
    EXPECT_EQ(terminals(), "err");
    ASSERT_EQ(List("", "", "", "*ok"), 0);
    EXPECT_EQ(terminals(), "okerr");
    ASSERT_EQ(List("", "", "", "*ALL"), 0);
    EXPECT_EQ(terminals(), "okerr");
    ASSERT_EQ(List("", "", "", nullptr), 0);
    EXPECT_EQ(terminals(), "okerr");
}

TEST(LogListing, ParameterTextIsCutAtEightyCharacters) {
    std::string longText(120, 'x');
    WriteLog(Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=T1 " + longText));
    ASSERT_EQ(List("", "", "", "*ALL"), 0);
    EXPECT_EQ(Listed(), kHeader + Row("T1", "22.12.2006", "10:30:00", "APDEL00B", "00", std::string(80, 'x')));
}

TEST(LogListing, IncompleteLinesAreSkippedWithoutStoppingTheListing) {
    WriteLog("garbage without separators\n" + std::string(5000, ';') + "\n" +
                                "20061222103000;xelbde;APDEL00B;0100;0000\n" +
                                Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=") +
                                Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=   ") +
                                std::string(3000, 'z') + "\n" +
                                Record("20061222103001", "APDEL00B", "0100", "0000", "Terminal=T9 Datei=x") +
                                "20061222103002;xelbde;APDEL00B;0100;0000;00000;Terminal=TORN Da");
    ASSERT_EQ(List("", "", "", "*ALL"), 0);
    // The last line has no line end yet: a record being appended is left out.
    EXPECT_EQ(Listed(), kHeader + Row("T9", "22.12.2006", "10:30:01", "APDEL00B", "00", "Datei=x"));
}

TEST(LogListing, CarriageReturnLineEndsAreAccepted) {
    WriteLog("20061222103000;xelbde;APDEL00B;0100;0000;00000;Terminal=T1 Datei=a;\r\n");
    ASSERT_EQ(List("", "", "", "*ALL"), 0);
    EXPECT_EQ(Listed(), kHeader + Row("T1", "22.12.2006", "10:30:00", "APDEL00B", "00", "Datei=a"));
}

TEST(LogListing, ListsTheRecordsOfRealApiCalls) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    char rc[3] = {};
    APCNL00B("NOCONN", rc);  // not connected: 33
    EXPECT_STREQ(rc, "33");
    APDEL00B("NOCONN", "DATEN1", rc);
    ASSERT_EQ(List("noconn", "", "", "*ERR"), 0);
    std::string listed = Listed();
    EXPECT_NE(listed.find("APCNL00B     33   " + std::string(81, ' ') + "\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("APDEL00B     33   Datei=DATEN1"), std::string::npos) << listed;
}

TEST(LogListing, UnopenableOutputFileGivesOneAndAnErrorRecord) {
    WriteLog(Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=T1"));
    EXPECT_EQ(List("", "", "", "*ALL", "missing-dir/out.txt"), 1);
    std::string log = ReadFile("xelbde.log");
    EXPECT_NE(log.find(";xelbde;XelbdeDisplayLog;0001;0001;00002;Fehler beim Oeffnen von missing-dir/out.txt;"),
              std::string::npos)
        << log;
}

TEST(LogListing, UnopenableLogGivesOneAndTheMessage) {
    // The log cannot even be started there, so the message goes to standard error.
    ::setenv("DEBUG_FILE", "missing-dir/xelbde.log", 1);
    testing_support::StdoutCapture capture(2);
    EXPECT_EQ(List("", "", "", "*ALL"), 1);
    std::string out = capture.Take();
    EXPECT_NE(out.find("Fehler: Fehler beim Oeffnen von missing-dir/xelbde.log"), std::string::npos) << out;
    EXPECT_FALSE(testing_support::PathExists("out.txt"));
}

TEST(LogListing, LogThatIsNoRegularFileGivesOneWithoutOutput) {
    // A directory opens for reading but cannot be read as a log.
    ::mkdir("logdir.d", 0755);
    ::setenv("DEBUG_FILE", "logdir.d", 1);
    testing_support::StdoutCapture capture;
    EXPECT_EQ(List("", "", "", "*ALL"), 1);
    capture.Take();
    EXPECT_FALSE(testing_support::PathExists("out.txt"));
}

TEST(LogListing, HeaderThatCannotBeWrittenGivesMinusOneAndAPartialListingGoes) {
    WriteLog(Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=T1"));
    EXPECT_EQ(List("", "", "", "*ALL", "/dev/full"), -1);
    // A full disk after the header: the file this call made goes, one that
    // was there before stays.
    ASSERT_TRUE(WriteFile("old.txt", "mine"));
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100, RLIM_INFINITY};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    testing_support::StdoutCapture capture;  // the log cannot take the error records either
    EXPECT_EQ(List("", "", "", "*ALL", "new.txt"), 1);
    EXPECT_EQ(List("", "", "", "*ALL", "old.txt"), 1);
    capture.Take();
    EXPECT_FALSE(PathExists("new.txt"));
    EXPECT_TRUE(PathExists("old.txt"));
}

TEST(LogListing, ListingIntoTheLogOrItsBackupIsRefused) {
    WriteLog(Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=T1"));
    const std::string log = ReadFile("xelbde.log");
    for (const char* target : {"xelbde.log", "./xelbde.log", "xelbd_.log"}) {
        EXPECT_EQ(List("", "", "", "*ALL", target), 1) << target;
        EXPECT_FALSE(PathExists("xelbd_.log")) << target;
    }
    EXPECT_EQ(ReadFile("xelbde.log").rfind(log, 0), 0u) << "the log keeps its records, error records after them";
    EXPECT_NE(ReadFile("xelbde.log").find("Fehler beim Oeffnen von ./xelbde.log;Ausgabedatei ist die Logdatei"),
              std::string::npos);
}

TEST(LogListing, WritersAreNeverHeldOffWhileAListingRuns) {
    std::string big;
    for (int i = 0; i < 20000; ++i) {
        big += Record("20061222103000", "APDEL00B", "0100", "0000", "Terminal=T" + std::to_string(i % 7));
    }
    ::setenv("DEBUG_LEVEL", "0", 1);
    WriteLog(big);
    pid_t lister = ::fork();
    if (lister == 0) {
        for (int i = 0; i < 30; ++i) XelbdeDisplayLog("", "child.txt", "", "", "", "", "", "*ALL");
        ::_exit(0);
    }
    int lost = 0;
    for (int i = 0; i < 300; ++i) {
        if (TcpcomLog("xelbde", "APCNL00B", 100, 0, 0, "Terminal=WRITER", "") != 1) ++lost;
    }
    int status = 0;
    ::waitpid(lister, &status, 0);
    EXPECT_EQ(lost, 0);
    ASSERT_EQ(List("writer", "", "", "*ALL"), 0);
    std::string listed = Listed();
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 301);
}
