// SPDX-License-Identifier: MIT
// The real xelcmd against bdesim: the two sides' frame code checking each
// other on a transfer round trip, a dial-up through an adapter, the clock,
// a reply time-out, and files of every kind.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"

namespace {

using e2e::Sim;
using e2e::TraceFrames;
using e2e::Xelcmd;
using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

std::string Pattern(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('0' + i % 43);
    return s;
}

TEST(SimWithXelcmd, DownloadAndUploadRoundTripFramesOnTheWire) {
    Sim sim("[terminal T1]\nlisten = 127.0.0.2\nstore = store\n");
    ASSERT_TRUE(sim.ready());
    std::string content = Pattern(3000);
    ASSERT_TRUE(WriteFile("up.txt", content));

    e2e::Result down = Xelcmd({"127.0.0.2", "apdnload", "up.txt", "DATEN1", "1"});
    EXPECT_EQ(down.status, 0) << down.out;
    EXPECT_EQ(ReadFile("store/DATEN1.dat"), content);

    e2e::Result up = Xelcmd({"127.0.0.2", "apupload", "back.txt", "DATEN1", "1"});
    EXPECT_EQ(up.status, 0) << up.out;
    EXPECT_EQ(ReadFile("back.txt"), content);
    EXPECT_FALSE(PathExists("store/DATEN1.dat"));
    ASSERT_EQ(sim.Stop(), 0);

    std::string trace = sim.trace();
    std::vector<std::string> blocks = TraceFrames(trace, "T1", '>', "download");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].substr(3, 9), "DATEN1  D");
    EXPECT_EQ(blocks[0].substr(49, 2), "42");
    EXPECT_EQ(blocks[0].substr(72, 8), "GFCDNL50");
    EXPECT_EQ(blocks[0].substr(81, 1792), content.substr(0, 1792));
    EXPECT_EQ(blocks[1].substr(49, 2), "  ");
    EXPECT_EQ(blocks[1].substr(81, 1208), content.substr(1792));
    EXPECT_EQ(blocks[1][1289], '\xA6');
    EXPECT_EQ(blocks[1].substr(1290, 1873 - 1290), std::string(1873 - 1290, ' '));
    EXPECT_EQ(TraceFrames(trace, "T1", '>', "QDIRINFOS").size(), 1u);  // memory check

    std::vector<std::string> reset = TraceFrames(trace, "T1", '>', "uploadreset");
    ASSERT_EQ(reset.size(), 1u);
    EXPECT_EQ(reset[0][81], '\xA6');
    EXPECT_EQ(TraceFrames(trace, "T1", '>', "upload").size(), 2u);
    std::vector<std::string> ack = TraceFrames(trace, "T1", '>', "ack");
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].substr(49, 2), "42");
    EXPECT_EQ(trace.find("does not echo"), std::string::npos);
}

TEST(SimWithXelcmd, DialUpThroughAnAdapter) {
    ASSERT_TRUE(WriteFile("terminal.ini",
                          "[FERN1]\r\nKLASSE = ISDN\r\nVORWAHL = 0123\r\nNUMMER = 4567\r\nDURCHWAHL = 89\r\n"
                          "UEBERHANG = 45\r\n[ROUTER1]\r\nKLASSE = ADPT\r\nIP = 127.0.0.5\r\nNUMMER = 555\r\n"));
    Sim sim("[terminal F1]\nnumber = 0123456789\nstatus = A2D8\n[adapter A1]\nlisten = 127.0.0.5\n");
    ASSERT_TRUE(sim.ready());
    e2e::Result r = Xelcmd({"FERN1", "aptyp01b"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "4630-017");
    ASSERT_EQ(sim.Stop(), 0);

    std::string trace = sim.trace();
    std::vector<std::string> got = TraceFrames(trace, "A1", '>');
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], e2e::ShortRequest("ST"));
    EXPECT_EQ(got[1], e2e::ShortRequest("ID", "N=555"));
    EXPECT_EQ(got[2], e2e::ShortRequest("DN", "N=0123456789 T=045"));
    EXPECT_EQ(got[3], e2e::ShortRequest("CL"));
    std::vector<std::string> ident = TraceFrames(trace, "F1", '>', "QSTISDNID");
    ASSERT_EQ(ident.size(), 1u);
    std::string expected = e2e::LongRequest("QSTISDNID");
    expected.replace(81, 5, "FERN1");
    expected.replace(113, 2, "89");
    expected.replace(145, 3, "555");
    EXPECT_EQ(ident[0], expected);
    EXPECT_EQ(e2e::TraceCounter(trace, "F1", "status"), 1);
}

TEST(SimWithXelcmd, SetClockIsShownByTheNextClockRead) {
    Sim sim("[terminal T1]\nlisten = 127.0.0.2\nclock = 000101000000\n");
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(Xelcmd({"127.0.0.2", "apscl00b", "235959311207"}).status, 0);
    e2e::Result r = Xelcmd({"127.0.0.2", "aprtvclk"});
    EXPECT_EQ(r.status, 0);
    // The clock runs on from 31.12.2007 23:59:59.
    EXPECT_TRUE(r.out.rfind("DatumUhrzeit:071231235959,", 0) == 0 || r.out.rfind("DatumUhrzeit:0801010000", 0) == 0)
        << r.out;
    EXPECT_NE(r.out.find(", Datumsformat:1, Funkuhrstatus:N"), std::string::npos) << r.out;

    // A time the terminal rejects comes back as its status.
    e2e::Result bad = Xelcmd({"127.0.0.2", "apscl00b", "99XX99999999"});
    EXPECT_EQ(bad.status, 98);
    EXPECT_EQ(bad.out, "Fehler bei der Ausfuehrung:98\n");
}

TEST(SimWithXelcmd, SilentTerminalEndsWithTheTransactionFailure) {
    Sim sim("[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION silence\n");
    ASSERT_TRUE(sim.ready());
    e2e::RunOptions options;
    options.env = {"XELBDE_TIMEOUT=1"};
    e2e::Result r = Xelcmd({"127.0.0.2", "apdmtver"}, options);
    EXPECT_EQ(r.status, 16);
    EXPECT_EQ(r.out, "Fehler bei der Ausfuehrung:16\n");
}

TEST(SimWithXelcmd, FilesOfEveryKindNeverWait) {
    Sim sim("[terminal T1]\nlisten = 127.0.0.2\n");
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(::mkdir("ini", 0700) | ::mkfifo("ini/terminal.ini", 0600) | ::mkfifo("fifo", 0600), 0);
    const struct {
        std::vector<std::string> words;
        std::string env;
        int status;
        std::size_t shown;  // bytes on standard output
    } runs[] = {
        {{"127.0.0.2", "apdir00b", "/dev/null"}, "", 0, 0},
        {{"127.0.0.2", "aprdrtyp", "/dev/stdout"}, "", 0, 1792},
        {{"127.0.0.2", "apdir00b", "fifo"}, "", 17, 30},  // no reader: "Fehler bei der Ausfuehrung:17\n"
        {{"T1", "aptyp01b"}, "TERMINI=ini", 35, 30},      // as a terminal.ini that cannot be read
        {{"127.0.0.2", "aptyp01b"}, "DEBUG_FILE=/dev/null", 0, 8},
    };
    for (const auto& run : runs) {
        e2e::RunOptions options;
        if (!run.env.empty()) options.env = {run.env};
        e2e::Result r = Xelcmd(run.words, options);
        EXPECT_EQ(r.status, run.status) << run.words.back() << " " << run.env;
        EXPECT_EQ(r.out.size(), run.shown) << r.out;
    }
}

TEST(SimWithXelcmd, StopWhileWaitingForTheTmpfileTurnLeavesTheOtherRunsFileAlone) {
    Sim sim("[terminal T1]\nlisten = 127.0.0.2\n");
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("TMPFILE", "the other run's"));
    const int turn = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // the other run's turn
    ASSERT_EQ(::flock(turn, LOCK_EX), 0);
    // The first open in this directory from now on is xelcmd's of the
    // directory itself, made once it catches stop signals.
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, ".", IN_OPEN), 0);
    const auto waiting = [watch] {
        char events[4096];
        return ::read(watch, events, sizeof events) > 0;
    };
    e2e::Result r = Xelcmd({"127.0.0.2", "apdir00b"}, {}, {waiting, SIGTERM});
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.out, "Fehler bei der Ausfuehrung:16\n");  // the connect refused, nothing shown
    EXPECT_EQ(ReadFile("TMPFILE"), "the other run's");
    ::close(watch);
    ::close(turn);
}

}  // namespace
