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

std::array<TerminalEntry, kTerminalTableRows> TerminalTable{};

namespace {

constexpr const char* kIniFileName = "terminal.ini";
constexpr int kIniLineMax = 256;   // longer lines are read as several lines
constexpr int kIniTokenMax = 80;   // names, keys and values of 81 characters or more are refused
constexpr char kCtrlZ = 0x1A;

// A load reads the file into a staging table and then replaces the whole
// terminal table at once, so lookups of other threads never see a table half
// zeroed or half read: they find an entry of the old file or of the new one.
// Lookups copy what they need under the shared lock, the replacement takes it
// exclusively; the staging table has a lock of its own.
using Table = std::array<TerminalEntry, kTerminalTableRows>;
std::shared_mutex g_tableLock;
std::mutex g_stagingLock;
Table g_staging{};

void PublishStaging() {
    std::unique_lock<std::shared_mutex> guard(g_tableLock);
    TerminalTable = g_staging;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// ------------------------------------------------------ terminal.ini reading

enum class LineResult { kGoOn, kStop };

// Field of an entry with the keyword that fills it, in the order the keys
// are compared.
struct KeyField {
    const char* keyword;
    std::size_t offset;
    int width;
};
constexpr KeyField kKeyFields[] = {
    {"KLASSE", offsetof(TerminalEntry, klasse), sizeof(TerminalEntry::klasse)},
    {"IP", offsetof(TerminalEntry, ip), sizeof(TerminalEntry::ip)},
    {"UEBERHANG", offsetof(TerminalEntry, ueberhang), sizeof(TerminalEntry::ueberhang)},
    {"VORWAHL", offsetof(TerminalEntry, vorwahl), sizeof(TerminalEntry::vorwahl)},
    {"NUMMER", offsetof(TerminalEntry, nummer), sizeof(TerminalEntry::nummer)},
    {"DURCHWAHL", offsetof(TerminalEntry, durchwahl), sizeof(TerminalEntry::durchwahl)},
    {"TERMINALID", offsetof(TerminalEntry, terminalid), sizeof(TerminalEntry::terminalid)},
};

void StoreValue(TerminalEntry& entry, const KeyField& field, const char* value, int length) {
    char* destination = reinterpret_cast<char*>(&entry) + field.offset;
    if (field.offset == offsetof(TerminalEntry, ueberhang)) {
        char number[16];
        // "%03.3d": the zero flag adds nothing to a precision of 3.
        std::snprintf(number, sizeof number, "%.3d", tcpcom::StrtolInt(value));
        std::memcpy(destination, number, static_cast<std::size_t>(field.width));
        return;
    }
    std::memcpy(destination, value, static_cast<std::size_t>(std::min(length, field.width)));
}

// Applies the reading rules to the lines of one file, one line at a time.
class IniReader {
  public:
    explicit IniReader(Table& table) : table_(table) {}

    // Feeds the next bytes of the file; false once reading has stopped.
    bool Feed(const char* data, std::size_t length) {
        for (std::size_t i = 0; i < length && !stopped_; ++i) Put(data[i]);
        return !stopped_;
    }
    // End of the file: a last line without line end still counts.
    void Finish() {
        if (stopped_) return;
        if (pendingCr_) Append('\r');
        if (length_ > 0 && !stopped_) EndLine();
    }

  private:
    void Put(char c) {
        if (pendingCr_) {
            pendingCr_ = false;
            if (c == '\n') {  // CR LF ends the line like LF alone
                EndLine();
                return;
            }
            Append('\r');
            if (stopped_) return;
        }
        if (c == kCtrlZ) {  // ends the line and the file
            EndLine();
            stopped_ = true;
        } else if (c == '\n') {
            EndLine();
        } else if (c == '\r') {
            pendingCr_ = true;
        } else {
            Append(c);
        }
    }
    void Append(char c) {
        line_[length_++] = c;
        if (length_ == kIniLineMax) EndLine();
    }
    void EndLine() {
        line_[length_] = '\0';
        length_ = 0;
        if (!stopped_ && ApplyLine(line_) == LineResult::kStop) stopped_ = true;
    }

    LineResult ApplyLine(char* line) {
        TrimLeft(line);
        TrimRight(line);
        if (line[0] == '\0' || line[0] == ';') return LineResult::kGoOn;
        if (line[0] == '[') {
            const char* name = nullptr;
            int nameLength = 0;
            if (ParseHeader(line, &name, &nameLength)) return StartEntry(name, nameLength);
        }
        return ApplyKeyLine(line);
    }

    static bool ParseHeader(const char* line, const char** name, int* nameLength) {
        const char* p = line + 1;
        while (IsBlank(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && !IsBlank(*p) && *p != '=' && *p != ']') ++p;
        int length = static_cast<int>(p - start);
        if (length > kIniTokenMax) return false;
        while (IsBlank(*p)) ++p;
        if (*p != ']') return false;
        *name = start;
        *nameLength = length;
        return true;
    }

    LineResult StartEntry(const char* name, int nameLength) {
        if (entries_ >= kTerminalTableRows) return LineResult::kStop;
        TerminalEntry& entry = table_[static_cast<std::size_t>(entries_++)];
        std::memcpy(entry.name, name, static_cast<std::size_t>(std::min<int>(nameLength, sizeof entry.name)));
        current_ = &entry;
        return LineResult::kGoOn;
    }

    LineResult ApplyKeyLine(const char* line) {
        const char* p = line;
        const char* key = p;
        while (*p != '\0' && !IsBlank(*p) && *p != '=') ++p;
        int keyLength = static_cast<int>(p - key);
        while (IsBlank(*p)) ++p;
        if (*p != '=') return LineResult::kGoOn;  // no key line: ignored
        ++p;
        while (IsBlank(*p)) ++p;
        const char* value = p;
        while (*p != '\0' && !IsBlank(*p) && *p != '=') ++p;
        int valueLength = static_cast<int>(p - value);
        if (keyLength > kIniTokenMax || valueLength > kIniTokenMax) return LineResult::kGoOn;
        if (current_ == nullptr) return LineResult::kStop;  // a key before the first section ends reading

        char valueText[kIniTokenMax + 1];
        std::memcpy(valueText, value, static_cast<std::size_t>(valueLength));
        valueText[valueLength] = '\0';
        for (const KeyField& field : kKeyFields) {
            int keywordLength = static_cast<int>(std::strlen(field.keyword));
            if (keyLength >= keywordLength && CompareNoCase(key, field.keyword, keywordLength)) {
                StoreValue(*current_, field, valueText, valueLength);
                break;
            }
        }
        return LineResult::kGoOn;
    }

    Table& table_;
    char line_[kIniLineMax + 1] = {};
    int length_ = 0;
    bool pendingCr_ = false;
    bool stopped_ = false;
    int entries_ = 0;
    TerminalEntry* current_ = nullptr;
};

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

const char* GetTerminalIniPath() {
    // Each thread gets its own copy of the path, so a caller never reads a
    // buffer that another thread is rebuilding.
    thread_local char path[kIniPathSize];

    MutexHandle* lock = tcpcom::ProcessLock("XELBDE4");
    if (lock == nullptr || !MutexWait(lock, LockWaitMs())) return nullptr;
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
    g_staging.fill(TerminalEntry{});
    IniReader reader(g_staging);
    if (reader.Feed(data, length)) reader.Finish();
    PublishStaging();
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
        g_staging.fill(TerminalEntry{});
        int fd = path ? OpenWithRetry(path, O_RDONLY, kShareDenyWrite, 0) : -1;
        if (fd >= 0) {
            IniReader reader(g_staging);
            char chunk[4096];
            loaded = true;
            for (;;) {
                ssize_t n = ::read(fd, chunk, sizeof chunk);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) loaded = false;  // a file that cannot be read is not loaded
                if (n <= 0) {
                    if (loaded) reader.Finish();
                    break;
                }
                if (!reader.Feed(chunk, static_cast<std::size_t>(n))) break;
            }
            CloseIfOpen(fd);
            if (!loaded) g_staging.fill(TerminalEntry{});  // no half-read table
        }
        // A file that cannot be loaded leaves the table empty.
        PublishStaging();
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
    for (const TerminalEntry& row : TerminalTable) {
        if (row.name[0] == '\0') break;
        if (CompareNoCase(row.name, name, static_cast<int>(length))) {
            if (entry != nullptr) *entry = row;
            return true;
        }
    }
    return false;
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
    std::optional<ShortFrame> reply = ShortTransaction(session, BuildShortFrame("CL"));
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
    // A path that cannot be built (TERMINI too long, its lock not obtained)
    // is a terminal.ini that cannot be loaded, not an absent one.
    const char* iniPath = GetTerminalIniPath();
    if (iniPath == nullptr || (FileExists(iniPath) && !LoadTerminalTable())) return call.Finish(Code::kTerminalIni);
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
