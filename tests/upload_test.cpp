// SPDX-License-Identifier: MIT
// Upload, directory, delete and memory page against a scripted terminal:
// the request bytes, what lands in the host file on success and after each
// kind of failure, and when the failure reset goes out.
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/peer.h"
#include "tests/support/testing.h"
#include "xelbde/internal.h"
#include "xelbde/xelbde.h"

namespace {

using testing_support::LongReply;
using testing_support::PathExists;
using testing_support::PeerAction;
using testing_support::Put;
using testing_support::ReadFile;
using testing_support::ScriptedPeer;

constexpr char kEnd = '\xA6';

std::string Rc(const char* field) { return std::string(field, 2); }

std::string Content(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('A' + (i * 5 + i / 1792) % 26);
    return data;
}

bool IsReset(const std::string& r) { return r.substr(3, 9) == "QDIRINFOS" && r.substr(72, 8) == "GFCDNL50"; }
bool IsAcknowledgement(const std::string& r) { return !IsReset(r) && r.substr(49, 2) != "  "; }

// A terminal program serving one file for upload: "01" with 1792 bytes while
// more follow, then "00" with the rest and 0xA6. A fault can replace the
// answer to block n (counted from 1); watch sees every request first.
struct UploadTerminal {
    explicit UploadTerminal(std::string data, int faultBlock = 0, PeerAction fault = {}, const char* name = "T1",
                            std::function<void(const std::string&)> watch = {})
        : data_(std::move(data)), faultBlock_(faultBlock), fault_(std::move(fault)), watch_(std::move(watch)),
          peer([this](int, const std::string& request) { return Answer(request); }) {
        peer.Register(name);
    }

    PeerAction Answer(const std::string& request) {
        if (watch_) watch_(request);
        if (IsReset(request) || IsAcknowledgement(request)) return PeerAction::Reply(LongReply("00"));
        ++block_;
        if (block_ == faultBlock_) return fault_;
        std::size_t offset = static_cast<std::size_t>(block_ - 1) * 1792;
        std::string reply;
        if (offset + 1792 <= data_.size()) {
            reply = LongReply("01");
            Put(reply, 81, data_.substr(offset, 1792));
        } else {
            reply = LongReply("00");
            std::string rest = offset < data_.size() ? data_.substr(offset) : "";
            Put(reply, 81, rest + kEnd);
        }
        return PeerAction::Reply(reply);
    }

    std::string data_;
    int faultBlock_;
    PeerAction fault_;
    std::function<void(const std::string&)> watch_;
    int block_ = 0;
    ScriptedPeer peer;
};

std::string Blanks(std::size_t n) { return std::string(n, ' '); }

// The reset frame with the given block (blanks for none) marked by 0xA6.
void ExpectReset(const std::string& frame, std::string previous) {
    ASSERT_TRUE(IsReset(frame));
    previous[0] = kEnd;
    EXPECT_EQ(frame.substr(81, 1792), previous);
    EXPECT_EQ(frame.substr(49, 2), "  ");
}

TEST(UploadFile, EmptyTerminalFileGivesEmptyHostFileAndAcknowledgement) {
    UploadTerminal terminal("");
    char rc[3] = {};
    APUPL00B("T1", "up.dat", "LEER", "0", rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_TRUE(PathExists("up.dat"));
    EXPECT_EQ(ReadFile("up.dat"), "");
    auto requests = terminal.peer.requests();
    ASSERT_EQ(requests.size(), 3u);
    ExpectReset(requests[0], Blanks(1792));
    const std::string& block = requests[1];
    EXPECT_EQ(block.substr(3, 9), "LEER    D");
    EXPECT_EQ(block.substr(49, 2), "  ");
    EXPECT_EQ(block.substr(72, 8), "GFCUPL00");
    EXPECT_EQ(block.substr(81, 1792), Blanks(1792)) << "no previous block yet";

    const std::string& ack = requests[2];
    EXPECT_EQ(ack.substr(3, 9), "LEER    D");
    EXPECT_EQ(ack.substr(49, 2), "00");
    EXPECT_EQ(ack.substr(72, 8), "GFCUPL00");
    EXPECT_EQ(ack[81], kEnd) << "the acknowledgement is the terminal's reply sent back";
    EXPECT_EQ(ack.substr(1917, 2), "\xCA\xCE");
}

TEST(UploadFile, ExactlyOneFullBlockEchoesItInTheSecondRequest) {
    std::string data = Content(1792);
    UploadTerminal terminal(data);
    char rc[3] = {};
    APUPL00B("T1", "up.dat", "VOLL", "0", rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(ReadFile("up.dat"), data);
    auto requests = terminal.peer.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[2].substr(81, 1792), data) << "the previous block goes back as echo";
    EXPECT_TRUE(IsAcknowledgement(requests[3]));
}

TEST(UploadFile, SeveralBlocksArriveWholeAndTheDeleteFlagPicksTheAcknowledgement) {
    std::string data = Content(3 * 1792 + 777);
    for (const char* flag : {"1", "0", "x"}) {
        SCOPED_TRACE(flag);
        std::string name = std::string("T") + flag;
        UploadTerminal terminal(data, 0, {}, name.c_str());
        char rc[3] = {};
        APUPL00B(name.c_str(), "up.dat", "DATEN123456", flag, rc);
        EXPECT_EQ(Rc(rc), "00");
        EXPECT_EQ(ReadFile("up.dat"), data);
        auto requests = terminal.peer.requests();
        ASSERT_EQ(requests.size(), 1u + 4u + 1u);
        EXPECT_EQ(requests[1].substr(3, 9), "DATEN123D") << "a long name keeps its first 8 bytes";
        EXPECT_EQ(requests[4].substr(81, 1792), data.substr(2 * 1792, 1792));
        EXPECT_EQ(requests[5].substr(49, 2), flag[0] == '1' ? "42" : "00");
    }
}

TEST(UploadFaults, ContradictoryRepliesGive19AndLeaveTheHostFileAsItWas) {
    std::string data = Content(3 * 1792);
    std::string noEnd = LongReply("00");  // last block without its end byte
    Put(noEnd, 81, Content(1792));
    std::string endButMore = LongReply("01");  // more to come, yet an end byte
    Put(endButMore, 81, std::string("abc") + kEnd);
    struct Case {
        int block;
        std::string reply;
    };
    for (const Case& c : {Case{2, noEnd}, Case{1, endButMore}}) {
        SCOPED_TRACE(c.block);
        std::string name = std::string("T").append(std::to_string(c.block));
        UploadTerminal terminal(data, c.block, PeerAction::Reply(c.reply), name.c_str());
        ASSERT_TRUE(testing_support::WriteFile("up.dat", "last night's bookings"));
        char rc[3] = {};
        APUPL00B(name.c_str(), "up.dat", "DATEN", "1", rc);
        EXPECT_EQ(Rc(rc), "19");
        EXPECT_EQ(ReadFile("up.dat"), "last night's bookings");
        EXPECT_FALSE(PathExists(".up.dat.part"));
        auto requests = terminal.peer.requests();
        ASSERT_EQ(requests.size(), 1u + static_cast<std::size_t>(c.block) + 1u);
        ExpectReset(requests.back(), c.block == 1 ? Blanks(1792) : data.substr(0, 1792));
        for (const std::string& r : requests) EXPECT_FALSE(IsAcknowledgement(r)) << "no acknowledgement";
    }
}

TEST(UploadFaults, StatusThatOnlyReadsAsZeroEndsAs19WithoutTakingABlock) {
    std::string data = Content(2 * 1792);
    int terminal = 0;
    for (const char* status : {"0A", " 0", "0 ", "+0"}) {
        SCOPED_TRACE(std::string("status '") + status + "'");
        std::string name = std::string("T").append(std::to_string(++terminal));
        UploadTerminal peer(data, 1, PeerAction::Reply(LongReply(status)), name.c_str());
        char rc[3] = {};
        APUPL00B(name.c_str(), "up.dat", "DATEN", "1", rc);
        EXPECT_EQ(Rc(rc), "19");
        EXPECT_EQ(ReadFile("up.dat"), "");
        auto requests = peer.peer.requests();
        ASSERT_EQ(requests.size(), 3u) << "reset, the block request, the failure reset";
        ExpectReset(requests.back(), Blanks(1792));
    }
}

TEST(UploadFaults, SecondUploadIntoTheSameFileWaitsUntilTheFirstIsDone) {
    // A holds up.dat from before its first block. B starts then; A's second
    // block is held back until B reaches its terminal (or a second passed).
    // When A acknowledges with "42", up.dat must hold A's data; B's data
    // replace them only after that.
    const std::string dataA = Content(1792 + 300);
    const std::string dataB = std::string(2500, 'b');
    std::mutex mutex;
    std::condition_variable changed;
    bool aHolds = false, bStarted = false;
    std::string fileAtAck = "(no acknowledgement)";
    UploadTerminal b(dataB, 0, {}, "TB", [&](const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        bStarted = true;
        changed.notify_all();
    });
    int aBlocks = 0;
    UploadTerminal a(dataA, 0, {}, "TA", [&](const std::string& request) {
        std::unique_lock<std::mutex> lock(mutex);
        if (IsAcknowledgement(request)) {
            fileAtAck = ReadFile("up.dat");
        } else if (!IsReset(request) && ++aBlocks == 1) {
            aHolds = true;
            changed.notify_all();
        } else if (aBlocks == 2) {
            changed.wait_for(lock, std::chrono::seconds(1), [&] { return bStarted; });
        }
    });
    char rcA[3] = {}, rcB[3] = {};
    std::thread first([&] { APUPL00B("TA", "up.dat", "FILEA", "1", rcA); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return aHolds; }));
    }
    std::thread second([&] { APUPL00B("TB", "up.dat", "FILEB", "1", rcB); });
    first.join();
    second.join();
    EXPECT_EQ(Rc(rcA), "00");
    EXPECT_TRUE(fileAtAck == dataA) << "A's \"42\" went out while up.dat held " << fileAtAck.size() << " other bytes";
    EXPECT_EQ(Rc(rcB), "00");
    EXPECT_TRUE(ReadFile("up.dat") == dataB);
}

TEST(UploadFaults, ConnectionClosedAtBlockThreeGives16AndMakesNoFile) {
    std::string data = Content(5 * 1792);
    UploadTerminal terminal(data, 3, PeerAction::Close());
    char rc[3] = {};
    APUPL00B("T1", "up.dat", "DATEN", "1", rc);
    EXPECT_EQ(Rc(rc), "16");
    EXPECT_FALSE(PathExists("up.dat"));
}

TEST(UploadFaults, OnlyStatusesBelow90GetTheFailureReset) {
    std::string data = Content(3 * 1792);
    for (const char* status : {"42", "89", "90", "99"}) {
        SCOPED_TRACE(status);
        std::string name = std::string("T") + status;
        UploadTerminal terminal(data, 2, PeerAction::Reply(LongReply(status)), name.c_str());
        char rc[3] = {};
        APUPL00B(name.c_str(), "up.dat", "DATEN", "0", rc);
        EXPECT_EQ(Rc(rc), status);
        EXPECT_FALSE(PathExists("up.dat"));
        auto requests = terminal.peer.requests();
        bool low = status[0] < '9';
        ASSERT_EQ(requests.size(), low ? 4u : 3u);
        if (low) ExpectReset(requests.back(), data.substr(0, 1792));
    }
}

TEST(UploadFaults, UncreatableHostFileGives14AndNothingIsSent) {
    // A FIFO (as a device node) is no host file: it is neither removed nor
    // written into. The new file beside the target is never made through a
    // link someone put in its place.
    ASSERT_EQ(::mkfifo("fifo", 0600), 0);
    ASSERT_TRUE(testing_support::WriteFile("victim", "keep"));
    ASSERT_EQ(::symlink("victim", ".link.dat.part"), 0);
    int terminalNumber = 0;
    for (const char* target : {"no-such-dir/up.dat", "fifo", "link.dat"}) {
        const std::string name = std::string("T").append(std::to_string(++terminalNumber));
        UploadTerminal terminal(Content(100), 0, {}, name.c_str());
        char rc[3] = {};
        APUPL00B(name.c_str(), target, "DATEN", "1", rc);
        EXPECT_EQ(Rc(rc), "14") << target;
        EXPECT_TRUE(terminal.peer.requests().empty()) << target;
    }
    struct stat st {};
    EXPECT_TRUE(::stat("fifo", &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_EQ(ReadFile("victim"), "keep");
}

TEST(UploadFaults, NewFileLeftByAKilledUploadIsReplaced) {
    ASSERT_TRUE(testing_support::WriteFile(".up.dat.part", std::string(3000, ' ')));
    std::string data = Content(2000);
    UploadTerminal terminal(data);
    char rc[3] = {};
    APUPL00B("T1", "up.dat", "DATEN", "1", rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(ReadFile("up.dat"), data);
    EXPECT_FALSE(PathExists(".up.dat.part"));
}

TEST(UploadFaults, FailedResetExchangeGives16AndLeavesThePreviousFile) {
    ScriptedPeer peer([](int, const std::string&) { return PeerAction::Close(); });
    peer.Register("T1");
    ASSERT_TRUE(testing_support::WriteFile("up.dat", "old content"));
    char rc[3] = {};
    APUPL00B("T1", "up.dat", "DATEN", "1", rc);
    EXPECT_EQ(Rc(rc), "16");
    EXPECT_EQ(ReadFile("up.dat"), "old content");
}

TEST(UploadFaults, HostFileThatCannotGrowGives15AndIsRemoved) {
    // A file size limit lets two blocks and their reservations in; the third
    // reservation fails. The host file is removed, nothing more is sent.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {2 * 1792 + 100, 2 * 1792 + 100};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::string data = Content(5 * 1792);
    UploadTerminal terminal(data);
    char rc[3] = {};
    APUPL00B("T1", "up.dat", "DATEN", "1", rc);
    EXPECT_EQ(Rc(rc), "15");
    EXPECT_FALSE(PathExists("up.dat"));
    auto requests = terminal.peer.requests();
    ASSERT_EQ(requests.size(), 3u) << "reset and two blocks, no failure reset after a failed reservation";
    for (const std::string& r : requests) EXPECT_FALSE(IsAcknowledgement(r));
}

TEST(UploadFaults, TenThousandthFullBlockGives15AndMakesNoFile) {
    std::string block = LongReply("01");
    Put(block, 81, Content(1792));
    int blocks = 0;
    ScriptedPeer peer([&](int, const std::string& request) {
        if (!IsReset(request)) ++blocks;
        return PeerAction::Reply(block);
    });
    peer.Register("T1");
    char rc[3] = {};
    APUPL00B("T1", "up.dat", "ENDLOS", "1", rc);
    EXPECT_EQ(Rc(rc), "15");
    EXPECT_EQ(blocks, 10000);
    EXPECT_FALSE(PathExists("up.dat"));
    ASSERT_TRUE(peer.WaitForRequests(10002));
    ExpectReset(peer.requests().back(), Content(1792));
}

TEST(TerminalFileName, PlacedUpToAZeroOrAsEightBytes) {
    struct Case {
        const char* name;
        std::string field;
    };
    const char padded[] = {'A', 'B', ' ', ' ', ' ', ' ', ' ', ' ', 'Z', 'Z', 0};
    const char zero[] = {'A', 'B', 'C', 0, 'X', 'Y', 'Z', 'W', 0};
    for (const Case& c : {Case{padded, "AB      "}, Case{zero, "ABC     "}, Case{"ABCDEFGHIJ", "ABCDEFGH"},
                          Case{"", "        "}}) {
        xelbde::LongFrame frame;
        frame.bytes.fill('#');
        frame.SetObject(c.name, 'D');
        EXPECT_EQ(std::string(frame.text(3), 8), c.field);
        EXPECT_EQ(frame.bytes[2], '#');
        EXPECT_EQ(frame.bytes[11], 'D');
        EXPECT_EQ(frame.bytes[12], '#');
    }
}

// ------------------------------------------------------------------ delete --

TEST(DeleteFile, RequestCarriesNameTypeAndDeleteCode) {
    for (const char* status : {"00", "07"}) {
        ScriptedPeer peer([status](int, const std::string&) { return PeerAction::Reply(LongReply(status)); });
        std::string name = std::string("T") + status;
        peer.Register(name.c_str());
        char rc[3] = {};
        APDEL00B(name.c_str(), "DATEN1", rc);
        EXPECT_EQ(Rc(rc), status);
        auto requests = peer.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].substr(3, 9), "DATEN1  D");
        EXPECT_EQ(requests[0].substr(49, 2), "42");
        EXPECT_EQ(requests[0].substr(72, 8), "GFCUPL00");
    }
}

// --------------------------------------------------------------- directory --

TEST(Directory, WritesTheDataAreaUnderTheNameBeforeABlank) {
    std::string reply = LongReply("00");
    std::string area = Content(1792);
    Put(reply, 81, area);
    ScriptedPeer peer([&reply](int, const std::string&) { return PeerAction::Reply(reply); });
    peer.Register("T1");
    char rc[3] = {};
    APDIR00B("T1", "dir.out weiter", rc);
    EXPECT_EQ(Rc(rc), "00");
    EXPECT_EQ(ReadFile("dir.out"), area);
    EXPECT_FALSE(PathExists("dir.out weiter"));
    auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].substr(3, 9), "QDIRINFOS");
    EXPECT_EQ(requests[0].substr(72, 8), "GFCUPL00");

    APDIR00B("T1", "no-such-dir/dir.out", rc);
    EXPECT_EQ(Rc(rc), "17");
}

TEST(Directory, StatusOtherThan00WritesNoFile) {
    ScriptedPeer peer([](int, const std::string&) { return PeerAction::Reply(LongReply("12")); });
    peer.Register("T1");
    char rc[3] = {};
    APDIR00B("T1", "dir.out", rc);
    EXPECT_EQ(Rc(rc), "12");
    EXPECT_FALSE(PathExists("dir.out"));
}

// ------------------------------------------------------------- memory page --

std::string HexPage(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string PageBytes() {
    std::string page(256, '\0');
    for (int i = 0; i < 256; ++i) page[i] = static_cast<char>(255 - i);
    return page;
}

TEST(MemoryPage, CommandFieldFromSegmentAndOffset) {
    std::string reply = LongReply("00");
    Put(reply, 81, HexPage(PageBytes()));
    ScriptedPeer peer([&reply](int, const std::string&) { return PeerAction::Reply(reply); });
    peer.Register("T1");
    char rc[3] = {};
    APDSPPGE("T1", "1A2B", "03", "page1.bin", rc);
    EXPECT_EQ(Rc(rc), "00");
    APDSPPGE("T1", "12", "03", "page2.bin", rc);
    EXPECT_EQ(Rc(rc), "00");
    APDSPPGE("T1", "1A2B3C", "0345", "page3.bin", rc);
    EXPECT_EQ(Rc(rc), "00");
    auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].substr(3, 9), "QMU1A2B03");
    EXPECT_EQ(requests[1].substr(3, 9), std::string("QMU1203\0\0", 9)) << "a short text leaves zero bytes";
    EXPECT_EQ(requests[2].substr(3, 9), "QMU1A2B03") << "segment and offset cut to 4 and 2";
    EXPECT_EQ(requests[0].substr(72, 8), "GFCUPL00");
    EXPECT_EQ(requests[0].substr(49, 2), "  ");
}

TEST(MemoryPage, HexTextBecomesExactly256Bytes) {
    std::string reply = LongReply("00");
    std::string hex = HexPage(PageBytes());
    for (std::size_t i = 1; i < hex.size(); i += 4) hex[i] = static_cast<char>(std::toupper(hex[i]));
    Put(reply, 81, hex);
    ASSERT_EQ(reply.substr(81, 2), "fF");
    ScriptedPeer peer([&reply](int, const std::string&) { return PeerAction::Reply(reply); });
    peer.Register("T1");
    char rc[3] = {};
    APDSPPGE("T1", "0001", "00", "page.bin", rc);
    EXPECT_EQ(Rc(rc), "00");
    std::string page = ReadFile("page.bin");
    ASSERT_EQ(page.size(), 256u);
    EXPECT_EQ(static_cast<unsigned char>(page[0]), 0xFF);
    EXPECT_EQ(page, PageBytes());
}

TEST(MemoryPage, PairThatIsNotTwoHexDigitsGives18AndNoFile) {
    std::string good = HexPage(PageBytes());
    std::vector<std::string> bad;
    for (const char* pair : {"  ", " f", "f ", "-1", "0x", "g0"}) {
        std::string hex = good;
        hex.replace(2 * 100, 2, pair);
        bad.push_back(hex);
    }
    bad.push_back(good.substr(0, 510));  // the last pair blank
    int terminal = 0;
    for (const std::string& hex : bad) {
        std::string reply = LongReply("00");
        Put(reply, 81, hex);
        ScriptedPeer peer([&reply](int, const std::string&) { return PeerAction::Reply(reply); });
        std::string name = std::string("T").append(std::to_string(++terminal));
        peer.Register(name.c_str());
        char rc[3] = {};
        APDSPPGE(name.c_str(), "0001", "00", "page.bin", rc);
        EXPECT_EQ(Rc(rc), "18") << hex.substr(200, 2);
        EXPECT_FALSE(PathExists("page.bin"));
    }
}

TEST(MemoryPage, SegmentTextIsTracedBeforeTheRegistration) {
    ::setenv("DEBUG_LEVEL", "2", 1);
    char rc[3] = {};
    APDSPPGE("T9", "1A2B", "03", "page.bin", rc);
    EXPECT_EQ(Rc(rc), "33");
    std::string log = ReadFile("xelbde.log");
    std::size_t trace = log.find("*** Upload-Datei (Segment/Offset***");
    ASSERT_NE(trace, std::string::npos);
    EXPECT_NE(log.find("QMU1A2B03", trace), std::string::npos);
    EXPECT_LT(trace, log.find("*** RegisterApiFunction ***"));
    EXPECT_NE(log.find("Terminal=T9 Segment=1A2B Offset=03 Ausgabedatei=page.bin"), std::string::npos);
}

}  // namespace
