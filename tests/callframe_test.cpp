// SPDX-License-Identifier: MIT
// The call frame: name normalisation, fixed-field copies, the registration
// codes, the two-digit return code with its operations-log record, reply
// status numbers and the table of return-code meanings.
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/testing.h"
#include "xelbde/internal.h"

namespace {

using namespace xelbde;
using testing_support::ReadFile;
using testing_support::StdoutCapture;

std::string Normalized(const char* terminal) {
    char name[kNameBufferSize];
    std::memset(name, 'X', sizeof name);
    NormalizeBdeName(terminal, name);
    EXPECT_EQ(name[kNameBufferSize - 1], '\0');
    return std::string(name, ::strnlen(name, sizeof name));
}

std::string Log() { return ReadFile("xelbde.log"); }

// ------------------------------------------------------- normalisation --

TEST(NameNormalisation, NameEndsAtFirstBlankAndKeepsTenCharacters) {
    EXPECT_EQ(Normalized("T01                 "), "T01");
    EXPECT_EQ(Normalized("TERMINAL-NUMBER-1"), "TERMINAL-N");
    EXPECT_EQ(Normalized("T01"), "T01");
    EXPECT_EQ(Normalized(" T01"), "");
    EXPECT_EQ(Normalized(""), "");
    EXPECT_EQ(Normalized(nullptr), "");
}

TEST(NameNormalisation, DottedAddressKeepsFifteenCharacters) {
    EXPECT_EQ(Normalized("192.168.100.200"), "192.168.100.200");
    EXPECT_EQ(Normalized("192.168.100.200     "), "192.168.100.200");
    EXPECT_EQ(Normalized("127.0.0.1 rest"), "127.0.0.1");
}

TEST(NameNormalisation, BroadcastAddressCountsAsName) {
    EXPECT_EQ(Normalized("255.255.255.255"), "255.255.25");
}

TEST(FixedField, CopiesUpToBlankTerminatorOrWidth) {
    char out[8];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(CopyFixedField("ABCDEFGHIJ", out, 5), 4);
    EXPECT_STREQ(out, "ABCD");
    EXPECT_EQ(out[5], 'X');  // nothing beyond the width is touched

    EXPECT_EQ(CopyFixedField("AB CD", out, 8), 2);
    EXPECT_EQ(std::string(out, 8), std::string("AB\0\0\0\0\0\0", 8));

    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(CopyFixedField(nullptr, out, 4), 0);
    EXPECT_EQ(std::string(out, 5), std::string("\0\0\0\0X", 5));

    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(CopyFixedField("ABC", out, 1), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'X');
    EXPECT_EQ(CopyFixedField("ABC", out, 0), 0);
    EXPECT_EQ(CopyFixedField("ABC", out, -3), 0);
    EXPECT_EQ(out[1], 'X');
}

TEST(FixedField, ReadsFixedWidthFieldWithoutTerminator) {
    const char field[4] = {'A', 'B', 'C', 'D'};  // no terminator: the width bounds the read
    char out[4];
    EXPECT_EQ(CopyFixedField(field, out, 4), 3);
    EXPECT_STREQ(out, "ABC");
}

// ----------------------------------------------------------- return code --

TEST(ReturnCode, WritesTwoDigitsWithoutTerminator) {
    char field[3] = {'?', '?', 'Z'};
    SetCobolReturnCode(kIdAPTYP01B, Code{7}, field, "Terminal=T01");
    EXPECT_EQ(std::string(field, 3), "07Z");
    SetCobolReturnCode(kIdAPTYP01B, Code{0}, field, "Terminal=T01");
    EXPECT_EQ(std::string(field, 3), "00Z");
    SetCobolReturnCode(kIdAPTYP01B, Code{99}, field, "Terminal=T01");
    EXPECT_EQ(std::string(field, 3), "99Z");
}

TEST(ReturnCode, CodeOutsideRangeBecomesOneWithMessageInLog) {
    for (int bad : {100, -1}) {
        char field[2] = {'?', '?'};
        StdoutCapture out;
        SetCobolReturnCode(kIdAPTYP01B, Code{bad}, field, "Terminal=T01");
        // The first record of the process must reach the log, not the screen.
        EXPECT_EQ(out.Take(), "");
        EXPECT_EQ(std::string(field, 2), "01");
        std::string expected = ";xelbde;SetCobolReturnCode;0001;0001;00000;"
                               "Programminterner Fehler: ungueltiger Returncode (" +
                               std::to_string(bad) + ");\n";
        EXPECT_NE(Log().find(expected), std::string::npos) << Log();
    }
}

TEST(ReturnCode, OperationsRecordOnlyWhenLevelAdmitsIt) {
    char field[2];
    SetCobolReturnCode(kIdAPDLC00B, Code{5}, field, "Terminal=T01");
    EXPECT_EQ(std::string(field, 2), "05");
    EXPECT_EQ(Log().find(";0100;"), std::string::npos) << Log();
}

TEST(ReturnCode, OperationsRecordWithApiNameAtLevelZero) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    char field[2];
    SetCobolReturnCode(kIdAPTYP01B, Code{7}, field, "Terminal=T01 Typ=5214-031");
    SetCobolReturnCode(kIdAPDSPPGE, Code{0}, field, "Terminal=T02");
    std::string log = Log();
    EXPECT_NE(log.find(";xelbde;APTYP01B;0100;0007;00000;Terminal=T01 Typ=5214-031;\n"), std::string::npos) << log;
    EXPECT_NE(log.find(";xelbde;APDSPPGE;0100;0000;00000;Terminal=T02;\n"), std::string::npos) << log;
}

TEST(ReturnCode, InvalidIdStillSetsFieldAndWritesRecord) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    char field[2];
    SetCobolReturnCode(kApiCount, Code{3}, field, nullptr);
    SetCobolReturnCode(-1, Code{4}, field, "x");
    EXPECT_EQ(std::string(field, 2), "04");
    EXPECT_NE(Log().find(";xelbde;?;0100;0003;00000;;\n"), std::string::npos) << Log();
}

// ---------------------------------------------------------- reply status --

TEST(ReplyStatus, TwoCharactersAsDecimalNumber) {
    EXPECT_EQ(ParseStatusCode("00"), Code{0});
    EXPECT_EQ(ParseStatusCode("42"), Code{42});
    EXPECT_EQ(ParseStatusCode(" 5"), Code{5});
    EXPECT_EQ(ParseStatusCode("5 "), Code{5});
    EXPECT_EQ(ParseStatusCode("+7"), Code{7});
    EXPECT_EQ(ParseStatusCode("-1"), Code{-1});
}

TEST(ReplyStatus, NeverReadsBeyondTheTwoCharacters) {
    // The status sits inside a frame; the byte after it is not part of it.
    EXPECT_EQ(ParseStatusCode(" 57"), Code{5});
    EXPECT_EQ(ParseStatusCode("-12"), Code{-1});
    EXPECT_EQ(ParseStatusCode("  7"), Code::kStatusNotNumeric);
}

TEST(ReplyStatus, NoNumberIsOutsideTheCodeRange) {
    for (const char* status : {"ab", "  ", "-", "- ", "\0\0", "x1"}) {
        int value = ToInt(ParseStatusCode(status));
        EXPECT_TRUE(value < 0 || value > 99) << status;
    }
    EXPECT_EQ(ParseStatusCode(nullptr), Code::kStatusNotNumeric);
}

TEST(ReplyStatus, NegativeAndNonNumericStatusEndAsCodeOne) {
    char field[2];
    SetCobolReturnCode(kIdAPRST00B, ParseStatusCode("-1"), field, "Terminal=T01");
    EXPECT_EQ(std::string(field, 2), "01");
    SetCobolReturnCode(kIdAPRST00B, ParseStatusCode("ab"), field, "Terminal=T01");
    EXPECT_EQ(std::string(field, 2), "01");
    std::string log = Log();
    EXPECT_NE(log.find("ungueltiger Returncode (-1);"), std::string::npos) << log;
    EXPECT_NE(log.find("ungueltiger Returncode (" + std::to_string(ToInt(Code::kStatusNotNumeric)) + ");"), std::string::npos)
        << log;
}

// ---------------------------------------------------------- registration --

TEST(Registration, ConnectRefusedWhenAlreadyConnected) {
    ASSERT_TRUE(RegisterApiFunction(kIdAPALC00B, "T01").ok());
    ASSERT_EQ(SetSocketHandle("T01", 42), Code::kOk);
    EXPECT_EQ(RegisterApiFunction(kIdAPALC00B, "T01").code, Code::kConnectionState);
}

TEST(Registration, OtherCallsNeedAConnection) {
    EXPECT_EQ(RegisterApiFunction(kIdAPTYP01B, "T01").code, Code::kConnectionState);
    ASSERT_EQ(SetSocketHandle("T01", 42), Code::kOk);
    SocketResult found = RegisterApiFunction(kIdAPTYP01B, "T01");
    EXPECT_EQ(found.code, Code::kOk);
    EXPECT_EQ(found.socket, 42);
    EXPECT_EQ(RegisterApiFunction(kIdAPTYP01B, "T02").code, Code::kConnectionState);
}

TEST(Registration, EmptyNameNeverBorrowsAFreeSlot) {
    ASSERT_EQ(InitApiLibrary(), Code::kOk);
    ASSERT_EQ(SetSocketHandle("T01", 42), Code::kOk);  // slot 1 onward are free, socket 0
    EXPECT_EQ(RegisterApiFunction(kIdAPALC00B, "").code, Code::kConnectionState);
    SocketResult found = RegisterApiFunction(kIdAPTYP01B, "");
    EXPECT_EQ(found.code, Code::kConnectionState);
    EXPECT_NE(found.socket, 0);
    EXPECT_EQ(RegisterApiFunction(kIdAPTYP01B, nullptr).code, Code::kConnectionState);
}

TEST(Registration, UnknownIdIsRefusedWithCodeOne) {
    for (int id : {kApiCount, -1}) EXPECT_EQ(RegisterApiFunction(id, "T01").code, Code::kInternal);
    std::string log = Log();
    EXPECT_NE(log.find(";xelbde;RegisterApiFunction;0001;0001;00000;"
                       "Interner Programmfehler: Unbekannte API-Funktion '25';\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Unbekannte API-Funktion '4294967295';"), std::string::npos) << log;
}

TEST(Registration, TracesAtHighestLevel) {
    ::setenv("DEBUG_LEVEL", "2", 1);
    char name[kNameBufferSize];
    NormalizeBdeName("T01", name);
    RegisterApiFunction(kIdAPTYP01B, name);
    std::string log = Log();
    EXPECT_NE(log.find(";xelbde.log;*** NormalizeBdeName ***;1600;"), std::string::npos) << log;
    EXPECT_NE(log.find("|T01.............|"), std::string::npos) << log;
    EXPECT_NE(log.find(";xelbde.log;*** RegisterApiFunction ***;1600;"), std::string::npos) << log;
    EXPECT_NE(log.find("|APTYP01B|"), std::string::npos) << log;
    EXPECT_NE(log.find(";xelbde.log;*** GetSocketHandle ***;1600;"), std::string::npos) << log;
}

// ----------------------------------------------------------- code table --

TEST(CodeTable, EveryLibraryCodeHasItsOwnMeaningAndName) {
    const int codes[] = {
        XELBDE_OK, XELBDE_INTERNAL, XELBDE_SOCKET_STARTUP, XELBDE_UNRESOLVED, XELBDE_NO_ADDRESS,
        XELBDE_CONNECT_TIMEOUT, XELBDE_DOWNLOAD_FILE_MISSING, XELBDE_SEND_FILE_OPEN, XELBDE_NO_FREE_MEMORY,
        XELBDE_CLOSE_OR_CREATE, XELBDE_UPLOAD_WRITE, XELBDE_EXCHANGE_FAILED, XELBDE_OUTPUT_OPEN,
        XELBDE_OUTPUT_WRITE, XELBDE_UPLOAD_MALFORMED, XELBDE_TABLE_LOCK_CREATE, XELBDE_INIT_LOCK,
        XELBDE_LOOKUP_LOCK_WAIT, XELBDE_LOOKUP_LOCK_RELEASE, XELBDE_LOOKUP_NOT_FOUND, XELBDE_ENTER_LOCK_WAIT,
        XELBDE_ENTER_LOCK_RELEASE, XELBDE_TABLE_FULL, XELBDE_REMOVE_LOCK_WAIT, XELBDE_REMOVE_LOCK_RELEASE,
        XELBDE_REMOVE_NOT_FOUND, XELBDE_CONNECTION_STATE, XELBDE_BAD_TERMINAL_DATA, XELBDE_TERMINAL_INI,
        XELBDE_ALREADY_REGISTERED, XELBDE_CLOCK, XELBDE_ADAPTER_ID, XELBDE_ADAPTER_DIAL, XELBDE_ADAPTER_HANGUP,
        XELBDE_ADAPTER_LINE_STATE, XELBDE_NO_ADAPTER, XELBDE_ISDN_ENTRY_MISSING, XELBDE_ADAPTER_BUSY,
        XELBDE_ISDN_IDENTIFICATION};
    EXPECT_EQ(ReturnCodeTable().size(), std::size(codes));
    const std::string terminal = XelbdeReturnCodeText(42);
    std::set<std::string> names = {XelbdeReturnCodeName(42), XelbdeReturnCodeName(100)};
    for (int code : codes) {
        EXPECT_NE(XelbdeReturnCodeText(code), terminal) << code;
        EXPECT_TRUE(names.insert(XelbdeReturnCodeName(code)).second) << code;
    }
    EXPECT_EQ(names, (std::set<std::string>{"ok", "internal", "socket-startup", "unresolved", "no-address",
        "connect-timeout", "download-file-missing", "send-file-open", "no-free-memory", "close-or-create",
        "upload-write", "exchange-failed", "output-open", "output-write", "upload-malformed", "table-lock-create",
        "init-lock", "lookup-lock-wait", "lookup-lock-release", "lookup-not-found", "enter-lock-wait",
        "enter-lock-release", "table-full", "remove-lock-wait", "remove-lock-release", "remove-not-found",
        "connection-state", "bad-terminal-data", "terminal-ini", "already-registered", "clock", "adapter-id",
        "adapter-dial", "adapter-hangup", "adapter-line-state", "no-adapter", "isdn-entry-missing", "adapter-busy",
        "isdn-identification", "terminal-status", "not-a-code"}));
    EXPECT_STREQ(XelbdeReturnCodeName(-1), "not-a-code");
    EXPECT_STREQ(XelbdeReturnCodeText(XELBDE_OK), "success");
    EXPECT_EQ(terminal, "status reported by the terminal");
    EXPECT_EQ(std::string(XelbdeReturnCodeText(2)), terminal);
    EXPECT_NE(std::string(XelbdeReturnCodeText(100)), terminal);
    EXPECT_NE(std::string(XelbdeReturnCodeText(-1)), terminal);
}

}  // namespace
