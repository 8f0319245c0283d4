/* SPDX-License-Identifier: MIT */
// The three kinds of numbers the library meets, kept apart: its own return
// codes (Code), the two-character statuses terminals and adapters send
// (TerminalStatus), and the socket layer's results (TcpcomCode). They are
// joined only by the mapping functions below; the two-digit field exists
// only at the C edge (SetCobolReturnCode).
#ifndef XELBDE_CODES_H
#define XELBDE_CODES_H

#include <span>

#include "tcpcom/tcpcom.h"
#include "xelbde/xelbde.h"

namespace xelbde {

// A return code of an API call: one of the library's own codes, or a status
// number a terminal or adapter reported. A status that holds no number is
// kStatusNotNumeric; the C edge turns every value outside 0 to 99 into 1.
enum class Code : int {
    kOk = XELBDE_OK,
    kInternal = XELBDE_INTERNAL,
    kSocketStartup = XELBDE_SOCKET_STARTUP,
    kUnresolved = XELBDE_UNRESOLVED,
    kNoAddress = XELBDE_NO_ADDRESS,
    kConnectTimeout = XELBDE_CONNECT_TIMEOUT,
    kDownloadFileMissing = XELBDE_DOWNLOAD_FILE_MISSING,
    kSendFileOpen = XELBDE_SEND_FILE_OPEN,
    kNoFreeMemory = XELBDE_NO_FREE_MEMORY,
    kCloseOrCreate = XELBDE_CLOSE_OR_CREATE,
    kUploadWrite = XELBDE_UPLOAD_WRITE,
    kExchangeFailed = XELBDE_EXCHANGE_FAILED,
    kOutputOpen = XELBDE_OUTPUT_OPEN,
    kOutputWrite = XELBDE_OUTPUT_WRITE,
    kUploadMalformed = XELBDE_UPLOAD_MALFORMED,
    kTableLockCreate = XELBDE_TABLE_LOCK_CREATE,
    kInitLock = XELBDE_INIT_LOCK,
    kLookupLockWait = XELBDE_LOOKUP_LOCK_WAIT,
    kLookupLockRelease = XELBDE_LOOKUP_LOCK_RELEASE,
    kLookupNotFound = XELBDE_LOOKUP_NOT_FOUND,
    kEnterLockWait = XELBDE_ENTER_LOCK_WAIT,
    kEnterLockRelease = XELBDE_ENTER_LOCK_RELEASE,
    kTableFull = XELBDE_TABLE_FULL,
    kRemoveLockWait = XELBDE_REMOVE_LOCK_WAIT,
    kRemoveLockRelease = XELBDE_REMOVE_LOCK_RELEASE,
    kRemoveNotFound = XELBDE_REMOVE_NOT_FOUND,
    kConnectionState = XELBDE_CONNECTION_STATE,
    kBadTerminalData = XELBDE_BAD_TERMINAL_DATA,
    kTerminalIni = XELBDE_TERMINAL_INI,
    kAlreadyRegistered = XELBDE_ALREADY_REGISTERED,
    kClock = XELBDE_CLOCK,
    kAdapterId = XELBDE_ADAPTER_ID,
    kAdapterDial = XELBDE_ADAPTER_DIAL,
    kAdapterHangup = XELBDE_ADAPTER_HANGUP,
    kAdapterLineState = XELBDE_ADAPTER_LINE_STATE,
    kNoAdapter = XELBDE_NO_ADAPTER,
    kIsdnEntryMissing = XELBDE_ISDN_ENTRY_MISSING,
    kAdapterBusy = XELBDE_ADAPTER_BUSY,
    kIsdnIdentification = XELBDE_ISDN_IDENTIFICATION,
    kStatusNotNumeric = -100,
};

constexpr int ToInt(Code code) { return static_cast<int>(code); }

// A status as a terminal or adapter sends it: two characters, "00" for
// success, "01" for "go on" in the transfers.
struct TerminalStatus {
    char text[2];
    constexpr bool operator==(const TerminalStatus&) const = default;
};
inline constexpr TerminalStatus kStatusOk{{'0', '0'}};
inline constexpr TerminalStatus kStatusMore{{'0', '1'}};

// The number a status reads as: leading white space, an optional sign, the
// decimal digits of the two characters; kStatusNotNumeric when there are no
// digits. Never reads past the two characters (nor past a terminator).
Code ParseStatusCode(TerminalStatus status);
Code ParseStatusCode(const char* text);
// The code a reply status gives, the one rule every exchange applies: kOk
// for "00" only; a status whose number is 0 without being "00" ("0A", " 0",
// "+0") is no success but zeroReading (the exchange failed, unless the
// caller names another code), with an error record that shows the two
// bytes; any other status its number.
Code StatusCode(TerminalStatus status, Code zeroReading = Code::kExchangeFailed);
// A socket layer result passed on as the call's code: the connect failures
// keep their numbers (5, 6, 7, 17, 23), whatever the library's own codes of
// those numbers mean.
constexpr Code CodeOfSocketResult(int tcpcomResult) { return static_cast<Code>(tcpcomResult); }

// Every return code the library sets itself, ascending, with its short
// stable name and its meaning (XelbdeReturnCodeName and XelbdeReturnCodeText
// read it).
struct ReturnCodeMeaning {
    Code code;
    const char* name;  // lower-case words joined by "-", e.g. "connect-timeout"
    const char* meaning;
};
std::span<const ReturnCodeMeaning> ReturnCodeTable();

}  // namespace xelbde

#endif
