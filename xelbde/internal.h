/* SPDX-License-Identifier: MIT */
// Internal interfaces of the terminal API library, shared by its units: the
// call frame, the registry, the XELBDE log, the host side (files and clock),
// the connection, ISDN dial-up and the command families. Not part of the C
// ABI. Frames live in frames.h, the kinds of numbers in codes.h.
#ifndef XELBDE_INTERNAL_H
#define XELBDE_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"
#include "xelbde/codes.h"
#include "xelbde/frames.h"
#include "xelbde/terminalini.h"
#include "xelbde/xelbde.h"

namespace xelbde {

// ------------------------------------------------------------ call frame --

// Indexes kApiNames; the name is the function field of the operations log.
enum ApiFunctionId : int {
    kIdAPALC00B = 0,
    kIdAPDLC00B = 1,
    kIdAPDNP00B = 2,
    kIdAPDNLOAD = 3,
    kIdAPUPL00B = 4,
    kIdAPSCL00B = 5,
    kIdAPDIR00B = 6,
    kIdAPEVT00B = 7,
    kIdAPEVT01B = 8,
    kIdAPSTS00B = 9,
    kIdAPQRYFIL = 10,
    kIdAPCNL00B = 11,
    kIdAPSTR00B = 12,
    kIdAPTYP00B = 13,
    kIdAPTYP01B = 14,
    kIdAPDMTVER = 15,
    kIdAPFMT00B = 16,
    kIdAPDEL00B = 17,
    kIdAPRTVCLK = 18,
    kIdAPSYNHST = 19,
    kIdAPRDRTYP = 20,
    kIdAPSYSDNL = 21,
    kIdAPSYSINI = 22,
    kIdAPRST00B = 23,
    kIdAPDSPPGE = 24,
};
inline constexpr int kApiCount = 25;
extern const std::array<const char*, kApiCount> kApiNames;

inline constexpr int kNameBufferSize = 16;   // normalised terminal name + terminator
inline constexpr int kParamTextSize = 256;   // parameter text buffer (the log keeps 200)
inline constexpr int kFileNameField = 260;   // file names copied by CopyFixedField: at most 259 characters
inline constexpr int kLockWaitMs = 60000;

inline constexpr const char* kSourceXelbde = "xelbde";

int CopyFixedField(const char* source, char* destination, int width);
void NormalizeBdeName(const char* terminal, char destination[kNameBufferSize]);
const char* TextOrEmpty(const char* text);  // a null text argument counts as empty

// One API call. It normalises the terminal name, starts the parameter text
// with "Terminal=NAME", registers the call on the terminal's connection
// when asked to, and when it ends always writes the two-digit code into the
// caller's field and one record into the operations log. An API function is
// then its parameters, the rest of its parameter text and its work.
class ApiCall {
  public:
    ApiCall(ApiFunctionId id, const char* terminal, char* rc);
    ~ApiCall();
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;

    const char* name() const { return name_; }
    // The parameter text after "Terminal=NAME " (printf style; the log
    // keeps 200 characters of the whole text). May be given again.
    [[gnu::format(printf, 2, 3)]] void Describe(const char* format, ...);
    // Finds the connection the call runs on (for APALC00B: makes sure there
    // is none yet). False when the call cannot run; its code is set then.
    bool Register();
    const Session& session() const { return session_; }
    void Finish(Code code) { code_ = code; }

  private:
    ApiFunctionId id_;
    char* rc_;
    Code code_ = Code::kOk;
    Session session_;
    int slot_ = -1;  // the registry slot the call runs on
    char name_[kNameBufferSize];
    char text_[kParamTextSize];
};

// The C edge: the code as two digits into the caller's field (a code outside
// 0 to 99 becomes 1 with an error record), then the operations record.
int SetCobolReturnCode(int id, Code code, char* field, const char* text);

// The parameter text of an operations record begins with the terminal's
// name; the listing reads it back with SplitOperationText.
inline constexpr std::string_view kTerminalKey = "Terminal=";
struct OperationText {
    std::string_view terminal;    // the name after "Terminal=", up to a blank or ";"
    std::string_view parameters;  // what follows the character that ended the name
};
std::optional<OperationText> SplitOperationText(std::string_view text);

// -------------------------------------------------------------- registry --

inline constexpr int kRegistrySlots = 512;

struct SocketSlot {
    char name[kNameBufferSize];
    int32_t socket;
};

// A connection found, entered or opened: the socket, or the code that says
// why there is none.
struct SocketResult {
    Code code = Code::kOk;
    int socket = -1;
    int slot = -1;  // the registry slot that holds it, when found there
    bool ok() const { return code == Code::kOk; }
};

Code InitApiLibrary();
SocketResult RegisterApiFunction(int id, const char* name);
SocketResult GetSocketHandle(const char* name);
Code SetSocketHandle(const char* name, int socket);
Code ReleaseSocketHandle(const char* name);
// The calls running on the connection of a slot, for XelbdeCancel: a call
// begins on it when it registers (and then answers to the slot's cancel
// mark) and ends with its record; the mark clears when the last call ends.
const tcpcom::CancelMark* BeginCallOn(int slot);
void EndCallOn(int slot);
// The slots themselves, for tests that look at or spoil them.
std::array<SocketSlot, kRegistrySlots>& RegistrySlotsForTest();

// The wait limit MutexWait is given by the registry and the terminal table.
// Tests shorten it; production always uses kLockWaitMs.
int LockWaitMs();
void SetLockWaitMsForTest(int milliseconds);

// ---------------------------------------------------------- XELBDE log --

int XelbdeInitLog();
void XelbdeTrace(const void* data, int length, const char* title);
const char* XelbdeLogFileName();  // DEBUG_FILE or "xelbde.log", chosen once, without starting the log

// ------------------------------------------------------------- the host --

// Creates or truncates an output file (sharing denied, read and write
// permission less the umask) and writes data into it: kOk, kOutputOpen when
// it cannot be opened, kOutputWrite when not all was written (the partial
// file stays).
Code WriteOutputFile(const char* path, std::span<const unsigned char> data);

// The two ways to the host that tests replace, each behind one function.
// How a file to be sent is read: read(2) unless a test makes reads fail;
// the count, 0 at the end, -1 with errno on an error.
using HostFileReader = long (*)(int fd, void* buffer, std::size_t length);
HostFileReader SetHostFileReader(HostFileReader reader);  // nullptr restores read(2); returns the previous one
long ReadHostFile(int fd, void* buffer, std::size_t length);
// How the host clock is set: 0 or an errno value. Nothing else sets it.
using HostClockSetter = int (*)(const struct tm* localTime);
HostClockSetter SetHostClockSetter(HostClockSetter setter);  // nullptr restores the real clock
int SetHostClock(const struct tm* localTime);

// The progress of the calling thread's transfer, to its registered
// callback if it has one (nothing happens otherwise).
void ReportProgress(ApiFunctionId function, long long bytesDone, long long bytesTotal, long blocks, bool done);

// ---------------------------------------------------------- connection --

// The process-wide table of terminal.ini's sections (terminalini.h).
extern TerminalRows TerminalTable;

inline constexpr int kIniPathSize = 384;

// nullptr when the path cannot be built; *failure (when given) then says
// why: kInitLock when its lock could not be had, else left as it was.
const char* GetTerminalIniPath(Code* failure = nullptr);
bool FileExists(const char* path);
bool LoadTerminalTable();
// Loads the table from a whole file image held in memory, as
// LoadTerminalTable does from the file.
void ParseTerminalIni(const char* data, std::size_t length);
// The entry of that name (without regard to case); when no entry has
// exactly that name, the first whose name begins with it.
bool FindTerminalEntry(const char* name, TerminalEntry* entry /* may be nullptr */);
// Copies row index of the table; false past the end of the table (the first
// row with an empty name, or row 512).
bool CopyTerminalRow(std::size_t index, TerminalEntry* entry);
bool QueryISDNAdapter(const char* name);

using IpAddress = std::array<unsigned char, 4>;  // network order: first number first
struct Endpoint {
    IpAddress address;
    int port;
};
// The ip field read as four dotted numbers; none when it does not read so,
// or when they give 0.0.0.0.
std::optional<IpAddress> ParseEntryAddress(const TerminalEntry& entry);
std::optional<Endpoint> ResolveTerminalAddress(const char* name);
// Connects and enters the socket under the name.
SocketResult ConnectTerminal(const char* name, const Endpoint& endpoint, int timeout);
Code HangUpIsdnTerminal(const Session& session);

// ----------------------------------------------------------------- ISDN --

Code ConnectIsdnTerminal(const char* terminal);
Code DialIsdnTerminal(const char* terminal, const char* adapter, const Session& session);
// The adapter's line state: kOk when free, kAdapterBusy when busy.
Code QueryAdapterStatus(const Session& session);
Code SendAdapterId(const Session& session, const char* identifier);
Code DialNumber(const Session& session, const char* number, const char ueberhang[3]);
bool SendIsdnIdentification(const Session& session, const char* terminal, const char* identifier,
                            const char* number);
bool ExtractDigits(char destination[32], const char* field, int n);
// Position just after the first occurrence of tag, or -1.
int FindTag(std::span<const unsigned char> reply, const char* tag);

// --------------------------------------------------------------- clocks --

// Two digits of a date or time field: kOk, or kBadTerminalData when nonZero
// is asked for and the field reads as 0.
Code ParseTwoDigits(const char* text, int length, int* value, bool nonZero);
// The terminal's time as APRTVCLK delivers it (YYMMDDHHMMSS) as the host's
// local time (two-digit years below 80 are 2000 to 2079, the rest 1980 to
// 1999), for mktime; kBadTerminalData when a field is out of range.
Code ReadTerminalTime(const char* dateTime, struct tm* time);
Code PortableSetLocalTime(const struct tm* time);

// ------------------------------------------------------------- download --

// The outcome of one block sent: the terminal asks for more, or the code
// the transfer ends with.
struct BlockReply {
    bool more = false;
    Code code = Code::kOk;
};
Code SendFile(const Session& session, ApiFunctionId kind, const char* hostFile, const char* objectName,
              char replace);
BlockReply SendFileBlock(const Session& session, ApiFunctionId kind, const char* objectName,
                         std::span<const unsigned char> data, char replace, int block);
long GetFileSize(const char* name);
Code CheckFreeSpace(const Session& session, long size);

// --------------------------------------------------------------- upload --

// One block asked for: the reply, whose data area holds the block's length
// bytes (0 to 1792), and whether it was the last; or the code the upload
// ends with.
struct UploadedBlock {
    Code code = Code::kOk;
    int length = 0;
    bool last = false;
    LongFrame reply;
};
Code UploadFile(const Session& session, const char* hostFile, const char* terminalFile, char deleteFlag);
// Asks for the next block, echoing the previous one (blanks before the first).
UploadedBlock UploadBlock(const Session& session, const char* terminalFile,
                          std::span<const unsigned char, LongFrame::kDataLen> previous);

// ------------------------------------------------------------ log display --

// A record of the log as the listing reads it: the fields the writer wrote,
// and the terminal's name taken from the parameter text.
struct DisplayRecord {
    LogRecord log;
    char terminal[20];
};

int FilterLogRecord(const char* line, DisplayRecord* record, const char* terminal, const char* from,
                    const char* to, const char* function, const char* reserved1, const char* reserved2,
                    const char* selection);

}  // namespace xelbde

#endif
