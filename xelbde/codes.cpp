// SPDX-License-Identifier: MIT
// The return codes: the table that explains every code the library sets
// itself, the reading of terminal statuses as numbers, the text and name of a
// code, the number in a caller's rc field; and the library's version.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "tcpcom/internal.h"
#include "xelbde/codes.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr ReturnCodeMeaning kReturnCodes[] = {
    {Code::kOk, "ok", "success"},
    {Code::kInternal, "internal",
     "internal error: the initialisation lock XELBDE1 could not be released, or a code outside 0 to 99 "
     "(a negative or non-numeric terminal status, an unknown API function) was reported"},
    {Code::kSocketStartup, "socket-startup", "the socket library could not be started"},
    {Code::kUnresolved, "unresolved", "the terminal's address could not be resolved"},
    {Code::kNoAddress, "no-address", "the terminal's address could not be determined from its name, or no socket could be created"},
    {Code::kConnectTimeout, "connect-timeout", "the connection was not established within the time-out"},
    {Code::kDownloadFileMissing, "download-file-missing", "the download file is missing or empty"},
    {Code::kSendFileOpen, "send-file-open", "the file to be sent could not be opened, or reading it failed during the transfer"},
    {Code::kNoFreeMemory, "no-free-memory", "the terminal has not enough free memory for the download"},
    {Code::kCloseOrCreate, "close-or-create", "closing the connection failed, or the upload's target file could not be created"},
    {Code::kUploadWrite, "upload-write", "writing the upload's target file failed, or the upload exceeded 9999 blocks"},
    {Code::kExchangeFailed, "exchange-failed",
     "the exchange with the terminal or the ISDN adapter failed (send or receive failed, no reply within the "
     "time-out, a reply that does not match the request, an unknown terminal status, or a reply status that is "
     "not \"00\" yet reads as 0)"},
    {Code::kOutputOpen, "output-open", "the output file could not be opened, or the socket option could not be set during the connect"},
    {Code::kOutputWrite, "output-write",
     "writing the output file failed (for the memory page also a reply without 256 hexadecimal byte values)"},
    {Code::kUploadMalformed, "upload-malformed", "the upload reply was malformed"},
    {Code::kTableLockCreate, "table-lock-create", "the table lock XELBDE2 could not be created"},
    {Code::kInitLock, "init-lock", "the initialisation lock XELBDE1 could not be created or was not obtained within 60 seconds"},
    {Code::kLookupLockWait, "lookup-lock-wait", "lookup: the table lock was not obtained within 60 seconds (reported as 33)"},
    {Code::kLookupLockRelease, "lookup-lock-release", "lookup: the table lock could not be released (reported as 33)"},
    {Code::kLookupNotFound, "lookup-not-found", "lookup: the terminal is not in the connection table (reported as 33)"},
    {Code::kEnterLockWait, "enter-lock-wait", "the table lock was not obtained within 60 seconds while entering the terminal"},
    {Code::kEnterLockRelease, "enter-lock-release", "the table lock could not be released after entering the terminal"},
    {Code::kTableFull, "table-full", "all 512 slots of the connection table are in use"},
    {Code::kRemoveLockWait, "remove-lock-wait", "the table lock was not obtained within 60 seconds while removing the terminal"},
    {Code::kRemoveLockRelease, "remove-lock-release", "the table lock could not be released after removing the terminal"},
    {Code::kRemoveNotFound, "remove-not-found", "the terminal to be removed is not in the connection table"},
    {Code::kConnectionState, "connection-state",
     "the connection state does not fit the call: APALC00B for a terminal already connected (or an empty "
     "terminal name), any other function for a terminal not connected in this process"},
    {Code::kBadTerminalData, "bad-terminal-data",
     "the terminal's date and time are not valid, or its memory information could not be read"},
    {Code::kTerminalIni, "terminal-ini", "terminal.ini exists but could not be loaded"},
    {Code::kAlreadyRegistered, "already-registered", "the terminal's name is already in the connection table"},
    {Code::kClock, "clock",
     "the terminal's radio clock is not synchronised, the clocks differ by more than MaxDiff minutes, or the "
     "host clock could not be set"},
    {Code::kAdapterId, "adapter-id", "the ISDN adapter did not answer its identification command"},
    {Code::kAdapterDial, "adapter-dial", "the ISDN adapter did not answer the dial command"},
    {Code::kAdapterHangup, "adapter-hangup", "the ISDN adapter did not answer the hang-up command"},
    {Code::kAdapterLineState, "adapter-line-state", "the ISDN adapter's line state could not be read"},
    {Code::kNoAdapter, "no-adapter", "no ISDN adapter could be used"},
    {Code::kIsdnEntryMissing, "isdn-entry-missing", "the terminal or the adapter is missing from the ISDN entries"},
    {Code::kAdapterBusy, "adapter-busy", "the ISDN adapter's line is busy"},
    {Code::kIsdnIdentification, "isdn-identification", "the terminal did not acknowledge the ISDN identification exchange"},
};

constexpr bool CodesAscendAndFit() {
    int previous = -1;
    for (const ReturnCodeMeaning& entry : kReturnCodes) {
        if (ToInt(entry.code) <= previous || ToInt(entry.code) > 99) return false;
        for (const char* c = entry.name; *c != '\0'; ++c) {
            if (!((*c >= 'a' && *c <= 'z') || *c == '-')) return false;
        }
        previous = ToInt(entry.code);
    }
    return true;
}
static_assert(CodesAscendAndFit(), "return codes must be unique, ascending and two digits, their names lower-case words");

constexpr ReturnCodeMeaning kTerminalStatus{Code::kOk, "terminal-status", "status reported by the terminal"};
constexpr ReturnCodeMeaning kNotACode{Code::kStatusNotNumeric, "not-a-code", "not a return code"};

// The row of a code: its own, or the one for statuses and for numbers out of range.
const ReturnCodeMeaning& RowOf(int code) {
    if (code < 0 || code > 99) return kNotACode;
    for (const ReturnCodeMeaning& entry : kReturnCodes) {
        if (ToInt(entry.code) == code) return entry;
    }
    return kTerminalStatus;
}

}  // namespace

std::span<const ReturnCodeMeaning> ReturnCodeTable() { return kReturnCodes; }

Code ParseStatusCode(const char* text) {
    if (text == nullptr) return Code::kStatusNotNumeric;
    // Exactly the two status characters are read, never what follows them.
    const tcpcom::Decimal d = tcpcom::ScanDecimal(std::string_view(text, ::strnlen(text, 2)));
    if (!d.found) return Code::kStatusNotNumeric;
    const int value = static_cast<int>(d.magnitude);
    return static_cast<Code>(d.negative ? -value : value);
}

Code ParseStatusCode(TerminalStatus status) {
    const char text[3] = {status.text[0], status.text[1], '\0'};
    return ParseStatusCode(text);
}

Code StatusCode(TerminalStatus status, Code zeroReading) {
    if (status == kStatusOk) return Code::kOk;
    const Code number = ParseStatusCode(status);
    if (number != Code::kOk) return number;
    const auto byte = [&](int i) { return static_cast<unsigned char>(status.text[i]); };
    const auto shown = [&](int i) { return byte(i) >= 0x20 && byte(i) <= 0x7E && byte(i) != ';' ? byte(i) : '.'; };
    char text[64];
    std::snprintf(text, sizeof text, "Unbekannter Status '%c%c' (0x%02x 0x%02x)", shown(0), shown(1), byte(0), byte(1));
    XelbdeInitLog();
    TcpcomLog(kSourceXelbde, "StatusCode", kLogError, ToInt(zeroReading), 0, text, "");
    return zeroReading;
}

}  // namespace xelbde

extern "C" const char* XelbdeReturnCodeText(int code) { return xelbde::RowOf(code).meaning; }

extern "C" const char* XelbdeReturnCodeName(int code) { return xelbde::RowOf(code).name; }

extern "C" int XelbdeReturnCode(const char rc[2]) {
    if (rc == nullptr) return -1;
    const auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : -1; };
    const int tens = digit(rc[0]);
    const int units = tens < 0 ? -1 : digit(rc[1]);  // rc[1] is not read after a terminator
    return units < 0 ? -1 : tens * 10 + units;
}

#define XELBDE_TEXT(x) #x
#define XELBDE_VERSION_TEXT(major, minor, patch) XELBDE_TEXT(major) "." XELBDE_TEXT(minor) "." XELBDE_TEXT(patch)
extern "C" const char* XelbdeVersion() {
    return XELBDE_VERSION_TEXT(XELBDE_VERSION_MAJOR, XELBDE_VERSION_MINOR, XELBDE_VERSION_PATCH);
}
