// SPDX-License-Identifier: MIT
// Downloads against a scripted terminal: the bytes of every block, how the
// terminal's answers end a transfer, the memory check before a data file and
// how a failing host file ends the transfer.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/peer.h"
#include "tests/support/testing.h"
#include "xelbde/internal.h"
#include "xelbde/xelbde.h"

namespace {

using testing_support::LongReply;
using testing_support::PeerAction;
using testing_support::Put;
using testing_support::ScriptedPeer;
using testing_support::WriteFile;

constexpr char kProgramEnd = '\x2E';
constexpr char kFileEnd = '\xA6';

std::string Rc(const char* field) { return std::string(field, 2); }

// Deterministic file content that differs from blanks and end bytes.
std::string Content(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return data;
}

// A memory reply: total at 93, the given entries from 109 in steps of 16,
// then the letter X so the list ends.
std::string MemoryReply(const std::string& total, const std::vector<std::string>& entries) {
    std::string reply = LongReply("00");
    Put(reply, 93, total);
    std::size_t pos = 109;
    for (const std::string& e : entries) {
        Put(reply, pos, e);
        pos += 16;
    }
    Put(reply, pos, "X");
    return reply;
}

// A terminal that answers "01" to every block until one carries the end
// byte (that one gets "00"); a first "QDIRINFOS" gets memory.
struct Terminal {
    explicit Terminal(char endByte, std::string memory = MemoryReply("9999", {}), const char* name = "T1")
        : peer([endByte, memory](int, const std::string& request) {
              if (request.substr(3, 9) == "QDIRINFOS") return PeerAction::Reply(memory);
              bool last = request.find(endByte, 81) < 1873;
              return PeerAction::Reply(LongReply(last ? "00" : "01"));
          }) {
        peer.Register(name);
    }
    std::vector<std::string> blocks() const {
        std::vector<std::string> result;
        for (const std::string& r : peer.requests()) {
            if (r.substr(3, 9) != "QDIRINFOS") result.push_back(r);
        }
        return result;
    }
    ScriptedPeer peer;
};

// The data area as it must go out: data, the end byte when the block is
// short, blanks to the end.
void ExpectDataArea(const std::string& frame, const std::string& data, char endByte) {
    ASSERT_EQ(frame.size(), 1920u);
    EXPECT_EQ(frame.substr(81, data.size()), data);
    if (data.size() < 1792) {
        EXPECT_EQ(frame[81 + data.size()], endByte) << "end byte right after the data";
        std::size_t rest = 1792 - data.size() - 1;
        EXPECT_EQ(frame.substr(82 + data.size(), rest), std::string(rest, ' '));
    }
    EXPECT_EQ(frame.substr(1873, 44), std::string(44, ' '));
}

TEST(DownloadBlocks, FileOf1000BytesGoesInOneBlockWithEndByteAt1081) {
    Terminal terminal(kFileEnd);
    std::string data = Content(1000);
    ASSERT_TRUE(WriteFile("data.txt", data));
    char rc[3] = {};
    APDNLOAD("T1", "data.txt", "ABC", "1", rc);
    EXPECT_EQ(Rc(rc), "00");
    auto blocks = terminal.blocks();
    ASSERT_EQ(blocks.size(), 1u);
    const std::string& frame = blocks[0];
    EXPECT_EQ(frame.substr(3, 9), "ABC     D") << "3-character name padded with blanks";
    EXPECT_EQ(frame.substr(49, 2), "42");
    EXPECT_EQ(frame.substr(72, 8), "GFCDNL50");
    ExpectDataArea(frame, data, kFileEnd);
    EXPECT_EQ(static_cast<unsigned char>(frame[1081]), 0xA6);
}

TEST(DownloadBlocks, ExactlyOneFullBlockIsFollowedByABlockHoldingOnlyTheEndByte) {
    Terminal terminal(kProgramEnd);
    std::string data = Content(1792);
    // The host file is opened under the full name, the object gets 8 characters.
    ASSERT_TRUE(WriteFile("PROGRAMMNAME.BIN", data));
    char rc[3] = {};
    APDNP00B("T1", "PROGRAMMNAME.BIN", nullptr, nullptr, rc);
    EXPECT_EQ(Rc(rc), "00");
    auto blocks = terminal.blocks();
    ASSERT_EQ(blocks.size(), 2u);
    for (const std::string& frame : blocks) {
        EXPECT_EQ(frame.substr(3, 9), "PROGRAMMP");
        EXPECT_EQ(frame.substr(49, 2), "  ");
        EXPECT_EQ(frame.substr(72, 8), "GFCDNL00");
    }
    EXPECT_EQ(blocks[0].substr(81, 1792), data) << "a full block carries no end byte";
    ExpectDataArea(blocks[1], "", kProgramEnd);
}

TEST(DownloadBlocks, ThreeThousandBytesSplitAs1792And1208WithReplaceOnlyInBlockOne) {
    std::string data = Content(3000);
    ASSERT_TRUE(WriteFile("data.txt", data));
    for (const char* replace : {"1", "0"}) {
        SCOPED_TRACE(replace);
        std::string name = std::string("R") + replace;
        Terminal terminal(kFileEnd, MemoryReply("9999", {}), name.c_str());
        char rc[3] = {};
        APDNLOAD(name.c_str(), "data.txt", "DATENFILE123", replace, rc);
        EXPECT_EQ(Rc(rc), "00");
        auto blocks = terminal.blocks();
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(blocks[0].substr(3, 9), "DATENFILD") << "a 12-character name keeps its first 8";
        EXPECT_EQ(blocks[0].substr(81, 1792), data.substr(0, 1792));
        ExpectDataArea(blocks[1], data.substr(1792), kFileEnd);
        EXPECT_EQ(static_cast<unsigned char>(blocks[1][1289]), 0xA6);
        EXPECT_EQ(blocks[0].substr(49, 2), replace[0] == '1' ? "42" : "  ");
        EXPECT_EQ(blocks[1].substr(49, 2), "  ") << "only block 1 asks for replacement";
    }
}

TEST(DownloadBlocks, EmptyFileIsRefusedByFileDownloadButSentAsEndByteOtherwise) {
    ASSERT_TRUE(WriteFile("empty.bin", ""));
    {
        Terminal terminal(kFileEnd);
        char rc[3] = {};
        APDNLOAD("T1", "empty.bin", "EMPTY", "1", rc);
        EXPECT_EQ(Rc(rc), "10");
        APDNLOAD("T1", "missing.bin", "EMPTY", "1", rc);
        EXPECT_EQ(Rc(rc), "10");
        EXPECT_TRUE(terminal.peer.requests().empty()) << "no frame, not even the memory query";
    }
    {
        Terminal terminal(kProgramEnd, MemoryReply("9999", {}), "T2");
        char rc[3] = {};
        APDNP00B("T2", "empty.bin", "A1", "B2", rc);
        EXPECT_EQ(Rc(rc), "00");
        APSYSDNL("T2", "empty.bin", rc);
        EXPECT_EQ(Rc(rc), "00");
        auto blocks = terminal.blocks();
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(blocks[0].substr(3, 9), "empty.biP");
        ExpectDataArea(blocks[0], "", kProgramEnd);
        EXPECT_EQ(blocks[1].substr(3, 9), std::string(9, ' ')) << "an operating-system file has no object name";
        EXPECT_EQ(blocks[1].substr(72, 8), "GFCDNL20");
        ExpectDataArea(blocks[1], "", kProgramEnd);
    }
}

TEST(DownloadEnd, TheTerminalsAnswerEndsTheTransfer) {
    std::string data = Content(5000);
    ASSERT_TRUE(WriteFile("prog.bin", data));
    struct Case {
        std::vector<std::string> statuses;  // answers to blocks 1, 2, ...
        const char* rc;
        std::size_t blocks;
    };
    const Case cases[] = {
        {{"00"}, "00", 1},                          // "00" ends early, data left over
        {{"01", "07"}, "07", 2},                    // an error status stops at once
        {{"01", "01", "01", "01", "00"}, "00", 5},  // "01" after the end: one more end block
    };
    int terminal = 0;
    for (const Case& c : cases) {
        ScriptedPeer peer([&c](int index, const std::string&) {
            return PeerAction::Reply(LongReply(c.statuses[std::min<std::size_t>(index, c.statuses.size() - 1)]));
        });
        std::string name = std::string("T").append(std::to_string(++terminal));
        peer.Register(name.c_str());
        char rc[3] = {};
        APDNP00B(name.c_str(), "prog.bin", nullptr, nullptr, rc);
        EXPECT_EQ(Rc(rc), c.rc);
        auto requests = peer.requests();
        ASSERT_EQ(requests.size(), c.blocks);
        if (c.blocks == 5) ExpectDataArea(requests[4], "", kProgramEnd);
    }
}

TEST(DownloadEnd, TerminalThatNeverEndsTheTransferIsCutOffAfterTheFile) {
    ASSERT_TRUE(WriteFile("prog.bin", Content(2000)));
    ScriptedPeer peer([](int, const std::string&) { return PeerAction::Reply(LongReply("01")); });
    peer.Register("T1");
    char rc[3] = {};
    APDNP00B("T1", "prog.bin", nullptr, nullptr, rc);
    EXPECT_EQ(Rc(rc), "16");
    auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 2u + 16u) << "the file's two blocks, then 16 end blocks";
    for (std::size_t i = 2; i < requests.size(); ++i) ExpectDataArea(requests[i], "", kProgramEnd);
}

TEST(DownloadEnd, FailedExchangeGives16) {
    ASSERT_TRUE(WriteFile("prog.bin", Content(4000)));
    ScriptedPeer peer([](int index, const std::string&) {
        return index == 0 ? PeerAction::Reply(LongReply("01")) : PeerAction::Close();
    });
    peer.Register("T1");
    char rc[3] = {};
    APSYSDNL("T1", "prog.bin", rc);
    EXPECT_EQ(Rc(rc), "16");
    APSYSDNL("T1", "unreadable/none.bin", rc);
    EXPECT_EQ(Rc(rc), "11");
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dir != nullptr && ::readdir(dir) != nullptr) ++count;
    if (dir != nullptr) ::closedir(dir);
    return count;
}

int g_reads = 0;
long FailOnSecondRead(int fd, void* buffer, std::size_t length) {
    if (++g_reads >= 2) {
        errno = EIO;
        return -1;
    }
    return static_cast<long>(::read(fd, buffer, length));
}

TEST(DownloadHostFile, ReadErrorEndsTheTransferWithoutAnEndByteAndClosesTheFile) {
    ASSERT_TRUE(WriteFile("prog.bin", Content(5000)));
    Terminal terminal(kProgramEnd);
    int before = OpenDescriptors();
    xelbde::SetHostFileReader(FailOnSecondRead);
    char rc[3] = {};
    APDNP00B("T1", "prog.bin", nullptr, nullptr, rc);
    xelbde::SetHostFileReader(nullptr);
    EXPECT_EQ(Rc(rc), "11");
    // The first read brings the whole blocks it holds (two of the 5000
    // bytes); the third block needs the failing read.
    auto blocks = terminal.blocks();
    ASSERT_EQ(blocks.size(), 2u) << "the terminal never sees an end byte for a file cut short";
    for (const std::string& block : blocks) EXPECT_EQ(block.find(kProgramEnd, 81), std::string::npos);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(DownloadMemoryCheck, FileOfExactlyTheFreeMemoryPassesOneByteMoreGives13) {
    // 100 units in all, 30 and 20 taken: 50 units of 256 bytes are free.
    std::string memory = MemoryReply(" 100", {"  30 DATEN1", "  20 PROG"});
    for (long size : {50L * 256, 50L * 256 + 1}) {
        SCOPED_TRACE(size);
        ASSERT_TRUE(WriteFile("data.txt", Content(static_cast<std::size_t>(size))));
        const char* name = size == 50L * 256 ? "T1" : "T2";
        Terminal terminal(kFileEnd, memory, name);
        char rc[3] = {};
        APDNLOAD(name, "data.txt", "DATEN2", "1", rc);
        auto requests = terminal.peer.requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].substr(3, 9), "QDIRINFOS");
        EXPECT_EQ(requests[0].substr(72, 8), "GFCUPL00");
        if (size == 50L * 256) {
            EXPECT_EQ(Rc(rc), "00");
            EXPECT_EQ(terminal.blocks().size(), 8u);
        } else {
            EXPECT_EQ(Rc(rc), "13");
            EXPECT_EQ(requests.size(), 1u) << "no block after a refused memory check";
        }
    }
}

TEST(DownloadMemoryCheck, EntriesUpToTheEndOfTheFrameAreAllCounted) {
    // Every position from 109 to 1901 holds a 1; the scan must stop at the
    // frame's end marker, not run past the reply.
    std::string memory = LongReply("00");
    Put(memory, 93, "0200");
    int entries = 0;
    for (std::size_t pos = 109; pos + 4 <= 1917; pos += 16, ++entries) Put(memory, pos, "   1");
    ASSERT_EQ(entries, 113);
    long free = (200L - entries) * 256;
    for (long size : {free, free + 1}) {
        ASSERT_TRUE(WriteFile("data.txt", Content(static_cast<std::size_t>(size))));
        ScriptedPeer peer([&memory](int index, const std::string&) {
            return PeerAction::Reply(index == 0 ? memory : LongReply("00"));
        });
        const char* name = size == free ? "T1" : "T2";
        peer.Register(name);
        char rc[3] = {};
        APDNLOAD(name, "data.txt", "D", "1", rc);
        EXPECT_EQ(Rc(rc), size == free ? "00" : "13");
    }
}

TEST(DownloadMemoryCheck, UnreadableTotalGives34AndAQueryStatusIsPassedOn) {
    ASSERT_TRUE(WriteFile("data.txt", Content(10)));
    struct Case {
        std::string reply;
        const char* rc;
    };
    std::string letter = MemoryReply("A100", {});
    std::string sign = MemoryReply("-   ", {});
    std::string status = MemoryReply("9999", {});
    Put(status, 49, "07");
    int terminal = 0;
    for (const Case& c : {Case{letter, "34"}, Case{sign, "34"}, Case{status, "07"}}) {
        ScriptedPeer peer([&c](int, const std::string&) { return PeerAction::Reply(c.reply); });
        std::string name = std::string("T").append(std::to_string(++terminal));
        peer.Register(name.c_str());
        char rc[3] = {};
        APDNLOAD(name.c_str(), "data.txt", "DATEN", "1", rc);
        EXPECT_EQ(Rc(rc), c.rc);
        EXPECT_EQ(peer.requests().size(), 1u);
    }
}

}  // namespace
