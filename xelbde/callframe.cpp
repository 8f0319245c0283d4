// The call frame every API function runs in: the API names, the fixed-field
// copy and name normalisation, the one-time initialisation, the connection
// registry under its named locks, the two-digit return code with its
// operations-log record, and the table that explains every return code.
#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>

#include "xelbde/internal.h"

namespace xelbde {

const std::array<const char*, kApiCount> kApiNames = {
    "APALC00B", "APDLC00B", "APDNP00B", "APDNLOAD", "APUPL00B", "APSCL00B", "APDIR00B",
    "APEVT00B", "APEVT01B", "APSTS00B", "APQRYFIL", "APCNL00B", "APSTR00B", "APTYP00B",
    "APTYP01B", "APDMTVER", "APFMT00B", "APDEL00B", "APRTVCLK", "APSYNHST", "APRDRTYP",
    "APSYSDNL", "APSYSINI", "APRST00B", "APDSPPGE",
};

std::array<SocketSlot, kRegistrySlots> SocketHandleTable{};

namespace {

constexpr const char* kInitLockName = "XELBDE1";
constexpr const char* kTableLockName = "XELBDE2";

// Both are changed only while XELBDE1 is held.
bool g_firstCall = true;
MutexHandle g_tableLock{-1};

std::atomic<int> g_lockWaitMs{kLockWaitMs};

// XELBDE2 held for one scan of the table. The lock layer serialises the
// threads sharing the process-wide handle as well as the processes.
class TableLock {
  public:
    TableLock() = default;
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
    ~TableLock() {
        if (held_) Release();
    }

    bool Acquire() {
        held_ = MutexWait(&g_tableLock, LockWaitMs()) == 1;
        return held_;
    }

    bool Release() {
        held_ = false;
        return MutexRelease(&g_tableLock) != 0;
    }

  private:
    bool held_ = false;
};

// Every function that writes a record makes sure the XELBDE log exists first,
// so that an error record never ends up on standard output instead.
void LogError(const char* function, const char* message) {
    XelbdeInitLog();
    TcpcomLog(kSourceXelbde, function, kLogError, XELBDE_INTERNAL, 0, message, "");
}

void TraceText(const char* text, const char* title) {
    XelbdeTrace(text, static_cast<int>(::strnlen(text, kNameBufferSize)), title);
}

// A key the registry can hold: 1 to 15 characters. An empty name is the mark
// of a free slot and never names a terminal.
bool IsStorableName(const char* name) {
    if (name == nullptr) return false;
    std::size_t length = ::strnlen(name, kNameBufferSize);
    return length > 0 && length < static_cast<std::size_t>(kNameBufferSize);
}

bool SlotHolds(const SocketSlot& slot, const char* name) {
    return slot.name[0] != '\0' && std::strncmp(slot.name, name, kNameBufferSize) == 0;
}

// Index of the slot holding name, or -1. Caller holds XELBDE2.
int FindSlot(const char* name) {
    for (int i = 0; i < kRegistrySlots; ++i) {
        if (SlotHolds(SocketHandleTable[i], name)) return i;
    }
    return -1;
}

constexpr ReturnCodeMeaning kReturnCodes[] = {
    {XELBDE_OK, "success"},
    {XELBDE_INTERNAL,
     "internal error: the initialisation lock XELBDE1 could not be released, or a code outside 0 to 99 "
     "(a negative or non-numeric terminal status, an unknown API function) was reported"},
    {XELBDE_SOCKET_STARTUP, "the socket library could not be started"},
    {XELBDE_UNRESOLVED, "the terminal's address could not be resolved"},
    {XELBDE_NO_ADDRESS, "the terminal's address could not be determined from its name, or no socket could be created"},
    {XELBDE_CONNECT_TIMEOUT, "the connection was not established within the time-out"},
    {XELBDE_DOWNLOAD_FILE_MISSING, "the download file is missing or empty"},
    {XELBDE_SEND_FILE_OPEN, "the file to be sent could not be opened, or reading it failed during the transfer"},
    {XELBDE_NO_FREE_MEMORY, "the terminal has not enough free memory for the download"},
    {XELBDE_CLOSE_OR_CREATE, "closing the connection failed, or the upload's target file could not be created"},
    {XELBDE_UPLOAD_WRITE, "writing the upload's target file failed, or the upload exceeded 9999 blocks"},
    {XELBDE_EXCHANGE_FAILED,
     "the exchange with the terminal or the ISDN adapter failed (send or receive failed, no reply within the "
     "time-out, a reply that does not match the request, or an unknown terminal status)"},
    {XELBDE_OUTPUT_OPEN, "the output file could not be opened, or the socket option could not be set during the connect"},
    {XELBDE_OUTPUT_WRITE,
     "writing the output file failed (for the memory page also a reply without 256 hexadecimal byte values)"},
    {XELBDE_UPLOAD_MALFORMED, "the upload reply was malformed"},
    {XELBDE_TABLE_LOCK_CREATE, "the table lock XELBDE2 could not be created"},
    {XELBDE_INIT_LOCK, "the initialisation lock XELBDE1 could not be created or was not obtained within 60 seconds"},
    {XELBDE_LOOKUP_LOCK_WAIT, "lookup: the table lock was not obtained within 60 seconds (reported as 33)"},
    {XELBDE_LOOKUP_LOCK_RELEASE, "lookup: the table lock could not be released (reported as 33)"},
    {XELBDE_LOOKUP_NOT_FOUND, "lookup: the terminal is not in the connection table (reported as 33)"},
    {XELBDE_ENTER_LOCK_WAIT, "the table lock was not obtained within 60 seconds while entering the terminal"},
    {XELBDE_ENTER_LOCK_RELEASE, "the table lock could not be released after entering the terminal"},
    {XELBDE_TABLE_FULL, "all 512 slots of the connection table are in use"},
    {XELBDE_REMOVE_LOCK_WAIT, "the table lock was not obtained within 60 seconds while removing the terminal"},
    {XELBDE_REMOVE_LOCK_RELEASE, "the table lock could not be released after removing the terminal"},
    {XELBDE_REMOVE_NOT_FOUND, "the terminal to be removed is not in the connection table"},
    {XELBDE_CONNECTION_STATE,
     "the connection state does not fit the call: APALC00B for a terminal already connected (or an empty "
     "terminal name), any other function for a terminal not connected in this process"},
    {XELBDE_BAD_TERMINAL_DATA,
     "the terminal's date and time are not valid, or its memory information could not be read"},
    {XELBDE_TERMINAL_INI, "terminal.ini exists but could not be loaded"},
    {XELBDE_ALREADY_REGISTERED, "the terminal's name is already in the connection table"},
    {XELBDE_CLOCK,
     "the terminal's radio clock is not synchronised, the clocks differ by more than MaxDiff minutes, or the "
     "host clock could not be set"},
    {XELBDE_ADAPTER_ID, "the ISDN adapter did not answer its identification command"},
    {XELBDE_ADAPTER_DIAL, "the ISDN adapter did not answer the dial command"},
    {XELBDE_ADAPTER_HANGUP, "the ISDN adapter did not answer the hang-up command"},
    {XELBDE_ADAPTER_LINE_STATE, "the ISDN adapter's line state could not be read"},
    {XELBDE_NO_ADAPTER, "no ISDN adapter could be used"},
    {XELBDE_ISDN_ENTRY_MISSING, "the terminal or the adapter is missing from the ISDN entries"},
    {XELBDE_ADAPTER_BUSY, "the ISDN adapter's line is busy"},
    {XELBDE_ISDN_IDENTIFICATION, "the terminal did not acknowledge the ISDN identification exchange"},
};

constexpr bool CodesAscendAndFit() {
    int previous = -1;
    for (const ReturnCodeMeaning& entry : kReturnCodes) {
        if (entry.code <= previous || entry.code > 99) return false;
        previous = entry.code;
    }
    return true;
}
static_assert(CodesAscendAndFit(), "return codes must be unique, ascending and two digits");

// "%02.2d": two digits with a leading zero (the precision alone gives them;
// the zero flag it carries is ignored, which the compiler remarks on).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
void FormatCode(char* out, std::size_t size, int code) { std::snprintf(out, size, "%02.2d", code); }
#pragma GCC diagnostic pop

constexpr const char* kTerminalStatusText = "status reported by the terminal";
constexpr const char* kNotACodeText = "not a return code";

}  // namespace

std::span<const ReturnCodeMeaning> ReturnCodeTable() { return kReturnCodes; }

int LockWaitMs() { return g_lockWaitMs.load(); }

void SetLockWaitMsForTest(int milliseconds) { g_lockWaitMs.store(milliseconds); }

int CopyFixedField(const char* source, char* destination, int width) {
    if (destination == nullptr || width <= 0) return 0;
    std::memset(destination, 0, static_cast<std::size_t>(width));
    if (source == nullptr) return 0;
    int copied = 0;
    while (copied < width - 1 && source[copied] != '\0' && source[copied] != ' ') {
        destination[copied] = source[copied];
        ++copied;
    }
    return copied;
}

void NormalizeBdeName(const char* terminal, char destination[kNameBufferSize]) {
    char head[kNameBufferSize] = {};
    if (terminal != nullptr) {
        std::memcpy(head, terminal, ::strnlen(terminal, kNameBufferSize - 1));
    }
    XelbdeTrace(head, kNameBufferSize, "*** NormalizeBdeName ***");
    // A dotted address keeps up to 15 characters, a name up to 10. The
    // broadcast address parses to the failure value and so counts as a name.
    int width = inet_addr(head) != INADDR_NONE ? kNameBufferSize : 11;
    std::memset(destination, 0, kNameBufferSize);  // the whole key, not only the copied width
    CopyFixedField(terminal, destination, width);
}

int InitApiLibrary(int* code) {
    int ignored = 0;
    if (code == nullptr) code = &ignored;

    MutexHandle initLock{-1};
    if (!MutexCreate(kInitLockName, &initLock)) {
        *code = XELBDE_INIT_LOCK;
        return 0;
    }
    if (MutexWait(&initLock, LockWaitMs()) != 1) {
        *code = XELBDE_INIT_LOCK;
        MutexClose(&initLock);
        return 0;
    }
    if (g_firstCall) {
        SocketHandleTable.fill(SocketSlot{});
        if (!MutexCreate(kTableLockName, &g_tableLock)) {
            g_tableLock.fd = -1;
            *code = XELBDE_TABLE_LOCK_CREATE;
            MutexRelease(&initLock);
            MutexClose(&initLock);
            return 0;
        }
        g_firstCall = false;
    }
    int result = 1;
    if (!MutexRelease(&initLock)) {
        *code = XELBDE_INTERNAL;
        result = 0;
    }
    MutexClose(&initLock);
    return result;
}

int RegisterApiFunction(int id, const char* name, int* code, int* socket) {
    int ignoredCode = 0;
    int ignoredSocket = -1;
    if (code == nullptr) code = &ignoredCode;
    if (socket == nullptr) socket = &ignoredSocket;

    if (!InitApiLibrary(code)) return 0;

    if (id < 0 || id >= kApiCount) {
        char message[96];
        std::snprintf(message, sizeof message, "Interner Programmfehler: Unbekannte API-Funktion '%u'",
                      static_cast<unsigned>(id));
        LogError("RegisterApiFunction", message);
        // The call ends with the code its record carries.
        *code = XELBDE_INTERNAL;
        return 0;
    }

    const char* api = kApiNames[static_cast<std::size_t>(id)];
    XelbdeTrace(api, static_cast<int>(std::strlen(api)), "*** RegisterApiFunction ***");

    // An empty name is the mark of a free slot: it never names a connection,
    // for the connect (nothing could be entered under it) as for every other
    // call (which would otherwise borrow a free slot's socket 0).
    if (name == nullptr || name[0] == '\0') {
        *code = XELBDE_CONNECTION_STATE;
        return 0;
    }

    bool found = GetSocketHandle(name, socket, code) == 1;
    if (id == kIdAPALC00B) {
        if (found) {
            *code = XELBDE_CONNECTION_STATE;
            return 0;
        }
        return 1;
    }
    if (!found) {
        *code = XELBDE_CONNECTION_STATE;
        return 0;
    }
    return 1;
}

int GetSocketHandle(const char* name, int* socket, int* code) {
    int ignoredCode = 0;
    int ignoredSocket = -1;
    if (code == nullptr) code = &ignoredCode;
    if (socket == nullptr) socket = &ignoredSocket;
    if (name == nullptr) name = "";

    TraceText(name, "*** GetSocketHandle ***");
    if (!IsStorableName(name)) {
        // No slot can hold it; an empty name must not find a free slot.
        *socket = -1;
        *code = XELBDE_LOOKUP_NOT_FOUND;
        return 0;
    }
    TableLock lock;
    if (!lock.Acquire()) {
        *code = XELBDE_LOOKUP_LOCK_WAIT;
        return 0;
    }
    *socket = -1;
    int slot = FindSlot(name);
    if (slot >= 0) *socket = SocketHandleTable[static_cast<std::size_t>(slot)].socket;
    if (!lock.Release()) {
        *code = XELBDE_LOOKUP_LOCK_RELEASE;
        return 0;
    }
    if (slot < 0) {
        *code = XELBDE_LOOKUP_NOT_FOUND;
        return 0;
    }
    *code = XELBDE_OK;
    return 1;
}

int SetSocketHandle(const char* name, int socket, int* code) {
    int ignoredCode = 0;
    if (code == nullptr) code = &ignoredCode;
    if (name == nullptr) name = "";

    TraceText(name, "*** SetSocketHandle ***");
    if (!IsStorableName(name)) {
        // An empty name would leave the slot marked free; a longer one could
        // only be stored cut and would never be found again.
        *code = XELBDE_INTERNAL;
        return 0;
    }
    TableLock lock;
    if (!lock.Acquire()) {
        *code = XELBDE_ENTER_LOCK_WAIT;
        return 0;
    }
    // The whole table is searched for the name before a slot is taken, so a
    // name is never entered twice, whatever slot was freed before it.
    if (FindSlot(name) >= 0) {
        lock.Release();
        *code = XELBDE_ALREADY_REGISTERED;
        return 0;
    }
    bool entered = false;
    for (SocketSlot& slot : SocketHandleTable) {
        if (slot.name[0] == '\0') {
            std::memset(slot.name, 0, sizeof slot.name);
            std::memcpy(slot.name, name, std::strlen(name));
            slot.socket = socket;
            entered = true;
            break;
        }
    }
    if (!lock.Release()) {
        *code = XELBDE_ENTER_LOCK_RELEASE;
        return 0;
    }
    if (!entered) {
        *code = XELBDE_TABLE_FULL;
        return 0;
    }
    *code = XELBDE_OK;
    return 1;
}

int ReleaseSocketHandle(const char* name, int* code) {
    int ignoredCode = 0;
    if (code == nullptr) code = &ignoredCode;
    if (name == nullptr) name = "";

    TraceText(name, "*** ReleaseSocketHandle ***");
    if (!IsStorableName(name)) {
        // Never entered, and an empty name must not clear a free slot.
        *code = XELBDE_REMOVE_NOT_FOUND;
        return 0;
    }
    TableLock lock;
    if (!lock.Acquire()) {
        *code = XELBDE_REMOVE_LOCK_WAIT;
        return 0;
    }
    int slot = FindSlot(name);
    if (slot >= 0) SocketHandleTable[static_cast<std::size_t>(slot)] = SocketSlot{};
    if (!lock.Release()) {
        *code = XELBDE_REMOVE_LOCK_RELEASE;
        return 0;
    }
    if (slot < 0) {
        *code = XELBDE_REMOVE_NOT_FOUND;
        return 0;
    }
    *code = XELBDE_OK;
    return 1;
}

int SetCobolReturnCode(int id, int code, char* field, const char* text) {
    if (code < 0 || code > 99) {
        char message[96];
        std::snprintf(message, sizeof message, "Programminterner Fehler: ungueltiger Returncode (%d)", code);
        LogError("SetCobolReturnCode", message);
        code = XELBDE_INTERNAL;
    }
    // The caller's field is written before the record, so the code arrives
    // even when the log cannot be written.
    char digits[16];
    FormatCode(digits, sizeof digits, code);
    if (field != nullptr) std::memcpy(field, digits, 2);

    XelbdeInitLog();
    const char* function = (id >= 0 && id < kApiCount) ? kApiNames[static_cast<std::size_t>(id)] : "?";
    return TcpcomLog(kSourceXelbde, function, kLogOperation, code, 0, text != nullptr ? text : "", "");
}

int ParseStatusCode(const char* status) {
    // Exactly the two status characters are read, never what follows them in
    // the frame: optional white space, an optional sign, decimal digits.
    if (status == nullptr) return kStatusNotNumeric;
    char text[3] = {status[0], status[0] != '\0' ? status[1] : '\0', '\0'};
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') return kStatusNotNumeric;
    int value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
    return negative ? -value : value;
}

}  // namespace xelbde

extern "C" const char* XelbdeReturnCodeText(int code) {
    if (code < 0 || code > 99) return xelbde::kNotACodeText;
    for (const xelbde::ReturnCodeMeaning& entry : xelbde::ReturnCodeTable()) {
        if (entry.code == code) return entry.meaning;
    }
    return xelbde::kTerminalStatusText;
}

namespace xelbde {

void FormatParamText(char (&text)[kParamTextSize], const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

int WriteOutputFile(const char* path, const unsigned char* data, int length) {
    if (path == nullptr) return XELBDE_OUTPUT_OPEN;
    int fd = OpenWithRetry(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kShareDenyReadWrite, 0666);
    if (fd < 0) return XELBDE_OUTPUT_OPEN;
    bool written = true;
    for (int done = 0; done < length;) {
        ssize_t w = ::write(fd, data + done, static_cast<std::size_t>(length - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            written = false;
            break;
        }
        done += static_cast<int>(w);
    }
    if (CloseIfOpen(fd) != 0) written = false;
    return written ? XELBDE_OK : XELBDE_OUTPUT_WRITE;
}

}  // namespace xelbde
