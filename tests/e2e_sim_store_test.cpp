// SPDX-License-Identifier: MIT
// bdesim's file store: downloads, uploads, directory, delete and memory
// pages, with hand-made frames over a raw connection.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"

namespace {

using e2e::LongRequest;
using e2e::RawClient;
using e2e::Sim;
using testing_support::PathExists;
using testing_support::ReadFile;
using testing_support::WriteFile;

constexpr std::size_t kBlock = 1792;
const std::string kEof = "\xA6";

std::string Status(const std::string& reply) { return reply.size() >= 51 ? reply.substr(49, 2) : ""; }
std::string Data(const std::string& reply) { return reply.size() == 1920 ? reply.substr(81, kBlock) : ""; }

// Blank-padded 8-character object name followed by its type.
std::string Object(const std::string& name, char type) {
    std::string field = name.substr(0, 8);
    field.resize(8, ' ');
    return field + type;
}

struct Terminal {
    explicit Terminal(const std::string& extra = "")
        : store(testing_support::TestDir() + "/store"),
          sim("[terminal T1]\nlisten = 127.0.0.2\nstore = store\n" + extra) {
        EXPECT_TRUE(sim.ready());
        EXPECT_TRUE(client.Connect("127.0.0.2"));
    }
    std::string Send(const std::string& frame) { return client.Exchange(frame, 1920); }
    std::string DataBlock(const std::string& name, const std::string& data, const std::string& code = "  ") {
        return Send(LongRequest(Object(name, 'D'), "GFCDNL50", code, data));
    }
    std::string UploadBlock(const std::string& name, const std::string& previous) {
        return Send(LongRequest(Object(name, 'D'), "GFCUPL00", "  ", previous));
    }
    std::string File(const std::string& name) { return ReadFile(store + "/" + name); }

    std::string store;
    Sim sim;
    RawClient client;
};

std::string Pattern(std::size_t n, int seed = 0) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('A' + (i * 7 + seed) % 26);
    return s;
}

// --- downloads ------------------------------------------------------------------

TEST(SimDownload, DataFileInBlocksThenReplaceAndAppend) {
    Terminal t;
    std::string first = Pattern(kBlock);
    std::string rest = Pattern(1208, 3);
    EXPECT_EQ(Status(t.DataBlock("DATEN1", first, "42")), "01");
    EXPECT_EQ(Status(t.DataBlock("DATEN1", rest + kEof)), "00");
    EXPECT_EQ(t.File("DATEN1.dat"), first + rest);

    // Without "42" the next transfer appends; with it, it replaces.
    EXPECT_EQ(Status(t.DataBlock("DATEN1", "xyz" + kEof)), "00");
    EXPECT_EQ(t.File("DATEN1.dat"), first + rest + "xyz");
    EXPECT_EQ(Status(t.DataBlock("DATEN1", "new" + kEof, "42")), "00");
    EXPECT_EQ(t.File("DATEN1.dat"), "new");

    // An empty last block holds only the end byte.
    EXPECT_EQ(Status(t.DataBlock("LEER", kEof, "42")), "00");
    EXPECT_TRUE(PathExists(t.store + "/LEER.dat"));
    EXPECT_EQ(t.File("LEER.dat"), "");
}

TEST(SimDownload, ProgramsAndOperatingSystemEndWithADot) {
    Terminal t;
    EXPECT_EQ(Status(t.Send(LongRequest(Object("PROG1", 'P'), "GFCDNL00", "  ", Pattern(kBlock)))), "01");
    EXPECT_EQ(Status(t.Send(LongRequest(Object("PROG1", 'P'), "GFCDNL00", "  ", "tail."))), "00");
    EXPECT_EQ(t.File("PROG1.prg"), Pattern(kBlock) + "tail");
    // A new program transfer replaces the old one.
    EXPECT_EQ(Status(t.Send(LongRequest(Object("PROG1", 'P'), "GFCDNL00", "  ", "v2."))), "00");
    EXPECT_EQ(t.File("PROG1.prg"), "v2");

    EXPECT_EQ(Status(t.Send(LongRequest("", "GFCDNL20", "  ", "kernel."))), "00");
    EXPECT_EQ(t.File("system.os"), "kernel");

    // Wrong object type for the program, or no name: malformed.
    EXPECT_EQ(Status(t.Send(LongRequest(Object("PROG1", 'D'), "GFCDNL00", "  ", "x."))), "98");
    EXPECT_EQ(Status(t.Send(LongRequest(Object("", 'D'), "GFCDNL50", "  ", "x" + kEof))), "98");
}

TEST(SimDownload, ObjectNamesCannotLeaveTheStore) {
    Terminal t;
    EXPECT_EQ(Status(t.DataBlock("../x", "evil" + kEof, "42")), "00");
    EXPECT_EQ(Status(t.DataBlock("/etc/pw", "evil" + kEof, "42")), "00");
    EXPECT_FALSE(PathExists(testing_support::TestDir() + "/x.dat"));
    EXPECT_EQ(t.File("%2E%2E%2Fx.dat"), "evil");
    EXPECT_EQ(t.File("%2Fetc%2Fpw.dat"), "evil");
    // Served back under the same name.
    std::string reply = t.UploadBlock("../x", std::string(kBlock, ' '));
    EXPECT_EQ(Status(reply), "00");
    EXPECT_EQ(Data(reply).substr(0, 5), "evil" + kEof);
}

TEST(SimDownload, FullMemoryRefusesTheBlock) {
    Terminal t("memory = 10\n");  // 2560 bytes
    EXPECT_EQ(Status(t.DataBlock("A", Pattern(kBlock), "42")), "01");
    EXPECT_EQ(Status(t.DataBlock("A", Pattern(800) + kEof)), "97");
    EXPECT_EQ(t.File("A.dat"), Pattern(kBlock));
    // Replacing frees the old content first.
    EXPECT_EQ(Status(t.DataBlock("A", Pattern(1000) + kEof, "42")), "00");
}

TEST(SimDownload, StatusFaultRefusesWithoutStoring) {
    Terminal t("fault = download#2 status=07\n");
    EXPECT_EQ(Status(t.DataBlock("D1", Pattern(kBlock), "42")), "01");
    EXPECT_EQ(Status(t.DataBlock("D1", "more" + kEof)), "07");
    EXPECT_EQ(t.File("D1.dat"), Pattern(kBlock));
}

// --- uploads -----------------------------------------------------------------------

TEST(SimUpload, ExactBlockThenEmptyLastBlockAndDeletingAck) {
    Terminal t;
    ASSERT_TRUE(WriteFile(t.store + "/DATEN1.dat", Pattern(kBlock)));
    EXPECT_EQ(Status(t.Send(LongRequest("QDIRINFOS", "GFCDNL50", "  ", kEof))), "00");

    std::string r1 = t.UploadBlock("DATEN1", std::string(kBlock, ' '));
    EXPECT_EQ(Status(r1), "01");
    EXPECT_EQ(Data(r1), Pattern(kBlock));
    std::string r2 = t.UploadBlock("DATEN1", Data(r1));
    EXPECT_EQ(Status(r2), "00");
    EXPECT_EQ(Data(r2), kEof + std::string(kBlock - 1, ' '));

    // The final acknowledgement is a copy of the last reply, "42" deletes.
    std::string ack = r2;
    ack.replace(49, 2, "42");
    ack.replace(1917, 2, "\xCA\xCE");
    std::string answer = t.Send(ack);
    EXPECT_EQ(Status(answer), "00");
    EXPECT_EQ(answer.substr(1917, 2), "\xCE\xCA");
    EXPECT_FALSE(PathExists(t.store + "/DATEN1.dat"));
    t.client.Close();
    ASSERT_EQ(t.sim.Stop(), 0);
    EXPECT_EQ(t.sim.trace().find("does not echo"), std::string::npos);
}

TEST(SimUpload, ShortFileKeptOnAckZeroAndEmptyFile) {
    Terminal t;
    ASSERT_TRUE(WriteFile(t.store + "/KURZ.dat", "hello"));
    ASSERT_TRUE(WriteFile(t.store + "/LEER.dat", ""));
    std::string r = t.UploadBlock("KURZ", std::string(kBlock, ' '));
    EXPECT_EQ(Status(r), "00");
    EXPECT_EQ(Data(r).substr(0, 7), "hello" + kEof + " ");
    r.replace(49, 2, "00");
    r.replace(1917, 2, "\xCA\xCE");
    EXPECT_EQ(Status(t.Send(r)), "00");
    EXPECT_TRUE(PathExists(t.store + "/KURZ.dat"));

    std::string empty = t.UploadBlock("LEER", std::string(kBlock, ' '));
    EXPECT_EQ(Status(empty), "00");
    EXPECT_EQ(Data(empty)[0], '\xA6');
}

TEST(SimUpload, MissingFileResetAndEcho) {
    Terminal t;
    EXPECT_EQ(Status(t.UploadBlock("NICHTDA", std::string(kBlock, ' '))), "96");
    ASSERT_TRUE(WriteFile(t.store + "/LANG.dat", Pattern(3 * kBlock + 10)));
    EXPECT_EQ(Data(t.UploadBlock("LANG", std::string(kBlock, ' '))), Pattern(3 * kBlock + 10).substr(0, kBlock));
    // The reset frame starts the upload afresh.
    EXPECT_EQ(Status(t.Send(LongRequest("QDIRINFOS", "GFCDNL50", "  ", kEof))), "00");
    std::string again = t.UploadBlock("LANG", "not the previous block");
    EXPECT_EQ(Data(again), Pattern(3 * kBlock + 10).substr(0, kBlock));
    std::string second = t.UploadBlock("LANG", "wrong echo");
    EXPECT_EQ(Data(second), Pattern(3 * kBlock + 10).substr(kBlock, kBlock));
    // An acknowledgement while blocks remain is not expected.
    std::string early = second;
    early.replace(49, 2, "00");
    early.replace(1917, 2, "\xCA\xCE");
    EXPECT_EQ(Status(t.Send(early)), "98");
    t.client.Close();
    ASSERT_EQ(t.sim.Stop(), 0);
    EXPECT_NE(t.sim.trace().find("upload of LANG: request does not echo the previous block"), std::string::npos);
}

TEST(SimUpload, StatusFaultOnThirdBlockKeepsData) {
    Terminal t("fault = upload#3 status=00\n");
    ASSERT_TRUE(WriteFile(t.store + "/F.dat", Pattern(4 * kBlock)));
    std::string previous(kBlock, ' ');
    for (int i = 0; i < 2; ++i) {
        std::string r = t.UploadBlock("F", previous);
        EXPECT_EQ(Status(r), "01");
        previous = Data(r);
    }
    std::string third = t.UploadBlock("F", previous);
    EXPECT_EQ(Status(third), "00");  // contradicts the full block: the library's 19
    EXPECT_EQ(Data(third), Pattern(4 * kBlock).substr(2 * kBlock, kBlock));
}

// --- directory, delete, pages ------------------------------------------------------

TEST(SimDirectory, TotalEntriesAndEnd) {
    Terminal t("memory = 100\n");
    ASSERT_TRUE(WriteFile(t.store + "/B.dat", std::string(30 * 256, 'x')));
    ASSERT_TRUE(WriteFile(t.store + "/A.dat", std::string(19 * 256 + 1, 'x')));
    ASSERT_TRUE(WriteFile(t.store + "/P1.prg", "x"));
    ASSERT_TRUE(WriteFile(t.store + "/notes.txt", "ignored"));
    std::string reply = t.Send(LongRequest("QDIRINFOS"));
    EXPECT_EQ(Status(reply), "00");
    EXPECT_EQ(reply.substr(93, 4), " 100");
    EXPECT_EQ(reply.substr(109, 16), "  20A        D  ");
    EXPECT_EQ(reply.substr(125, 16), "  30B        D  ");
    EXPECT_EQ(reply.substr(141, 16), "   1P1       P  ");
    EXPECT_EQ(reply.substr(157, 4), "END ");
    // Free memory shown by QRDFORMAT: 100 - 51.
    EXPECT_EQ(t.Send(LongRequest("QRDFORMAT")).substr(93, 4), "  49");
}

TEST(SimDirectory, ManyObjectsEndInARestEntry) {
    Terminal t("memory = 9999\n");
    for (int i = 0; i < 115; ++i) ASSERT_TRUE(WriteFile(t.store + "/F" + std::to_string(1000 + i) + ".dat", "x"));
    std::string reply = t.Send(LongRequest("QDIRINFOS"));
    std::size_t last = 109 + 109 * 16;
    EXPECT_EQ(reply.substr(last, 16), "   6*REST       ");
    EXPECT_EQ(reply.substr(last + 16, 4), "END ");
    long sum = 0;
    for (std::size_t at = 109; at <= last; at += 16) sum += std::stol(reply.substr(at, 4));
    EXPECT_EQ(sum, 115);
}

TEST(SimDelete, RemovesTheFileOrReportsItMissing) {
    Terminal t;
    ASSERT_TRUE(WriteFile(t.store + "/DATEN1.dat", "abc"));
    EXPECT_EQ(Status(t.Send(LongRequest(Object("DATEN1", 'D'), "GFCUPL00", "42"))), "00");
    EXPECT_FALSE(PathExists(t.store + "/DATEN1.dat"));
    EXPECT_EQ(Status(t.Send(LongRequest(Object("DATEN1", 'D'), "GFCUPL00", "42"))), "96");
}

TEST(SimPage, DeterministicBytesAsHexText) {
    Terminal t;
    std::string reply = t.Send(LongRequest("QMU0000" "00"));
    EXPECT_EQ(Status(reply), "00");
    EXPECT_EQ(reply.substr(81, 8), "00010203");
    EXPECT_EQ(reply.substr(81 + 2 * 255, 2), "FF");
    EXPECT_EQ(reply.substr(593, 4), "    ");

    // segment 1A2B, page 03: byte 0 = (17*3 + 31*0x2B + 7*0x1A) mod 256
    std::string page = t.Send(LongRequest("QMU1A2B03")).substr(81, 2);
    char expected[3];
    std::snprintf(expected, sizeof expected, "%02X", (17 * 3 + 31 * 0x2B + 7 * 0x1A) % 256);
    EXPECT_EQ(page, expected);

    // A short address leaves zero bytes in the command field: malformed.
    EXPECT_EQ(Status(t.Send(LongRequest(std::string("QMU1203\0\0", 9)))), "98");
}

TEST(SimPage, LowerCaseHex) {
    Terminal t("hexcase = lower\n");
    EXPECT_EQ(t.Send(LongRequest("QMU000000")).substr(81 + 2 * 250, 12), "fafbfcfdfeff");
}

}  // namespace
