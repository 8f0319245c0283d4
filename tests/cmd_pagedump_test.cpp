// SPDX-License-Identifier: MIT
// The memory page display: the dump format, and apdsppge reading TMPFILE back.
#include <array>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/fake_api.h"
#include "tests/support/testing.h"

using fake_api::OnlyCall;
using fake_api::RunXelcmd;
using testing_support::PathExists;

namespace {

const std::string kHeader = "Segm:Offs  00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F\n\n";

std::string Dump(unsigned segment, unsigned offset, const std::string& bytes) {
    std::array<char, 1920> buffer;
    buffer.fill('#');
    FormatPageDump(segment, offset, reinterpret_cast<const unsigned char*>(bytes.data()),
                   static_cast<int>(bytes.size()), buffer.data(), buffer.size());
    return std::string(buffer.data());
}

std::string Lines(const std::string& text, std::size_t first, std::size_t count) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < first; ++i) start = text.find('\n', start) + 1;
    std::size_t end = start;
    for (std::size_t i = 0; i < count; ++i) end = text.find('\n', end) + 1;
    return text.substr(start, end - start);
}

std::string Page(unsigned char firstByte) {
    std::string page(256, '\0');
    for (int i = 0; i < 256; ++i) page[i] = static_cast<char>(firstByte + i);
    return page;
}

}  // namespace

// --------------------------------------------------------- dump format ---

TEST(PageDumpFormat, RowOfLettersIsEightyCharactersExactly) {
    std::string bytes = "ABCDEFGHIJKLMNOP" + std::string(240, '\0');
    std::string dump = Dump(0x1, 0x000, bytes);
    ASSERT_EQ(dump.substr(0, kHeader.size()), kHeader);
    std::string row = Lines(dump, 2, 1);
    EXPECT_EQ(row, "   1:   0> 41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  |ABCDEFGHIJKLMNOP|\n");
    EXPECT_EQ(row.size(), 80u);
    EXPECT_EQ(dump.size(), 61u + 16u * 80u);
}

TEST(PageDumpFormat, LabelsCountOffsetsUpInUpperCaseHex) {
    std::string dump = Dump(0x1A2B, 0x05 << 8, std::string(256, '\0'));
    for (int row = 0; row < 16; ++row) {
        char label[16];
        std::snprintf(label, sizeof label, "1A2B: 5%X0> ", row);
        EXPECT_EQ(Lines(dump, 2 + row, 1).substr(0, 11), label);
    }
    EXPECT_EQ(Lines(Dump(0x12, 0, std::string(256, '\0')), 2, 1).substr(0, 11), "  12:   0> ");
}

TEST(PageDumpFormat, ControlAndHighBytesShowAsDotsButKeepTheirHex) {
    std::string dump = Dump(0, 0, Page(0x78));  // 0x78 ... 0xFF, 0x00 ... 0x77
    EXPECT_EQ(Lines(dump, 2, 1),
              "   0:   0> 78 79 7A 7B 7C 7D 7E 7F  80 81 82 83 84 85 86 87  |xyz{|}~.........|\n");
    EXPECT_EQ(Lines(dump, 10, 1),
              "   0:  80> F8 F9 FA FB FC FD FE FF  00 01 02 03 04 05 06 07  |................|\n");
    EXPECT_EQ(Lines(dump, 12, 1),
              "   0:  A0> 18 19 1A 1B 1C 1D 1E 1F  20 21 22 23 24 25 26 27  |........ !\"#$%&'|\n");
}

TEST(PageDumpFormat, SmallBufferIsCutAndStillTerminated) {
    std::array<char, 32> buffer;
    buffer.fill('#');
    std::string page = Page(0);
    FormatPageDump(0x1A2B, 0, reinterpret_cast<const unsigned char*>(page.data()), 256, buffer.data(), 31);
    EXPECT_EQ(std::string(buffer.data()), kHeader.substr(0, 30));
    EXPECT_EQ(buffer[31], '#');
}

TEST(PageDumpFormat, ShortLastRowKeepsTheCharacterColumnInPlace) {
    std::string dump = Dump(1, 0x10, "abc");
    EXPECT_EQ(Lines(dump, 2, 1), "   1:  10> 61 62 63" + std::string(13 * 3 + 1, ' ') + "  |abc|\n");
}

// ----------------------------------------------------- apdsppge display ---

TEST(PageDisplay, PageFromTmpfileIsShownAndDeleted) {
    fake_api::SetOutputContent("APDSPPGE", Page(0));
    auto run = RunXelcmd({"T1", "apdsppge", "1a2b", "05"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Dump(0x1A2B, 0x500, Page(0)) + "\n");
    EXPECT_EQ(Lines(run.out, 2, 1).substr(0, 11), "1A2B: 500> ");
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(PageDisplay, ShortTmpfileShowsTheRestAsZeros) {
    fake_api::SetOutputContent("APDSPPGE", "ABC");
    auto run = RunXelcmd({"T1", "apdsppge", "12", "0"});
    EXPECT_EQ(run.status, 0);
    std::string page = "ABC" + std::string(253, '\0');
    EXPECT_EQ(run.out, Dump(0x12, 0, page) + "\n");
    EXPECT_EQ(Lines(run.out, 2, 1),
              "  12:   0> 41 42 43 00 00 00 00 00  00 00 00 00 00 00 00 00  |ABC.............|\n");
}

TEST(PageDisplay, NonHexadecimalTextsLabelAsZeroAndWideOnesKeepFourDigits) {
    fake_api::SetOutputContent("APDSPPGE", Page(0));
    auto run = RunXelcmd({"T1", "apdsppge", "zz", "g1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Lines(run.out, 2, 1).substr(0, 11), "   0:   0> ");
    EXPECT_EQ(OnlyCall("APDSPPGE").texts[1], "zz");  // still passed as typed

    fake_api::SetOutputContent("APDSPPGE", Page(0));
    run = RunXelcmd({"T1", "apdsppge", "-1", "-1"});
    EXPECT_EQ(Lines(run.out, 17, 1).substr(0, 11), "FFFF:FFF0> ");
}

TEST(PageDisplay, FailedCallDeletesTmpfileAndShowsNothing) {
    fake_api::SetOutputContent("APDSPPGE", "junk");
    fake_api::SetReturnCode("APDSPPGE", 18);
    auto run = RunXelcmd({"T1", "apdsppge", "1", "0"});
    EXPECT_EQ(run.status, 18);
    EXPECT_EQ(run.out, "Fehler bei der Ausfuehrung:18\n");
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(PageDisplay, TmpfileHeldByAWriterIsReportedWithStatusZero) {
    // Another process writing TMPFILE holds it exclusively; the display waits
    // its few seconds for it, then gives up with the system's text.
    testing_support::WriteFile("TMPFILE", Page(0));
    int holder = ::open("TMPFILE", O_RDWR);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    auto run = RunXelcmd({"T1", "apdsppge", "1", "0"});
    ::close(holder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Fehler beim Einlesen der Datei TMPFILE (Permission denied)\n");
    EXPECT_FALSE(PathExists("TMPFILE"));
}

TEST(PageDisplay, TmpfileSharedWithAnotherReaderIsShown) {
    fake_api::SetOutputContent("APDSPPGE", Page(0x20));
    int reader = ::open("TMPFILE", O_RDONLY | O_CREAT, 0600);
    ASSERT_EQ(::flock(reader, LOCK_SH), 0);
    auto run = RunXelcmd({"T1", "apdsppge", "1", "0"});
    ::close(reader);
    EXPECT_EQ(run.out, Dump(1, 0, Page(0x20)) + "\n");
}

TEST(PageDisplay, MissingTmpfileNamesTheSystemError) {
    auto run = RunXelcmd({"T1", "apdsppge", "1", "0"});  // the double writes no file
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Fehler beim Einlesen der Datei TMPFILE (No such file or directory)\n");
}
