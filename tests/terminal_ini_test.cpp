// SPDX-License-Identifier: MIT
// Reading terminal.ini into the terminal table, its path, and the lookups
// over the table.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <atomic>

#include <gtest/gtest.h>

#include "tests/support/testing.h"
#include "xelbde/internal.h"

using namespace xelbde;
using testing_support::WriteFile;

namespace {

void Parse(const std::string& text) { ParseTerminalIni(text.data(), text.size()); }

template <std::size_t N>
std::string Field(const char (&field)[N]) {
    return std::string(field, N);
}

std::string Padded(const std::string& text, std::size_t width) {
    std::string result = text;
    result.resize(width, '\0');
    return result;
}

int Rows() {
    int n = 0;
    while (n < kTerminalTableRows && TerminalTable[static_cast<std::size_t>(n)].name[0] != '\0') ++n;
    return n;
}

TerminalEntry Found(const char* name) {
    TerminalEntry entry{};
    EXPECT_TRUE(FindTerminalEntry(name, &entry)) << name;
    return entry;
}

}  // namespace

// ----------------------------------------------------------------- keys --

TEST(TerminalIniKeys, KeysMatchByPrefixAndWithoutCase) {
    Parse("[T1]\r\nKlasse=isdn\r\n[T2]\r\nKLASSEN = ISDN\r\n[T3]\r\nKLASSE=ADPT\r\nipaddr=1.2.3.4\r\n"
          "[T4]\r\nKLASS=ISDN\r\n");
    EXPECT_EQ(Field(Found("T1").klasse), "isdn");
    EXPECT_EQ(Field(Found("T2").klasse), "ISDN");
    EXPECT_EQ(Field(Found("T3").klasse), "ADPT");
    EXPECT_EQ(Field(Found("T3").ip), Padded("1.2.3.4", 15));
    EXPECT_EQ(Field(Found("T4").klasse), Padded("", 4));  // shorter than the keyword: no key

    // QueryISDNAdapter looks at the loaded table only while the file exists.
    ASSERT_TRUE(WriteFile("terminal.ini", "[T1]\r\nKlasse=isdn\r\n[T2]\r\nKLASSEN=ISDN\r\n[T3]\r\nKLASSE=ADPT\r\n"));
    ASSERT_TRUE(LoadTerminalTable());
    EXPECT_TRUE(QueryISDNAdapter("T1"));
    EXPECT_TRUE(QueryISDNAdapter("t2"));
    EXPECT_FALSE(QueryISDNAdapter("T3"));
    EXPECT_FALSE(QueryISDNAdapter("T9"));
    ::remove("terminal.ini");
    EXPECT_FALSE(QueryISDNAdapter("T1"));
}

TEST(TerminalIniKeys, AllFieldsAndTruncationToWidth) {
    Parse("[T1]\nVORWAHL=0123456789012\nNUMMER=12345678901234567\nDURCHWAHL=1234567\n"
          "TERMINALID=98765432\nIP=100.100.100.100.5\nKLASSE=ISDNX\n");
    TerminalEntry e = Found("T1");
    EXPECT_EQ(Field(e.vorwahl), "0123456789");
    EXPECT_EQ(Field(e.nummer), "123456789012345");
    EXPECT_EQ(Field(e.durchwahl), "12345");
    EXPECT_EQ(Field(e.terminalid), "98765");
    EXPECT_EQ(Field(e.ip), "100.100.100.100");
    EXPECT_EQ(Field(e.klasse), "ISDN");
}

TEST(TerminalIniKeys, KeyGivenAgainReplacesTheWholeField) {
    Parse("[T1]\nIP=127.0.0.22\nIP=127.0.0.3\nNUMMER=\n");
    EXPECT_EQ(Field(Found("T1").ip), Padded("127.0.0.3", 15));
    EXPECT_EQ(Field(Found("T1").nummer), Padded("", 15));  // an empty value changes nothing
}

TEST(TerminalIniKeys, UeberhangIsStoredAsThreeDigits) {
    Parse("[A]\nUEBERHANG=7\n[B]\nUEBERHANG=\n[C]\nUEBERHANG=1500\n[D]\nUEBERHANG=90\n"
          "[E]\nUEBERHANG=x5\n[F]\nUEBERHANG=99999999999999999999\n[G]\nNUMMER=1\n[H]\nUEBERHANG=+12abc\n");
    EXPECT_EQ(Field(Found("A").ueberhang), "007");
    EXPECT_EQ(Field(Found("B").ueberhang), "000");
    EXPECT_EQ(Field(Found("C").ueberhang), "150");
    EXPECT_EQ(Field(Found("D").ueberhang), "090");
    EXPECT_EQ(Field(Found("E").ueberhang), "000");
    EXPECT_EQ(Field(Found("F").ueberhang), "214");  // saturated, never overflowing
    EXPECT_EQ(Field(Found("G").ueberhang), Padded("", 3));
    EXPECT_EQ(Field(Found("H").ueberhang), "012");
}

TEST(TerminalIniKeys, ValueEndsAtBlankTabOrEquals) {
    Parse("[T1]\nIP = 10.1.2.3 ; old\nNUMMER\t=\t123\t456\nVORWAHL=12=34\nDURCHWAHL 7\n");
    TerminalEntry e = Found("T1");
    EXPECT_EQ(Field(e.ip), Padded("10.1.2.3", 15));
    EXPECT_EQ(Field(e.nummer), Padded("123", 15));
    EXPECT_EQ(Field(e.vorwahl), Padded("12", 10));
    EXPECT_EQ(Field(e.durchwahl), Padded("", 5));  // no "=": no key line
}

TEST(TerminalIniKeys, KeysAndValuesOf81CharactersAreIgnored) {
    std::string v80(80, '1');
    std::string v81(81, '2');
    Parse("[T1]\nNUMMER=" + v80 + "\nVORWAHL=" + v81 + "\nIP" + std::string(79, 'X') + "=1.2.3.4\n");
    TerminalEntry e = Found("T1");
    EXPECT_EQ(Field(e.nummer), std::string(15, '1'));
    EXPECT_EQ(Field(e.vorwahl), Padded("", 10));
    EXPECT_EQ(Field(e.ip), Padded("", 15));
    // A too-long key line before the first section is ignored, not an end.
    Parse("IP=" + v81 + "\n[T2]\nIP=1.2.3.4\n");
    EXPECT_EQ(Field(Found("T2").ip), Padded("1.2.3.4", 15));
}

TEST(TerminalIniKeys, KeyBeforeFirstSectionEndsReading) {
    ASSERT_TRUE(WriteFile("terminal.ini", "; list\r\nIP = 10.1.2.3\r\n[T1]\r\nIP = 127.0.0.1\r\n"));
    ASSERT_TRUE(LoadTerminalTable());
    EXPECT_EQ(Rows(), 0);
    char rc[3] = {};
    APALC00B("T1", "", rc);
    EXPECT_STREQ(rc, "06");
}

// ---------------------------------------------------------------- lines --

TEST(TerminalIniLines, CrLfAndLfReadAlike) {
    const std::string lf = "; c\n[T1]\nIP=1.2.3.4\n  [ T2 ]  tail\n\tNUMMER = 55 \n[T3]\nKLASSE=ADPT";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    Parse(lf);
    auto table = TerminalTable;
    Parse(crlf);
    EXPECT_EQ(std::memcmp(&table, &TerminalTable, sizeof table), 0);
    EXPECT_EQ(Rows(), 3);
    EXPECT_EQ(Field(Found("T2").nummer), Padded("55", 15));
    EXPECT_EQ(Field(Found("T3").klasse), "ADPT");  // last line without line end
}

TEST(TerminalIniLines, LoneCrIsKeptAsCharacter) {
    Parse("[T1]\nIP=1.2\r3.4\n");
    EXPECT_EQ(Field(Found("T1").ip), Padded("1.2\r3.4", 15));
}

TEST(TerminalIniLines, CtrlZEndsTheFile) {
    Parse("[T1]\nIP=1.2\x1a" "3.4\n[T2]\nIP=5.6.7.8\n");
    EXPECT_EQ(Field(Found("T1").ip), Padded("1.2", 15));
    EXPECT_EQ(Rows(), 1);
    Parse("[T1]\r\x1a[T2]\n");  // a CR before Ctrl-Z is no line end
    EXPECT_EQ(Rows(), 1);
}

TEST(TerminalIniLines, LongLinesAreReadIn256CharacterPieces) {
    // The first piece is 250 blanks and "IP=1.2"; ".3.4" is the next line.
    Parse("[T1]\n" + std::string(250, ' ') + "IP=1.2.3.4\n");
    EXPECT_EQ(Field(Found("T1").ip), Padded("1.2", 15));

    // A comment of exactly 256 characters, then a key on the same line.
    Parse("[T1]\n;" + std::string(255, 'c') + "NUMMER=42\n");
    EXPECT_EQ(Field(Found("T1").nummer), Padded("42", 15));

    // A 256-character line ending in CR LF does not disturb the next line.
    Parse("[T1]\r\nIP=1.2.3.4" + std::string(246, ' ') + "\r\nNUMMER=5\r\n");
    EXPECT_EQ(Field(Found("T1").ip), Padded("1.2.3.4", 15));
    EXPECT_EQ(Field(Found("T1").nummer), Padded("5", 15));
}

TEST(TerminalIniLines, FileLoadReadsLikeTheParser) {
    // Long lines and CR LF pairs straddle the loader's read chunks.
    std::string text;
    for (int i = 0; text.size() < 60000; ++i) {
        text += "[S" + std::to_string(i) + "]\r\n";
        text += std::string(static_cast<std::size_t>(i % 300), ' ') + "NUMMER=" + std::to_string(i) + "\r\n";
        text += "; " + std::string(static_cast<std::size_t>(i * 7 % 400), 'x') + "\r\n";
        text += "IP=10.0." + std::to_string(i % 256) + ".1\n";
    }
    Parse(text);
    auto table = TerminalTable;
    ASSERT_TRUE(WriteFile("terminal.ini", text));
    ASSERT_TRUE(LoadTerminalTable());
    EXPECT_GT(Rows(), 100);
    EXPECT_EQ(std::memcmp(&table, &TerminalTable, sizeof table), 0);
}

// -------------------------------------------------------------- headers --

TEST(TerminalIniHeaders, HeaderForms) {
    // A line that begins with "[" but is no header takes no row, and the keys
    // after it go nowhere: not into the entry before it, and they do not
    // end the reading either.
    Parse("[T0\nIP=1.1.1.1\n[ T1 ] anything\n[T2\nNUMMER=2\n[" + std::string(80, 'L') + "]\n[" +
          std::string(81, 'M') + "]\nNUMMER=9\n[T3=x]\n[]\n");
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Field(TerminalTable[0].name), Padded("T1", 10));
    EXPECT_EQ(Field(TerminalTable[0].nummer), Padded("", 15));  // "[T2" is no header
    EXPECT_EQ(Field(TerminalTable[1].name), std::string(10, 'L'));
    EXPECT_EQ(Field(TerminalTable[1].nummer), Padded("", 15));  // 81 characters: no header
    EXPECT_EQ(TerminalTable[2].name[0], '\0');                 // "[T3=x]" is no header; "[]" is
}

TEST(TerminalIniHeaders, EmptySectionNameEndsTheTableForLookups) {
    Parse("[A]\nIP=1.1.1.1\n[]\nIP=2.2.2.2\n[B]\nIP=3.3.3.3\n");
    EXPECT_EQ(Field(TerminalTable[2].name), Padded("B", 10));  // loaded ...
    EXPECT_FALSE(FindTerminalEntry("B", nullptr));             // ... but never found
    EXPECT_TRUE(FindTerminalEntry("A", nullptr));
    TerminalEntry row;
    EXPECT_TRUE(CopyTerminalRow(0, &row));
    EXPECT_FALSE(CopyTerminalRow(1, &row));
}

TEST(TerminalIniHeaders, The513thSectionAndAllAfterItAreIgnored) {
    std::string text;
    for (int i = 0; i < 513; ++i) text += "[S" + std::to_string(i) + "]\nNUMMER=" + std::to_string(i) + "\n";
    text += "[S513]\nNUMMER=1\n";
    Parse(text);
    EXPECT_EQ(Rows(), 512);
    EXPECT_EQ(Field(Found("S511").nummer), Padded("511", 15));
    EXPECT_FALSE(FindTerminalEntry("S512", nullptr));
    EXPECT_FALSE(FindTerminalEntry("S513", nullptr));
}

// -------------------------------------------------------------- lookups --

TEST(TerminalLookup, ExactNameWinsElseTheFirstPrefixWithoutCase) {
    Parse("[TERM10]\nIP=1.1.1.1\n[TERM1]\nIP=2.2.2.2\n[ABCDEFGHIJKL]\nIP=3.3.3.3\n");
    EXPECT_EQ(Field(Found("term1").name), Padded("TERM1", 10));  // wherever it stands
    EXPECT_EQ(Field(Found("TERM").name), Padded("TERM10", 10));  // no exact name: the first prefix
    EXPECT_EQ(Field(Found("ABCDEFGHIJ").ip), Padded("3.3.3.3", 15));
    EXPECT_EQ(Field(Found("abcdefghij").name), "ABCDEFGHIJ");
    EXPECT_FALSE(FindTerminalEntry("ABCDEFGHIJK", nullptr));      // longer than any section name
    EXPECT_FALSE(FindTerminalEntry("192.168.100.200", nullptr));
    EXPECT_FALSE(FindTerminalEntry("", nullptr));
    Parse("[TERM1]\nIP=2.2.2.2\n");
    EXPECT_EQ(Field(Found("term1").ip), Padded("2.2.2.2", 15));
}

TEST(TerminalLookup, IpFieldReadsAsFourNumbers) {
    auto address = [](const char* ip, unsigned char out[4]) {
        TerminalEntry entry{};
        std::memcpy(entry.ip, ip, std::min<std::size_t>(std::strlen(ip), sizeof entry.ip));
        std::optional<IpAddress> read = ParseEntryAddress(entry);
        if (read) std::memcpy(out, read->data(), read->size());
        return read.has_value();
    };
    unsigned char a[4] = {};
    ASSERT_TRUE(address("10.1.2.300", a));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a), 4), std::string("\x0a\x01\x02\x2c", 4));
    ASSERT_TRUE(address("255.255.255.255", a));  // fills the field: no terminator
    EXPECT_EQ(a[3], 255);
    ASSERT_TRUE(address("1.2.3.4.5", a));
    EXPECT_EQ(a[3], 4);
    ASSERT_TRUE(address("999999998.1.2.3", a));  // low 8 bits of a long number
    EXPECT_EQ(a[0], 999999998 & 0xFF);
    EXPECT_FALSE(address("10.1.2", a));
    EXPECT_FALSE(address("10.1..2", a));
    EXPECT_FALSE(address("", a));
    EXPECT_FALSE(address("a.b.c.d", a));
}

// ----------------------------------------------------------------- path --

TEST(TerminalIniPath, TerminiDirectory) {
    EXPECT_STREQ(GetTerminalIniPath(), "terminal.ini");
    ::setenv("TERMINI", "", 1);
    EXPECT_STREQ(GetTerminalIniPath(), "terminal.ini");
    ::setenv("TERMINI", "/etc/xel", 1);
    EXPECT_STREQ(GetTerminalIniPath(), "/etc/xel/terminal.ini");
    ::setenv("TERMINI", "/etc/xel/", 1);
    EXPECT_STREQ(GetTerminalIniPath(), "/etc/xel/terminal.ini");
}

TEST(TerminalIniPath, TooLongTerminiCountsAsNoFile) {
    // 370 characters, the separator, "terminal.ini" and the terminator fill
    // the 384-byte buffer exactly.
    std::string fits(370, 'd');
    ::setenv("TERMINI", fits.c_str(), 1);
    ASSERT_NE(GetTerminalIniPath(), nullptr);
    EXPECT_EQ(std::string(GetTerminalIniPath()), fits + "/terminal.ini");
    ::setenv("TERMINI", (fits + "/").c_str(), 1);
    ASSERT_NE(GetTerminalIniPath(), nullptr);

    ASSERT_TRUE(WriteFile("terminal.ini", "[T1]\nKLASSE=ISDN\n"));
    ::setenv("TERMINI", (fits + "d").c_str(), 1);
    EXPECT_EQ(GetTerminalIniPath(), nullptr);
    ::setenv("TERMINI", std::string(5000, '/').c_str(), 1);
    EXPECT_EQ(GetTerminalIniPath(), nullptr);
    EXPECT_FALSE(FileExists(GetTerminalIniPath()));
    EXPECT_FALSE(LoadTerminalTable());
    EXPECT_FALSE(QueryISDNAdapter("T1"));
}

TEST(TerminalIniPath, LoadsFromTerminiDirectory) {
    ::mkdir("conf", 0755);
    ASSERT_TRUE(WriteFile("conf/terminal.ini", "[T1]\nIP=1.2.3.4\n"));
    ::setenv("TERMINI", (testing_support::TestDir() + "/conf").c_str(), 1);
    ASSERT_TRUE(LoadTerminalTable());
    EXPECT_TRUE(FindTerminalEntry("T1", nullptr));
}

// ---------------------------------------------------------- load faults --

TEST(TerminalIniLoad, UnreadableFileGives35) {
    ::mkdir("terminal.ini", 0755);  // exists, but reads fail
    EXPECT_FALSE(LoadTerminalTable());
    char rc[3] = {};
    APALC00B("T1", "", rc);
    EXPECT_STREQ(rc, "35");
}

TEST(TerminalIniLoad, LoadLockHeldElsewhereGives35) {
    ASSERT_TRUE(WriteFile("terminal.ini", "[T1]\nIP=1.2.3.4\n"));
    SetLockWaitMsForTest(100);
    MutexHandle held{-1};
    ASSERT_TRUE(MutexCreate("XELBDE3", &held));
    ASSERT_TRUE(MutexWait(&held, 1000));
    char rc[3] = {};
    APALC00B("T1", "", rc);
    EXPECT_STREQ(rc, "35");
    MutexRelease(&held);
    MutexClose(&held);
    EXPECT_TRUE(LoadTerminalTable());
}

TEST(TerminalIniLoad, EachLoadReplacesTheTable) {
    ASSERT_TRUE(WriteFile("terminal.ini", "[T1]\nIP=1.2.3.4\nNUMMER=12345\n"));
    ASSERT_TRUE(LoadTerminalTable());
    ASSERT_TRUE(WriteFile("terminal.ini", "[T2]\nIP=5.6.7.8\n"));
    ASSERT_TRUE(LoadTerminalTable());
    EXPECT_FALSE(FindTerminalEntry("T1", nullptr));
    EXPECT_EQ(Field(Found("T2").nummer), Padded("", 15));
}

TEST(TerminalIniLoad, LookupsDuringReloadsSeeOneWholeTable) {
    // Two files that both hold T1 with different entries: a lookup while
    // other threads reload finds T1 as one file or the other gives it.
    const std::string a = "[T0]\n[T1]\nIP=1.1.1.1\nNUMMER=111\n";
    const std::string b = "[T1]\nIP=2.2.2.2\nNUMMER=222\n[T2]\n";
    ASSERT_TRUE(WriteFile("terminal.ini", a));
    ASSERT_TRUE(LoadTerminalTable());
    std::atomic<bool> stop{false};
    std::thread loader([&] {
        for (int i = 0; i < 300; ++i) {
            ParseTerminalIni(i % 2 ? a.data() : b.data(), i % 2 ? a.size() : b.size());
            if (!LoadTerminalTable()) stop = true;
        }
        stop = true;
    });
    int lookups = 0;
    int bad = 0;
    do {  // at least once: on a busy machine the loader may be done before the first look
        TerminalEntry e{};
        if (!FindTerminalEntry("T1", &e)) {
            ++bad;
        } else if (!(Field(e.ip) == Padded("1.1.1.1", 15) && Field(e.nummer) == Padded("111", 15)) &&
                   !(Field(e.ip) == Padded("2.2.2.2", 15) && Field(e.nummer) == Padded("222", 15))) {
            ++bad;
        }
        ++lookups;
    } while (!stop);
    loader.join();
    EXPECT_GT(lookups, 0);
    EXPECT_EQ(bad, 0);
}
