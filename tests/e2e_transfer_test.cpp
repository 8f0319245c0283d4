// SPDX-License-Identifier: MIT
// Transfers end to end: the real xelcmd against bdesim's file store, in the
// test's own network namespace.
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"

namespace {

using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

constexpr const char* kTerminal = "127.0.0.2";

const char* kConfig =
    "[terminal T1]\n"
    "listen = 127.0.0.2\n"
    "memory = 9999\n"
    "store = t1store\n";

// Every byte value, in an order that shows shifted or repeated blocks; the
// end bytes 0xA6 and 0x2E occur too (a data file is served as it is).
std::string Content(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    unsigned x = seed;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<char>(x >> 16);
    }
    return data;
}

// Data without the file end byte 0xA6: an upload reads a block up to it.
std::string DataFileContent(std::size_t size) {
    std::string data = Content(size, 7);
    for (char& c : data) {
        if (c == '\xA6') c = 'x';
    }
    return data;
}

e2e::Result Xel(const std::vector<std::string>& words, const e2e::RunOptions& options = {},
               const e2e::SignalWhen& signal = {}) {
    std::vector<std::string> all = {kTerminal};
    all.insert(all.end(), words.begin(), words.end());
    return e2e::Xelcmd(all, options, signal);
}

TEST(TransferRoundTrip, TwoMegabyteFileDownloadedAndUploadedBackIsIdentical) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    std::string data = DataFileContent(2000000);
    ASSERT_TRUE(WriteFile("big.dat", data));

    e2e::Result down = Xel({"apdnload", "big.dat", "BIGFILE", "1"});
    ASSERT_EQ(down.status, 0) << down.out;
    EXPECT_EQ(down.out, "");
    EXPECT_TRUE(ReadFile("t1store/BIGFILE.dat") == data) << "stored file differs";

    e2e::Result up = Xel({"apupload", "back.dat", "BIGFILE"});
    ASSERT_EQ(up.status, 0) << up.out;
    EXPECT_TRUE(ReadFile("back.dat") == data) << "uploaded file differs";
    EXPECT_TRUE(PathExists("t1store/BIGFILE.dat")) << "delete flag 0 keeps the terminal's file";

    e2e::Result again = Xel({"apupload", "back2.dat", "BIGFILE", "1"});
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_TRUE(ReadFile("back2.dat") == data);
    EXPECT_FALSE(PathExists("t1store/BIGFILE.dat")) << "delete flag 1 removes the terminal's file";
}

TEST(TransferRoundTrip, DataFileIsReplacedOrAppendedTo) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("a.dat", "first part;"));
    ASSERT_TRUE(WriteFile("b.dat", "second part"));
    ASSERT_EQ(Xel({"apdnload", "a.dat", "LOG"}).status, 0);  // without a flag: replace
    ASSERT_EQ(Xel({"apdnload", "b.dat", "LOG", "0"}).status, 0);
    EXPECT_EQ(ReadFile("t1store/LOG.dat"), "first part;second part");
    ASSERT_EQ(Xel({"apdnload", "b.dat", "LOG", "1"}).status, 0);
    EXPECT_EQ(ReadFile("t1store/LOG.dat"), "second part");
}

TEST(TransferRoundTrip, FullTerminalRefusesTheDownloadWithCode13) {
    e2e::Sim sim("[terminal T1]\nlisten = 127.0.0.2\nmemory = 10\nstore = t1store\n");
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("fits.dat", DataFileContent(10 * 256)));
    ASSERT_TRUE(WriteFile("toobig.dat", DataFileContent(10 * 256 + 1)));
    e2e::Result refused = Xel({"apdnload", "toobig.dat", "BIG"});
    EXPECT_EQ(refused.status, 13);
    EXPECT_EQ(refused.out, "Fehler bei der Ausfuehrung:13\n");
    EXPECT_FALSE(PathExists("t1store/BIG.dat"));
    EXPECT_EQ(Xel({"apdnload", "fits.dat", "FITS"}).status, 0);
}

TEST(TransferLarge, SixteenMebibyteFilesArriveIdentical) {
    // Programs in a program memory of their own, so their size is not capped
    // by the data memory; the operating-system image is never counted.
    e2e::Sim sim(std::string(kConfig) + "programs = separate\n");
    ASSERT_TRUE(sim.ready());
    std::string image = Content(16u << 20, 11);
    for (char& c : image) {
        if (c == '.') c = ',';  // the end byte of programs and images
    }
    ASSERT_TRUE(WriteFile("system.img", image));
    e2e::Result os = Xel({"apsysdnl", "system.img"});
    ASSERT_EQ(os.status, 0) << os.out;
    EXPECT_TRUE(ReadFile("t1store/system.os") == image) << "stored image differs";

    // A 16 MiB program under a name longer than 8 characters.
    std::string program = Content(16u << 20, 13);
    for (char& c : program) {
        if (c == '.') c = ',';
    }
    ASSERT_TRUE(WriteFile("PROGRAM1.BIN", program));
    e2e::Result prg = Xel({"apdnp00b", "PROGRAM1.BIN"});
    ASSERT_EQ(prg.status, 0) << prg.out;
    EXPECT_TRUE(ReadFile("t1store/PROGRAM1.prg") == program) << "stored program differs";
}

TEST(TransferLarge, CountedProgramsAreRefusedWhenTheMemoryIsFull) {
    e2e::Sim sim("[terminal T1]\nlisten = 127.0.0.2\nmemory = 4\nstore = t1store\n");
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("BIGPROG", std::string(5 * 256, 'p')));
    EXPECT_EQ(Xel({"apdnp00b", "BIGPROG"}).status, 97);
}

TEST(TransferFaults, FailedUploadLeavesTheHostFileAsItWas) {
    // The reset unanswered, the connection lost at block 3, the terminal
    // file gone (a finished upload run again): last night's bookings stay.
    e2e::Sim sim(std::string(kConfig) + "fault = uploadreset#1 silence\nfault = upload#3 close\n");
    ASSERT_TRUE(sim.ready());
    ::mkdir("t1store", 0777);
    ASSERT_TRUE(WriteFile("t1store/DATEN.dat", DataFileContent(5 * 1792 + 10)));
    for (auto [file, status] : {std::pair{"DATEN", 16}, {"DATEN", 16}, {"NICHTDA", 96}}) {
        ASSERT_TRUE(WriteFile("up.dat", "last night's bookings"));
        e2e::Result up = Xel({"apupload", "up.dat", file, "1"}, {{"XELBDE_TIMEOUT=1"}, "", false});
        EXPECT_EQ(up.status, status) << up.out;
        EXPECT_EQ(ReadFile("up.dat"), "last night's bookings");
        EXPECT_FALSE(PathExists(".up.dat.part"));
    }
    EXPECT_TRUE(PathExists("t1store/DATEN.dat")) << "no acknowledgement, nothing deleted";
    EXPECT_EQ(Xel({"apupload", "new.dat", "NICHTDA"}).status, 96);
    EXPECT_FALSE(PathExists("new.dat")) << "an absent host file stays absent";
}

TEST(TransferFaults, FinalAcknowledgementUnansweredEndsAs00AndRefusedAsItsStatus) {
    // Twice the terminal takes the acknowledgement and acts on it, but never
    // answers; then it answers "42" with 99 and keeps its file.
    e2e::Sim sim(std::string(kConfig) + "fault = ack#1 silence for=2\nfault = ack#3 status=99\n");
    ASSERT_TRUE(sim.ready());
    std::string data = DataFileContent(3 * 1792 + 5);
    ::mkdir("t1store", 0777);
    for (auto [flag, status] : {std::pair{"0", 0}, {"1", 0}, {"1", 99}}) {
        ASSERT_TRUE(WriteFile("t1store/DATEN.dat", data));
        e2e::Result up = e2e::Xelcmd({kTerminal, "apupload", "up.dat", "DATEN", flag}, {{"XELBDE_TIMEOUT=1"}, "", false});
        EXPECT_EQ(up.status, status) << flag << ": " << up.out;
        EXPECT_TRUE(ReadFile("up.dat") == data) << flag;
        EXPECT_EQ(PathExists("t1store/DATEN.dat"), flag[0] == '0' || status != 0) << "deleted only on \"42\" and 00";
    }
    EXPECT_NE(ReadFile("xelbde.log").find("Datei DATEN nicht geloescht (Status 99)"), std::string::npos);
}

TEST(TransferFaults, StatusThatOnlyReadsAsZeroIsNoSuccess) {
    e2e::Sim sim(std::string(kConfig) +
                 "fault = download#1 status=0A\nfault = delete#1 status=_0\nfault = QSETCLOCK#1 status=0X\n"
                 "fault = QUPLRDRTB#1 status=+0\nfault = QMU#1 status=0_\n");
    ASSERT_TRUE(sim.ready());
    ::mkdir("t1store", 0777);
    ASSERT_TRUE(WriteFile("t1store/KEEP.dat", "kept"));
    ASSERT_TRUE(WriteFile("big.dat", DataFileContent(5000)));
    for (const std::vector<std::string>& words : {std::vector<std::string>{"apdnload", "big.dat", "BIG"},
                                                  {"apdel00b", "KEEP"}, {"apscl00b", "120000010120"},
                                                  {"aprdrtyp", "r.bin"}, {"apdsppge", "0001", "00", "p.bin"}}) {
        EXPECT_EQ(Xel(words).status, 16) << words[0];
    }
    EXPECT_FALSE(PathExists("t1store/BIG.dat"));
    EXPECT_EQ(ReadFile("t1store/KEEP.dat"), "kept");
    EXPECT_FALSE(PathExists("r.bin") || PathExists("p.bin"));
    EXPECT_NE(ReadFile("xelbde.log").find(";StatusCode;0001;0016;00000;Unbekannter Status '0A' (0x30 0x41);"),
              std::string::npos);
}

TEST(TransferFaults, SourcesAndLogsThatAreNoRegularFilesEndAtOnce) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(::mkfifo("fifo", 0600), 0);
    struct Case {
        std::vector<std::string> words;
        std::string env;
        int status;
    };
    const Case cases[] = {
        {{"apdnp00b", "fifo"}, "", 11},
        {{"apsysdnl", "fifo"}, "", 11},
        {{"apsysdnl", "/dev/zero"}, "", 11},
        {{"apdnload", "fifo", "DATEN"}, "", 10},
        {{"apdsplog", "*ALL", "out.txt"}, "DEBUG_FILE=fifo", 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {kTerminal};
        words.insert(words.end(), c.words.begin(), c.words.end());
        e2e::RunOptions options;
        if (!c.env.empty()) options.env = {c.env};
        e2e::Result r = e2e::Xelcmd(words, options);
        EXPECT_EQ(r.status, c.status) << c.words[0] << " " << c.words[1] << ": " << r.out;
    }
}

// A signal in the middle of a transfer: the call ends through its failure
// path and writes its record; the program ends with 128 + the signal.
TEST(TransferInterrupted, UploadLeavesNoFileAndIsResetOnSigterm) {
    e2e::Sim sim(std::string(kConfig) + "fault = upload#4 delay=1500\n");
    ASSERT_TRUE(sim.ready());
    std::string data = DataFileContent(6 * 1792 + 100);
    ::mkdir("t1store", 0777);
    ASSERT_TRUE(WriteFile("t1store/DATEN.dat", data));
    e2e::SignalWhen signal{[] {  // the reservation for block 4 is in place: its request is out
        struct stat st {};
        return ::stat(".up.dat.part", &st) == 0 && st.st_size >= 4 * 1792;
    }};
    e2e::Result up = Xel({"apupload", "up.dat", "DATEN", "1"}, {{"DEBUG_LEVEL=0"}, "", false}, signal);
    EXPECT_EQ(up.status, 128 + SIGTERM) << up.out;
    EXPECT_FALSE(PathExists("up.dat") || PathExists(".up.dat.part"));
    EXPECT_TRUE(PathExists("t1store/DATEN.dat"));
    EXPECT_NE(ReadFile("xelbde.log").find(";xelbde;APUPL00B;0100;0016;"), std::string::npos) << ReadFile("xelbde.log");
    sim.Stop();  // the failure reset went out behind the delayed reply: let bdesim take it in
    EXPECT_EQ(e2e::TraceFrames(sim.trace(), "T1", '>', "uploadreset").size(), 2u) << "the start and the failure reset";
}

TEST(TransferInterrupted, DownloadStopsAndWritesItsRecordOnSigint) {
    e2e::Sim sim(std::string(kConfig) + "fault = download#3 delay=1500\n");
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("big.dat", DataFileContent(8 * 1792)));
    e2e::SignalWhen signal{[&sim] { return e2e::TraceFrames(sim.trace(), "T1", '>', "download").size() >= 3; },
                           SIGINT};
    e2e::Result down = Xel({"apdnload", "big.dat", "BIG"}, {{"DEBUG_LEVEL=0"}, "", false}, signal);
    EXPECT_EQ(down.status, 128 + SIGINT) << down.out;
    EXPECT_NE(ReadFile("xelbde.log").find(";xelbde;APDNLOAD;0100;0016;"), std::string::npos) << ReadFile("xelbde.log");
    EXPECT_EQ(e2e::TraceFrames(sim.trace(), "T1", '>', "download").size(), 3u) << "no block after the signal";
}

TEST(TransferFaults, MissingTerminalFileGivesTheTerminalsStatus) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    e2e::Result up = Xel({"apupload", "up.dat", "NICHTDA"});
    EXPECT_EQ(up.status, 96);
    EXPECT_EQ(up.out, "Fehler bei der Ausfuehrung:96\n");
}

// ---------------------------------------------------- directory and delete --

TEST(DirectoryAndDelete, DirectoryListsTheStoredFileAndDeleteRemovesIt) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("d.dat", DataFileContent(1000)));
    ASSERT_EQ(Xel({"apdnload", "d.dat", "DATEN1"}).status, 0);

    ASSERT_EQ(Xel({"apdir00b", "dir.bin"}).status, 0);
    std::string dir = ReadFile("dir.bin");
    ASSERT_EQ(dir.size(), 1792u);
    EXPECT_EQ(dir.substr(93 - 81, 4), "9999");
    EXPECT_EQ(dir.substr(109 - 81, 12), "   4DATEN1  ") << "1000 bytes take 4 units of 256";

    e2e::Result shown = Xel({"apdir00b"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("DATEN1"), std::string::npos) << "the directory is shown";
    EXPECT_FALSE(PathExists("TMPFILE"));

    EXPECT_EQ(Xel({"apdel00b", "DATEN1"}).status, 0);
    EXPECT_FALSE(PathExists("t1store/DATEN1.dat"));
    EXPECT_EQ(Xel({"apdel00b", "DATEN1"}).status, 96) << "already gone";
}

// ------------------------------------------------------------- memory page --

// Page byte i of segment 0x1A2B, page 5 as bdesim computes it.
unsigned PageByte(int i) { return (i + 17 * 5 + 31 * 0x2B + 7 * 0x1A) % 256; }

TEST(DirectoryAndDelete, DataFilesWhoseNamesBeginWithQMUAreNoPageRequests) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    std::string data = DataFileContent(2000);
    ASSERT_TRUE(WriteFile("q.dat", data));
    ASSERT_EQ(Xel({"apdnload", "q.dat", "QMU12345"}).status, 0);
    e2e::Result up = Xel({"apupload", "up.dat", "QMU12345", "0"});
    EXPECT_EQ(up.status, 0) << up.out;
    EXPECT_TRUE(ReadFile("up.dat") == data);
    EXPECT_EQ(Xel({"apdel00b", "QMU12345"}).status, 0);
    EXPECT_FALSE(PathExists("t1store/QMU12345.dat"));
    // A page whose offset ends in D still is a page.
    EXPECT_EQ(Xel({"apdsppge", "1A2B", "0D", "page.bin"}).status, 0);
    EXPECT_EQ(ReadFile("page.bin").size(), 256u);
}

TEST(DirectoryAndDelete, ThirtyTwoScreenResultsInOneDirectoryEachShowTheirOwn) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    const std::vector<std::string> commands[] = {{"apdir00b"}, {"aprdrtyp"}, {"apdsppge", "0001", "00"},
                                                 {"apdsplog", "*ALL"}};
    std::vector<e2e::Result> results(32);
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < results.size(); ++i) {
        runs.emplace_back([&, i] { results[i] = Xel(commands[i % 4], {{"DEBUG_LEVEL=0"}, "", false}); });
    }
    for (std::thread& run : runs) run.join();
    for (std::size_t i = 0; i < results.size(); ++i) {
        const e2e::Result& r = results[i];
        EXPECT_EQ(r.status, 0) << commands[i % 4][0] << ": " << r.out;
        // The directory and the reader table show 1792 raw bytes; the page and the listing some text.
        EXPECT_TRUE(i % 4 < 2 ? r.out.size() == 1792u : !r.out.empty()) << commands[i % 4][0] << ": " << r.out.size();
    }
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(PageEndToEnd, WithATargetTheFileHoldsThe256RawBytes) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    e2e::Result r = Xel({"apdsppge", "1A2B", "05", "page.bin"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");
    std::string page = ReadFile("page.bin");
    ASSERT_EQ(page.size(), 256u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(static_cast<unsigned char>(page[i]), PageByte(i)) << i;
}

TEST(PageEndToEnd, WithoutATargetThePageIsShown) {
    e2e::Sim sim(kConfig);
    ASSERT_TRUE(sim.ready());
    e2e::Result r = Xel({"apdsppge", "1A2B", "05"});
    ASSERT_EQ(r.status, 0) << r.out;
    std::string row = "1A2B: 500> ";
    std::string chars;
    for (int i = 0; i < 16; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X ", PageByte(i));
        if (i == 8) row += ' ';
        row += hex;
        unsigned char c = static_cast<unsigned char>(PageByte(i));
        chars += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
    }
    row += " |" + chars + "|\n";
    EXPECT_EQ(r.out.rfind("Segm:Offs  00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F\n\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(row), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1A2B: 5F0> "), std::string::npos);
    EXPECT_FALSE(PathExists("TMPFILE"));
}

}  // namespace
