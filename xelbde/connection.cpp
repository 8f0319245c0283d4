// SPDX-License-Identifier: MIT
// Connection to a terminal: APALC00B and APDLC00B, the terminal.ini file with
// the process-wide terminal table loaded from it, address resolution and the
// connect itself. The ISDN dial-up path lives in isdn.cpp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {

TerminalRows TerminalTable{};

namespace {

constexpr const char* kIniFileName = "terminal.ini";

// A load reads the file into a staging table and then replaces the whole
// terminal table at once, so lookups of other threads never see a table half
// zeroed or half read: they find an entry of the old file or of the new one.
// Lookups copy what they need under the shared lock, the replacement takes it
// exclusively; the staging table has a lock of its own.
std::shared_mutex g_tableLock;
std::mutex g_stagingLock;
TerminalRows g_staging{};

void Publish(const TerminalRows& rows) {
    std::unique_lock<std::shared_mutex> guard(g_tableLock);
    TerminalTable = rows;
}

// Copies the ip field up to its first blank or zero byte into a text.
void IpText(const TerminalEntry& entry, char text[sizeof(TerminalEntry::ip) + 1]) {
    std::size_t n = 0;
    while (n < sizeof entry.ip && entry.ip[n] != '\0' && entry.ip[n] != ' ') {
        text[n] = entry.ip[n];
        ++n;
    }
    text[n] = '\0';
}

}  // namespace

// ------------------------------------------------------------ terminal.ini

const char* GetTerminalIniPath(Code* failure) {
    // Each thread gets its own copy of the path, so a caller never reads a
    // buffer that another thread is rebuilding.
    thread_local char path[kIniPathSize];

    MutexHandle* lock = tcpcom::ProcessLock("XELBDE4");
    if (lock == nullptr || !MutexWait(lock, LockWaitMs())) {
        if (failure != nullptr) *failure = Code::kInitLock;
        return nullptr;
    }
    std::memset(path, 0, sizeof path);
    bool built = true;
    const char* directory = std::getenv("TERMINI");
    std::size_t used = 0;
    if (directory != nullptr && directory[0] != '\0') {
        std::size_t length = std::strlen(directory);
        bool separator = directory[length - 1] != '/';
        // A directory too long for the buffer gives no path at all rather
        // than a cut one that might name some other file.
        if (length + (separator ? 1 : 0) + std::strlen(kIniFileName) + 1 > sizeof path) {
            built = false;
        } else {
            std::memcpy(path, directory, length);
            used = length;
            if (separator) path[used++] = '/';
        }
    }
    if (built) std::snprintf(path + used, sizeof path - used, "%s", kIniFileName);
    bool released = MutexRelease(lock) != 0;
    if (!released || !built) return nullptr;
    return path;
}

bool FileExists(const char* path) {
    if (path == nullptr) return false;
    struct stat status;
    return ::stat(path, &status) == 0;
}

void ParseTerminalIni(const char* data, std::size_t length) {
    std::lock_guard<std::mutex> staging(g_stagingLock);
    TerminalIniReader reader(g_staging);
    reader.Feed(std::string_view(data, length));
    reader.Finish();
    Publish(g_staging);
}

bool LoadTerminalTable() {
    // The path is built (under XELBDE4) before XELBDE3 is taken, so the load
    // never holds two of the library's locks at once.
    const char* path = GetTerminalIniPath();
    MutexHandle* lock = tcpcom::ProcessLock("XELBDE3");
    if (lock == nullptr || !MutexWait(lock, LockWaitMs())) return false;
    bool loaded = false;
    {
        std::lock_guard<std::mutex> staging(g_stagingLock);
        TerminalIniReader reader(g_staging);
        // Only a regular file: a FIFO or device would wait or never end.
        int fd = path ? tcpcom::OpenWithRetry(path, O_RDONLY, kShareDenyWrite, 0, nullptr, kKindRegular) : -1;
        if (fd >= 0) {
            char chunk[4096];
            for (;;) {
                ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) continue;
                loaded = n >= 0;  // a file that cannot be read is not loaded
                if (n <= 0 || !reader.Feed(std::string_view(chunk, static_cast<std::size_t>(n)))) break;
            }
            CloseIfOpen(fd);
        }
        // A file that cannot be loaded leaves the table empty, never half read.
        if (loaded) {
            reader.Finish();
        } else {
            g_staging.fill(TerminalEntry{});
        }
        Publish(g_staging);
    }
    if (!MutexRelease(lock)) loaded = false;
    return loaded;
}

bool FindTerminalEntry(const char* name, TerminalEntry* entry) {
    if (name == nullptr) return false;
    std::size_t length = std::strlen(name);
    // A row's name has 10 characters: a longer name is no prefix of any, and
    // an empty name is no terminal.
    if (length == 0 || length > sizeof(TerminalEntry::name)) return false;
    std::shared_lock<std::shared_mutex> guard(g_tableLock);
    // The row of exactly that name wins wherever it stands; only when there
    // is none does the first row that begins with the name answer.
    const TerminalEntry* found = nullptr;
    for (const TerminalEntry& row : TerminalTable) {
        if (row.name[0] == '\0') break;
        if (!CompareNoCase(row.name, name, static_cast<int>(length))) continue;
        if (::strnlen(row.name, sizeof row.name) == length) {
            found = &row;
            break;
        }
        if (found == nullptr) found = &row;
    }
    if (found != nullptr && entry != nullptr) *entry = *found;
    return found != nullptr;
}

bool CopyTerminalRow(std::size_t index, TerminalEntry* entry) {
    if (index >= TerminalTable.size()) return false;
    std::shared_lock<std::shared_mutex> guard(g_tableLock);
    const TerminalEntry& row = TerminalTable[index];
    if (row.name[0] == '\0') return false;
    *entry = row;
    return true;
}

bool QueryISDNAdapter(const char* name) {
    XelbdeTrace(name, static_cast<int>(std::strlen(name)), "*** QueryISDNAdapter ***");
    if (!FileExists(GetTerminalIniPath())) return false;
    TerminalEntry entry;
    if (!FindTerminalEntry(name, &entry)) return false;
    return CompareNoCase(entry.klasse, "ISDN", 4) != 0;
}

std::optional<IpAddress> ParseEntryAddress(const TerminalEntry& entry) {
    char text[sizeof entry.ip + 1];
    IpText(entry, text);
    std::string_view rest(text);
    IpAddress address;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0) {
            if (rest.empty() || rest.front() != '.') return std::nullopt;
            rest.remove_prefix(1);
        }
        // Each number as "%d" reads it; only its low 8 bits are kept.
        const tcpcom::Decimal part = tcpcom::ScanDecimal(rest);
        if (!part.found) return std::nullopt;
        address[i] = tcpcom::LowByte(part);
        rest.remove_prefix(part.length);
    }
    // 0.0.0.0 (also 256.256.256.256, whose low bits give it) is no
    // terminal: a connect to it would reach this host.
    if ((address[0] | address[1] | address[2] | address[3]) == 0) return std::nullopt;
    return address;
}

std::optional<Endpoint> ResolveTerminalAddress(const char* name) {
    Endpoint endpoint{};
    if (FileExists(GetTerminalIniPath())) {
        TerminalEntry entry;
        if (!FindTerminalEntry(name, &entry)) return std::nullopt;
        std::optional<IpAddress> address = ParseEntryAddress(entry);
        if (!address) return std::nullopt;
        endpoint.address = *address;
    } else {
        uint32_t networkOrder = 0;
        if (!ResolveHostAddress(name, &networkOrder)) return std::nullopt;
        std::memcpy(endpoint.address.data(), &networkOrder, endpoint.address.size());
    }
    if (SocketServiceName("telnet", &endpoint.port) != kTcpOk) return std::nullopt;
    return endpoint;
}

SocketResult ConnectTerminal(const char* name, const Endpoint& endpoint, int timeout) {
    char host[20];
    std::snprintf(host, sizeof host, "%hu.%hu.%hu.%hu", static_cast<unsigned short>(endpoint.address[0]),
                  static_cast<unsigned short>(endpoint.address[1]), static_cast<unsigned short>(endpoint.address[2]),
                  static_cast<unsigned short>(endpoint.address[3]));
    int opened = -1;
    if (int result = TcpcomOpen(&opened, host, endpoint.port, timeout); result != kTcpOk) {
        return {CodeOfSocketResult(result)};
    }
    if (Code code = SetSocketHandle(name, opened); code != Code::kOk) {
        TcpcomClose(opened);
        return {code};
    }
    return {Code::kOk, opened};
}

Code HangUpIsdnTerminal(const Session& session) {
    // After a stop the hang-up still goes out, as a clean-up exchange.
    std::optional<ShortFrame> reply = ShortTransaction(session.ForCleanUpWhenStopped(), BuildShortFrame("CL"));
    return reply ? StatusCode(reply->status()) : Code::kAdapterHangup;
}

namespace {

// A terminal with a network connection of its own: its address from
// terminal.ini or the resolver, then the connect.
Code ConnectDirect(const char* name) {
    XelbdeTrace(name, static_cast<int>(std::strlen(name)), "*** Terminalname ***");
    std::optional<Endpoint> endpoint = ResolveTerminalAddress(name);
    if (!endpoint) return Code::kNoAddress;
    uint16_t port16 = static_cast<uint16_t>(endpoint->port);
    XelbdeTrace(endpoint->address.data(), static_cast<int>(endpoint->address.size()), "*** CONNECT: IP ***");
    XelbdeTrace(&port16, sizeof port16, "*** CONNECT: PORT ***");
    return ConnectTerminal(name, *endpoint, GetBdeTimeout()).code;
}

}  // namespace

}  // namespace xelbde

using namespace xelbde;

extern "C" void APALC00B(const char* terminal, const char* type, char* rc) {
    ApiCall call(kIdAPALC00B, terminal, rc);
    char kind[3];
    CopyFixedField(type, kind, sizeof kind);
    call.Describe("Typ=%s", kind);
    // While an interruption is asked for, no connection is opened.
    if (TcpcomInterrupted()) return call.Finish(Code::kExchangeFailed);
    // A path that cannot be built (TERMINI too long) is a terminal.ini that
    // cannot be loaded, not an absent one; a lock that cannot be had (its
    // directory missing or unusable) is the library's initialisation failing.
    Code pathFailure = Code::kTerminalIni;
    const char* iniPath = GetTerminalIniPath(&pathFailure);
    if (iniPath == nullptr) return call.Finish(pathFailure);
    if (FileExists(iniPath) && !LoadTerminalTable()) return call.Finish(Code::kTerminalIni);
    // 33: this process holds a connection for the name already; 23, 21, 1:
    // the registry could not be initialised. The code stands.
    if (!call.Register()) return;
    call.Finish(QueryISDNAdapter(call.name()) ? ConnectIsdnTerminal(call.name()) : ConnectDirect(call.name()));
}

extern "C" void APDLC00B(const char* terminal, const char* type, char* rc) {
    ApiCall call(kIdAPDLC00B, terminal, rc);
    char kind[3];
    CopyFixedField(type, kind, sizeof kind);
    call.Describe("Typ=%s", kind);
    // 33: no connection for this name. The code stands.
    if (!call.Register()) return;
    const int socket = call.session().socket;
    if (QueryISDNAdapter(call.name())) {
        // The call is ended whatever the adapter answers; only the hang-up's
        // own result is reported.
        call.Finish(HangUpIsdnTerminal(call.session()));
        TcpcomClose(socket);
        ReleaseSocketHandle(call.name());
    } else if (TcpcomClose(socket) != kTcpOk) {
        call.Finish(Code::kCloseOrCreate);
        ReleaseSocketHandle(call.name());
    } else {
        // 30, 31, 32 stand.
        call.Finish(ReleaseSocketHandle(call.name()));
    }
}
