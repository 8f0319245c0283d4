// Internal interfaces of the terminal API library, shared by its units:
// the call frame and registry, the XELBDE log, frames, connection, ISDN
// dial-up and the command families. Not part of the C ABI.
#ifndef XELBDE_INTERNAL_H
#define XELBDE_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "tcpcom/tcpcom.h"
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
inline constexpr int kRegistrySlots = 512;
inline constexpr int kLockWaitMs = 60000;

inline constexpr const char* kSourceXelbde = "xelbde";

struct SocketSlot {
    char name[kNameBufferSize];
    int32_t socket;
};
extern std::array<SocketSlot, kRegistrySlots> SocketHandleTable;

int CopyFixedField(const char* source, char* destination, int width);
void NormalizeBdeName(const char* terminal, char destination[kNameBufferSize]);
int InitApiLibrary(int* code);
int RegisterApiFunction(int id, const char* name, int* code, int* socket);
int GetSocketHandle(const char* name, int* socket, int* code);
int SetSocketHandle(const char* name, int socket, int* code);
int ReleaseSocketHandle(const char* name, int* code);
int SetCobolReturnCode(int id, int code, char* field, const char* text);
// The two status characters as a number ("%2d"); a status holding no number
// gives kStatusNotNumeric, which SetCobolReturnCode turns into code 1.
int ParseStatusCode(const char* status);

// Helpers of the command units' call frames.
// Formats a parameter text, cut at its buffer's end (the log keeps 200 characters).
[[gnu::format(printf, 2, 3)]] void FormatParamText(char (&text)[kParamTextSize], const char* format, ...);
const char* TextOrEmpty(const char* text);  // a null text argument counts as empty
// Creates or truncates an output file (sharing denied, read and write
// permission less the umask) and writes data into it: 0, 17 when it cannot
// be opened, 18 when not all was written (the partial file stays).
int WriteOutputFile(const char* path, const unsigned char* data, int length);
inline constexpr int kStatusNotNumeric = -100;

// Every return code the library sets itself, ascending, with its meaning
// (XelbdeReturnCodeText reads it).
struct ReturnCodeMeaning {
    int code;
    const char* meaning;
};
std::span<const ReturnCodeMeaning> ReturnCodeTable();

// The wait limit MutexWait is given by the registry and table code. Tests
// shorten it; production always uses kLockWaitMs.
int LockWaitMs();
void SetLockWaitMsForTest(int milliseconds);

// ---------------------------------------------------------- XELBDE log --

int XelbdeInitLog();
void XelbdeTrace(const void* data, int length, const char* title);
const char* XelbdeLogFileName();  // DEBUG_FILE or "xelbde.log", set by XelbdeInitLog

// -------------------------------------------------------------- frames --

inline constexpr int kStatusFrameLen = 12;
inline constexpr int kShortFrameLen = 526;
inline constexpr int kLongFrameLen = 1920;
inline constexpr std::byte kRequestMarker[2] = {std::byte{0xCA}, std::byte{0xCE}};
inline constexpr std::byte kReplyMarker[2] = {std::byte{0xCE}, std::byte{0xCA}};
inline constexpr unsigned char kScreenClear[4] = {0x1B, '[', '2', 'J'};

// Status frame offsets.
inline constexpr int kStatusReqCode = 7;    // 7-8: request code / terminal status
inline constexpr int kStatusEndMarker = 9;  // 9-10

// Short frame offsets.
inline constexpr int kShortCommand = 9;  // 9-10: command / status
inline constexpr int kShortData = 12;    // 12-523
inline constexpr int kShortDataLen = 512;
inline constexpr int kShortEndMarker = 524;

// Long frame offsets.
inline constexpr int kLongCommand = 3;  // 3-11
inline constexpr int kLongCommandLen = 9;
inline constexpr int kLongObjectType = 11;
inline constexpr int kLongStatus = 49;  // 49-50: request code / status
inline constexpr int kLongProgram = 72; // 72-79
inline constexpr int kLongData = 81;    // 81-1872
inline constexpr int kLongDataLen = 1792;
inline constexpr int kLongEndMarker = 1917;

inline constexpr unsigned char kEndOfFileData = 0xA6;
inline constexpr unsigned char kEndOfProgramData = 0x2E;

inline constexpr unsigned char kTypeQuery[2] = {0xBD, 0xF7};
inline constexpr unsigned char kSystemInit[2] = {0xF7, 0xF7};

struct TerminalType {
    unsigned char status[2];
    int32_t reserved1;
    int32_t klass;
    int32_t variant;
    int32_t reserved2;
    char model[5];
    char designation[10];
};

void BuildStatusFrame(unsigned char* frame /* 526 */, const unsigned char requestCode[2]);
void BuildShortFrame(unsigned char* frame /* 526 */);
void BuildLongFrame(unsigned char* frame /* 1920 */);
// The terminal programs named at 72-79 of a long frame.
inline constexpr int kLongProgramLen = 8;
inline constexpr char kProgramQueries[] = "GFCUPL00";  // queries, upload, identification
inline constexpr char kProgramDataDownload[] = "GFCDNL50";  // data files; also the upload reset
inline constexpr char kProgramProgramDownload[] = "GFCDNL00";
inline constexpr char kProgramSystemDownload[] = "GFCDNL20";
void SetLongProgram(unsigned char* frame, const char* program /* 8 characters */);
// BuildLongFrame, then the 9 bytes of command at 3-11 (nullptr leaves the
// field blank) and the program at 72-79.
void BuildLongRequest(unsigned char* frame, const char* command, const char* program);
int ShortTransaction(int socket, const unsigned char* frame, unsigned char* reply /* 526 or nullptr */);
int LongTransaction(int socket, const unsigned char* frame, unsigned char* reply /* 1920 or nullptr */);
int GetBdeTimeout();
int CachedBdeTimeout();  // the value GetBdeTimeout cached (0 before the first call)
int SendKorvoCommand(int socket, const unsigned char requestCode[2], TerminalType* type);
// The reply status of a long or short frame as a return code: "00" gives 0,
// anything else ParseStatusCode of it.
int ReplyStatusCode(const unsigned char* status);

// ---------------------------------------------------------- connection --

struct TerminalEntry {
    char name[10];
    char klasse[4];
    char ueberhang[3];
    char ip[15];
    char vorwahl[10];
    char nummer[15];
    char durchwahl[5];
    char terminalid[5];
};
inline constexpr int kTerminalTableRows = 512;
extern std::array<TerminalEntry, kTerminalTableRows> TerminalTable;

inline constexpr int kIniPathSize = 384;

const char* GetTerminalIniPath();  // nullptr when the path cannot be built
bool FileExists(const char* path);
bool LoadTerminalTable();
// Applies the reading rules to a whole file image held in memory (the
// reading part of LoadTerminalTable); zeroes the table first.
void ParseTerminalIni(const char* data, std::size_t length);
bool FindTerminalEntry(const char* name, TerminalEntry* entry /* may be nullptr */);
// Copies row index of the table; false past the end of the table (the first
// row with an empty name, or row 512).
bool CopyTerminalRow(std::size_t index, TerminalEntry* entry);
bool QueryISDNAdapter(const char* name);
// Reads the ip field as four dotted numbers; false when it does not, or
// when they give 0.0.0.0.
bool ParseEntryAddress(const TerminalEntry& entry, unsigned char address[4]);
bool ResolveTerminalAddress(const char* name, unsigned char address[4], int* port);
int ConnectTerminal(const char* name, const unsigned char address[4], int port, int timeout, int* socket);
int HangUpIsdnTerminal(int socket);

// ----------------------------------------------------------------- ISDN --

int ConnectIsdnTerminal(const char* terminal);
int DialIsdnTerminal(const char* terminal, const char* adapter, int socket);
int QueryAdapterStatus(int socket, bool* busy);
int SendAdapterId(int socket, const char* identifier);
int DialNumber(int socket, const char* number, const char ueberhang[3]);
bool SendIsdnIdentification(int socket, const char* terminal, const char* identifier, const char* number);
bool ExtractDigits(char destination[32], const char* field, int n);
// Position just after the first occurrence of tag, or -1.
int FindTag(const unsigned char* reply, int length, const char* tag);

// --------------------------------------------------------------- clocks --

int ParseTwoDigits(const char* text, int length, int* value, bool nonZero);
int PortableSetLocalTime(const struct tm* time);
// The one place that sets the host clock: returns 0 or an errno value.
// Tests replace it; nothing else does.
using HostClockSetter = int (*)(const struct tm* localTime);
HostClockSetter SetHostClockSetter(HostClockSetter setter);  // returns the previous one

// ------------------------------------------------------------- download --

int SendFile(int socket, int kind, const char* hostFile, const char* objectName, char replace);
int SendFileBlock(int socket, int kind, const char* objectName, const unsigned char* data, int length,
                  char replace, int block);
long GetFileSize(const char* name);
int CheckFreeSpace(int socket, long size);
// How SendFile reads the host file (read(2) unless a test makes reads fail):
// returns the count, 0 at the end, -1 with errno on an error.
using HostFileReader = long (*)(int fd, void* buffer, std::size_t length);
HostFileReader SetHostFileReader(HostFileReader reader);  // nullptr restores read(2); returns the previous one

// --------------------------------------------------------------- upload --

int UploadFile(int socket, const char* hostFile, const char* terminalFile, char deleteFlag);
int UploadBlock(int socket, const char* terminalFile, const unsigned char* previous, int length, char deleteFlag,
                unsigned char* block, int* blockLength);
// Places a terminal file name in bytes 3-10 of a long frame as the upload,
// delete and acknowledgement frames do.
void PlaceTerminalFileName(unsigned char* frame, const char* name);

// ------------------------------------------------------------ log display --

struct DisplayRecord {
    char timestamp[15];
    char source[31];
    char function[71];
    char levelText[16];
    char rcText[16];
    char errnumText[16];
    int level;
    int rc;
    int errnum;
    char text[201];      // after parsing: the parameter text
    char terminal[20];   // the terminal name taken from the text
};

int FilterLogRecord(const char* line, DisplayRecord* record, const char* terminal, const char* from,
                    const char* to, const char* function, const char* reserved1, const char* reserved2,
                    const char* selection);

}  // namespace xelbde

#endif
