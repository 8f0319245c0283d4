// SPDX-License-Identifier: MIT
// The log facility in one process: record lines, levels and the start-up from
// the environment, rotation into the backup, and hexadecimal dumps.
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tcpcom/tcpcom.h"
#include "tests/support/testing.h"
#include "xelbde/internal.h"

using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::StdoutCapture;
using testing_support::WriteFile;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));  // an unterminated tail shows up as a broken line
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The record line without its time stamp (which is checked on its own).
std::string Body(const std::string& line) { return line.size() > 15 ? line.substr(15) : line; }

std::string Stamp(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    char text[16];
    strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return text;
}

void AppendBytes(const std::string& path, size_t count) {
    std::string content = ReadFile(path);
    content.append(count, 'x');
    ASSERT_TRUE(WriteFile(path, content));
}

}  // namespace

// ------------------------------------------------------------ record lines --

TEST(LogRecord, StartRecordAndRecordLineByteForByte) {
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    time_t before = ::time(nullptr);
    ASSERT_EQ(TcpcomInitLog("xelbde.log", 100, 2000), 1);
    ASSERT_EQ(TcpcomLog("xelbde", "APTYP01B", 100, -1, -1, "Terminal=T1 Typ=5214-031", "a;b"), 1);
    time_t after = ::time(nullptr);

    auto lines = Lines(ReadFile("xelbde.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Body(lines[0]),
              "tcpcom;TcpcomInitLog;1600;0000;00000;Initialisierung Logdatei 'xelbde.log' (LogLevel: 100 "
              "Dateilaenge: 2000);");
    EXPECT_EQ(Body(lines[1]), "xelbde;APTYP01B;0100;-0001;-00001;Terminal=T1 Typ=5214-031;a;b");
    for (const auto& line : lines) {
        ASSERT_TRUE(line.size() > 14 && line[14] == ';' &&
                    line.find_first_not_of("0123456789") == 14) << line;
        std::string stamp = line.substr(0, 14);
        EXPECT_TRUE(stamp == Stamp(before) || stamp == Stamp(after)) << stamp;
    }
    // LF line ends only.
    EXPECT_EQ(ReadFile("xelbde.log").find('\r'), std::string::npos);
    EXPECT_EQ(TcpcomLogLevel(), 100);
    EXPECT_STREQ(TcpcomLogFileName(), "xelbde.log");
}

TEST(LogRecord, FieldsAreCutToTheirWidthsAndWideNumbersKept) {
    ASSERT_EQ(TcpcomInitLog("cut.log", 100, 2000), 1);
    std::string source(31, 's'), function(71, 'f'), text(250, 't'), text2(130, 'u');
    ASSERT_EQ(TcpcomLog(source.c_str(), function.c_str(), 1, 123456, 1234567, text.c_str(), text2.c_str()), 1);
    auto lines = Lines(ReadFile("cut.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Body(lines[1]), std::string(30, 's') + ";" + std::string(70, 'f') + ";0001;123456;1234567;" +
                                  std::string(200, 't') + ";" + std::string(100, 'u'));
}

TEST(LogRecord, TextsAreWrittenUnescaped) {
    ASSERT_EQ(TcpcomInitLog("raw.log", 100, 2000), 1);
    ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "a;b\nc", ""), 1);
    auto lines = Lines(ReadFile("raw.log"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Body(lines[1]), "xelbde;F;0001;0000;00000;a;b");
    EXPECT_EQ(lines[2], "c;");
}

// Standard output is the command's result: the facility's notice goes to
// standard error once, and of the records only the errors are shown there.
TEST(LogRecord, WithoutInitRecordsFailAndOnlyErrorsShowOnStandardError) {
    StdoutCapture out;
    StdoutCapture err(2);
    EXPECT_EQ(TcpcomLog("tcpcom", "X", kLogDump, 0, 0, "eins", "zwei"), 0);
    EXPECT_EQ(TcpcomLog("tcpcom", "X", kLogError, 0, 0, "drei", ""), 0);
    EXPECT_EQ(TcpcomLog("tcpcom", "X", kLogError, 0, 0, "vier", "fuenf"), 0);
    EXPECT_EQ(err.Take(),
              "TcpcomLog: Keine Log-Datei initialisiert. Zuerst die Funktion 'TcpcomInitLog' aufrufen\n"
              "Fehler: drei \nFehler: vier fuenf\n");
    EXPECT_EQ(out.Take(), "");
}

TEST(LogRecord, LevelAboveConfiguredIsSkippedButSucceeds) {
    ASSERT_EQ(TcpcomInitLog("lvl.log", 1, 2000), 1);
    EXPECT_EQ(TcpcomLog("xelbde", "A", 100, 0, 0, "op", ""), 1);
    EXPECT_EQ(TcpcomLog("xelbde", "B", 1, 0, 0, "err", ""), 1);
    auto lines = Lines(ReadFile("lvl.log"));
    ASSERT_EQ(lines.size(), 2u);  // the start record is written even at level 1
    EXPECT_NE(lines[0].find(";TcpcomInitLog;1600;"), std::string::npos);
    EXPECT_EQ(Body(lines[1]), "xelbde;B;0001;0000;00000;err;");
}

TEST(LogInit, FailedInitClosesAnOpenLogAndTooLongNamesAreRefused) {
    ASSERT_EQ(TcpcomInitLog("good.log", 100, 2000), 1);
    {
        StdoutCapture capture(2);
        EXPECT_EQ(TcpcomInitLog("missing/dir.log", 100, 2000), 0);
        EXPECT_EQ(capture.Take(),
                  "LogWriteString: Datei missing/dir.log konnte nicht exclusiv geoeffnet werden (No such file or "
                  "directory)\n");
    }
    EXPECT_EQ(TcpcomLogLevel(), -1);
    EXPECT_STREQ(TcpcomLogFileName(), "");

    std::string tooLong(260, 'n');
    StdoutCapture capture;
    EXPECT_EQ(TcpcomInitLog(tooLong.c_str(), 100, 2000), 0);
    EXPECT_EQ(TcpcomInitLog("", 100, 2000), 0);
    EXPECT_EQ(capture.Take(), "");
    EXPECT_EQ(TcpcomLogLevel(), -1);
}

// ------------------------------------------------- start-up from DEBUG_* --

struct EnvCase {
    const char* level;  // nullptr: unset
    int expectedLevel;
};

class XelbdeLogLevel : public ::testing::TestWithParam<EnvCase> {};

// Which records reach the file at each DEBUG_LEVEL: errors, the operations
// log, routine entries and dumps.
TEST_P(XelbdeLogLevel, MapsDebugLevelAndFiltersRecords) {
    if (GetParam().level != nullptr) ::setenv("DEBUG_LEVEL", GetParam().level, 1);
    ASSERT_EQ(xelbde::XelbdeInitLog(), 1);
    EXPECT_EQ(TcpcomLogLevel(), GetParam().expectedLevel);
    TcpcomLog("xelbde", "Error", kLogError, 1, 0, "", "");
    TcpcomLog("xelbde", "APTYP01B", kLogOperation, 0, 0, "Terminal=T1", "");
    TcpcomLog("tcpcom", "SocketRead", kLogEntry, 0, 0, "Unterprogramm Start", "");
    const char data[4] = {'a', 'b', 'c', 'd'};
    xelbde::XelbdeTrace(data, 4, "*** T ***");

    auto lines = Lines(ReadFile("xelbde.log"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(Body(lines[0]), "tcpcom;TcpcomInitLog;1600;0000;00000;Initialisierung Logdatei 'xelbde.log' (LogLevel: " +
                                  std::to_string(GetParam().expectedLevel) + " Dateilaenge: 2000);");
    std::vector<std::string> functions;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string body = Body(lines[i]);
        functions.push_back(body.substr(body.find(';') + 1, body.find(';', body.find(';') + 1) - body.find(';') - 1));
    }
    std::vector<std::string> expected = {"Error"};
    if (GetParam().expectedLevel >= 100) expected.push_back("APTYP01B");
    if (GetParam().expectedLevel >= 1600) {
        expected.push_back("SocketRead");
        expected.push_back("*** T ***");
    }
    EXPECT_EQ(functions, expected);
}

INSTANTIATE_TEST_SUITE_P(Levels, XelbdeLogLevel,
                         ::testing::Values(EnvCase{nullptr, 1}, EnvCase{"0", 100}, EnvCase{"1", 1000},
                                           EnvCase{"2", 9999}, EnvCase{"abc", 100}, EnvCase{"  2x", 9999},
                                           EnvCase{"3", 1}, EnvCase{"-1", 1}));

TEST(XelbdeLogSetup, FileAndSizeFromEnvironment) {
    ::setenv("DEBUG_FILE", "my.log", 1);
    ::setenv("DEBUG_SIZE", "-5", 1);
    ASSERT_EQ(xelbde::XelbdeInitLog(), 1);
    EXPECT_STREQ(xelbde::XelbdeLogFileName(), "my.log");
    EXPECT_FALSE(PathExists("xelbde.log"));
    EXPECT_NE(ReadFile("my.log").find("(LogLevel: 1 Dateilaenge: -5);"), std::string::npos);
}

TEST(XelbdeLogSetup, ZeroOrNonNumericSizeMeansDefault) {
    ::setenv("DEBUG_SIZE", "zero", 1);
    ASSERT_EQ(xelbde::XelbdeInitLog(), 1);
    EXPECT_NE(ReadFile("xelbde.log").find("Dateilaenge: 2000);"), std::string::npos);
}

TEST(XelbdeLogSetup, FailedStartIsRetriedAndSuccessIsKept) {
    ::setenv("DEBUG_FILE", "later/x.log", 1);
    {
        StdoutCapture capture;
        EXPECT_EQ(xelbde::XelbdeInitLog(), 0);
        capture.Take();
    }
    ASSERT_EQ(::mkdir("later", 0777), 0);
    EXPECT_EQ(xelbde::XelbdeInitLog(), 1);
    EXPECT_EQ(xelbde::XelbdeInitLog(), 1);
    EXPECT_EQ(Lines(ReadFile("later/x.log")).size(), 1u);  // started once only
}

TEST(XelbdeLogSetup, ThreadsStartingTogetherWriteOneStartRecord) {
    // Several processes, each starting its log from 16 threads released at once.
    constexpr int kProcesses = 6;
    constexpr int kThreads = 16;
    for (int p = 0; p < kProcesses; ++p) {
        std::fflush(stdout);
        pid_t child = ::fork();
        if (child == 0) {
            ::setenv("DEBUG_FILE", ("start" + std::to_string(p) + ".log").c_str(), 1);
            std::atomic<int> waiting{kThreads};
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&] {
                    // Yielding while they gather: 16 spinning threads on few
                    // cores would starve the others (and the tests beside).
                    for (--waiting; waiting.load() > 0;) std::this_thread::yield();
                    xelbde::XelbdeInitLog();
                });
            }
            for (auto& thread : threads) thread.join();
            ::_exit(0);
        }
        ASSERT_GT(child, 0);
        ::waitpid(child, nullptr, 0);
        std::string log = ReadFile("start" + std::to_string(p) + ".log");
        EXPECT_EQ(Lines(log).size(), 1u) << log;
    }
}

TEST(XelbdeLogSetup, LongDebugFileIsCutTo260AndThenRefused) {
    std::string name(300, 'a');
    ::setenv("DEBUG_FILE", name.c_str(), 1);
    StdoutCapture capture;
    EXPECT_EQ(xelbde::XelbdeInitLog(), 0);
    EXPECT_EQ(std::string(xelbde::XelbdeLogFileName()), std::string(260, 'a'));
    EXPECT_EQ(capture.Take(), "");
}

// ---------------------------------------------------------------- rotation --

TEST(LogRotation, FileOfExactlyTheLimitIsRotatedBeforeTheRecord) {
    ASSERT_EQ(TcpcomInitLog("rot.log", 100, 1), 1);
    AppendBytes("rot.log", 1024 - ReadFile("rot.log").size());
    ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "first in new file", ""), 1);
    EXPECT_EQ(ReadFile("ro_.log").size(), 1024u);
    auto lines = Lines(ReadFile("rot.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Body(lines[0]), "xelbde;F;0001;0000;00000;first in new file;");
}

TEST(LogRotation, FileOneByteBelowTheLimitIsExtended) {
    ASSERT_EQ(TcpcomInitLog("rot.log", 100, 1), 1);
    AppendBytes("rot.log", 1023 - ReadFile("rot.log").size());
    ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "appended", ""), 1);
    EXPECT_FALSE(PathExists("ro_.log"));
    std::string content = ReadFile("rot.log");
    EXPECT_GT(content.size(), 1024u);
    EXPECT_EQ(content.substr(1023, 15).find(';'), 14u);
}

TEST(LogRotation, NewFileKeepsThePermissionBitsOfTheOld) {
    ASSERT_EQ(TcpcomInitLog("p.log", 100, -1), 1);
    ASSERT_EQ(::chmod("p.log", 0640), 0);
    ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "x", ""), 1);
    struct stat st {};
    ASSERT_EQ(::stat("p.log", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(LogRotation, NegativeLimitKeepsLatestRecordAndTheOneBefore) {
    ASSERT_EQ(TcpcomInitLog("neg.log", 100, -1), 1);
    for (const char* text : {"one", "two", "three"}) ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, text, ""), 1);
    auto log = Lines(ReadFile("neg.log"));
    auto backup = Lines(ReadFile("ne_.log"));
    ASSERT_EQ(log.size(), 1u);
    ASSERT_EQ(backup.size(), 1u);
    EXPECT_EQ(Body(log[0]), "xelbde;F;0001;0000;00000;three;");
    EXPECT_EQ(Body(backup[0]), "xelbde;F;0001;0000;00000;two;");
}

TEST(LogRotation, LastDotOfTheWholePathCountsEvenInADirectory) {
    ASSERT_EQ(::mkdir("logs.d", 0777), 0);
    ASSERT_EQ(::mkdir("log_.d", 0777), 0);
    ASSERT_EQ(TcpcomInitLog("logs.d/trace", 100, -1), 1);
    ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "kept", ""), 1);
    EXPECT_NE(ReadFile("log_.d/trace").find("TcpcomInitLog"), std::string::npos);
    EXPECT_NE(ReadFile("logs.d/trace").find(";kept;"), std::string::npos);
}

TEST(LogRotation, MissingBackupDirectoryLosesTheRecordWithTheRenameMessage) {
    ASSERT_EQ(::mkdir("logs.d", 0777), 0);
    ASSERT_EQ(TcpcomInitLog("logs.d/trace", 100, 1), 1);
    AppendBytes("logs.d/trace", 2000);
    const std::string before = ReadFile("logs.d/trace");
    StdoutCapture capture(2);
    EXPECT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "lost", ""), 0);
    EXPECT_EQ(capture.Take(),
              "LogWriteString: Fehler (No such file or directory) beim Umbenennen von logs.d/trace nach "
              "log_.d/trace\nFehler: lost \n");
    EXPECT_EQ(ReadFile("logs.d/trace"), before);
}

TEST(LogRotation, NoDistinctBackupByTheDotRuleGetsTheNameWithAnUnderscoreAppended) {
    // Without a "." (or with "_" before it already) the log stays bounded
    // all the same: log and backup hold the latest record and the one before.
    for (const char* name : {"plain", "a_.log"}) {
        ASSERT_EQ(TcpcomInitLog(name, 100, -1), 1) << name;
        ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "one", ""), 1);
        ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "two", ""), 1);
        EXPECT_EQ(Lines(ReadFile(name)).size(), 1u) << name;
        EXPECT_NE(ReadFile(std::string(name) + "_").find(";one;"), std::string::npos) << name;
    }
}

TEST(LogWrite, RecordThatDoesNotFitWholeLeavesNoPartOfIt) {
    ASSERT_EQ(TcpcomInitLog("full.log", 100, 2000), 1);
    const std::string before = ReadFile("full.log");
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {before.size() + 60, RLIM_INFINITY};  // a full disk after 60 more bytes
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    StdoutCapture capture(2);
    EXPECT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, std::string(100, 'x').c_str(), ""), 0);
    capture.Take();
    EXPECT_EQ(ReadFile("full.log"), before);
}

TEST(LogRotation, LeadingDotNameGetsAnUnderscoreInFront) {
    ASSERT_EQ(TcpcomInitLog(".log", 100, -1), 1);
    ASSERT_EQ(TcpcomLog("xelbde", "F", 1, 0, 0, "new", ""), 1);
    EXPECT_NE(ReadFile("_.log").find("TcpcomInitLog"), std::string::npos);
    EXPECT_NE(ReadFile(".log").find(";new;"), std::string::npos);
}


// -------------------------------------------------------------------- dumps --

namespace {
std::vector<std::string> DumpTexts(const std::string& path) {
    std::vector<std::string> texts;
    for (const auto& line : Lines(ReadFile(path))) {
        const std::string prefix = ";1600;0000;00000;";
        size_t at = line.find(prefix);
        if (line.find("TcpcomInitLog") != std::string::npos || at == std::string::npos) continue;
        std::string text = line.substr(at + prefix.size());
        texts.push_back(text.substr(0, text.size() - 1));  // drop the separator of the empty text2
    }
    return texts;
}
}  // namespace

TEST(LogHexDump, FullLinesShortLastLineAndNonPrintables) {
    ASSERT_EQ(TcpcomInitLog("d.log", 9999, 2000), 1);
    unsigned char data[32];
    const unsigned char odd[5] = {0x00, 0x1F, 0x7F, 0x80, 0xFF};
    for (int i = 0; i < 16; ++i) data[i] = i < 5 ? odd[i] : static_cast<unsigned char>(0x20 + i);
    for (int i = 0; i < 16; ++i) data[16 + i] = static_cast<unsigned char>(0x41 + i);
    LogHexDump("src", data, 32, "*** T ***");
    const unsigned char twenty[20] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                      'K', 'L', 'M', 'N', 'O', 'P', 0x7E, 0x20, 0x0A, 'z'};
    LogHexDump("src", twenty, 20, "*** U ***");
    LogHexDump("src", data, 0, "*** none ***");
    LogHexDump("src", data, -3, "*** none ***");

    auto texts = DumpTexts("d.log");
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "0000000>   00 1F 7F 80 FF 25 26 27  28 29 2A 2B 2C 2D 2E 2F  |.....%&'()*+,-./|");
    EXPECT_EQ(texts[1], "0000016>   41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|");
    EXPECT_EQ(texts[1].size(), 79u);
    EXPECT_EQ(texts[2], "0000000>   41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|");
    // 4 byte columns, 12 blank ones of three blanks plus the extra blank before column 8.
    EXPECT_EQ(texts[3], "0000016>   7E 20 0A 7A " + std::string(12 * 3 + 1, ' ') + " |~ .z|");
    auto lines = Lines(ReadFile("d.log"));
    EXPECT_NE(lines[1].find(";src;*** T ***;1600;"), std::string::npos);
}

TEST(LogHexDump, XelbdeTraceUsesTheLogFileNameAsSourceAndRespectsTheLevel) {
    ::setenv("DEBUG_LEVEL", "2", 1);
    ::setenv("DEBUG_FILE", "trace.log", 1);
    xelbde::XelbdeTrace("T1", 2, "*** NormalizeBdeName ***");
    auto lines = Lines(ReadFile("trace.log"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Body(lines[1]),
              "trace.log;*** NormalizeBdeName ***;1600;0000;00000;0000000>   54 31 " + std::string(14 * 3 + 1, ' ') +
                  " |T1|;");
}

TEST(LogHexDump, DroppedBelowDumpLevel) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    xelbde::XelbdeTrace("T1", 2, "*** T ***");
    EXPECT_EQ(Lines(ReadFile("xelbde.log")).size(), 1u);
}

// -------------------------------------------------------------- trace flag --

TEST(LogTrace, DebugTcpcomStartsItsOwnLogWhenNoneExists) {
    TcpcomInitTrace();
    EXPECT_EQ(TcpcomTraceOn(), 0);
    EXPECT_FALSE(PathExists("tcpcom.dbg"));
    ::setenv("DEBUG_TCPCOM", "", 1);
    TcpcomInitTrace();
    EXPECT_EQ(TcpcomTraceOn(), 1);
    EXPECT_EQ(TcpcomLogLevel(), 9999);
    EXPECT_NE(ReadFile("tcpcom.dbg").find("'tcpcom.dbg' (LogLevel: 9999 Dateilaenge: 2000)"), std::string::npos);
}

TEST(LogTrace, FollowsTheConfiguredLevelOfAnOpenLog) {
    ::setenv("DEBUG_TCPCOM", "1", 1);
    ASSERT_EQ(TcpcomInitLog("x.log", 1600, 2000), 1);
    TcpcomInitTrace();
    EXPECT_EQ(TcpcomTraceOn(), 1);
    ASSERT_EQ(TcpcomInitLog("x.log", 1000, 2000), 1);
    TcpcomInitTrace();
    EXPECT_EQ(TcpcomTraceOn(), 0);
    EXPECT_FALSE(PathExists("tcpcom.dbg"));
}
