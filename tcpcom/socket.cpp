// SPDX-License-Identifier: MIT
// Socket layer: blocking TCP client connections with time-outs in whole
// seconds, timed reads of a given length, writes, close, service lookup and
// host resolution. Every public operation writes its entry record and, while
// the trace flag is on, dumps its parameters and the data it received.
//
// Times are taken from the monotonic clock so that a host clock being set
// (the clock synchronisation does that) never stretches or cuts a wait.
//
// Once the program asked for an interruption (TcpcomInterrupt, from a signal
// handler), every wait (a read, a connect, the pause between connect
// attempts) ends at once as if its time had run out, and a send that the
// signal interrupts ends as failed, so the running call takes its failure
// path. A read may also answer to the cancel mark of its connection.
#include "tcpcom/tcpcom.h"
#include "tcpcom/internal.h"

#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kSource = "tcpcom";

std::atomic<int> g_interrupted{0};
std::atomic<int> g_interruptWake{-1};  // eventfd, readable while an interruption is asked for
static_assert(std::atomic<int>::is_always_lock_free, "set from signal handlers");

// An interrupted system call is tried again, unless an interruption was asked for.
bool RetryAfter(int error) { return error == EINTR && g_interrupted.load() == 0; }
constexpr const char* kEntryText = "Unterprogramm Start";
constexpr int kConnectPauseMs = 100;
// A single connect attempt is given at least this long, so that a time-out
// of 0 still makes one real attempt against a host that answers slowly.
constexpr int64_t kMinAttemptMs = 1000;

int64_t NowMs() { return tcpcom::MonotonicNs() / 1000000; }

int ClampMs(int64_t ms) {
    if (ms < 0) return 0;
    if (ms > INT_MAX) return INT_MAX;
    return static_cast<int>(ms);
}

int64_t SecondsToMs(int seconds) { return seconds > 0 ? static_cast<int64_t>(seconds) * 1000 : 0; }

void EntryRecord(const char* function) { TcpcomLog(kSource, function, kLogEntry, 0, 0, kEntryText, ""); }

// Parameter dump: the first 4 bytes behind a by-reference parameter.
void DumpParameter(const char* function, const void* data, int length) {
    if (TcpcomTraceOn() && data != nullptr) LogHexDump(kSource, data, length, function);
}

// A text parameter is dumped with at most 4 bytes, never past its terminator.
void DumpText(const char* function, const char* text) {
    if (!TcpcomTraceOn() || text == nullptr) return;
    size_t n = ::strnlen(text, 4);
    if (n < 4) ++n;  // include the terminator, as the 4-byte view would show it
    LogHexDump(kSource, text, static_cast<int>(n), function);
}

// Closes a descriptor without disturbing the error the caller will report.
void CloseKeepingError(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

int NewStreamSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

bool SetNodelayOption(int fd, int flag) {
    int value = flag;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
}

bool SetBlocking(int fd, bool blocking) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

// ------------------------------------------------------------- waiting
//
// Every wait of the socket layer watches, besides its descriptor, the wake
// descriptors of what may stop it: the process-wide interruption and the
// cancel mark of the connection. Each stays readable while its request
// stands, so a request made just before the wait began ends it as surely
// as one made during it.

namespace tcpcom {

CancelMark::~CancelMark() {
    const int fd = wake_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

bool CancelMark::Prepare() {
    if (wake_.load(std::memory_order_acquire) >= 0) return true;
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return false;
    wake_.store(fd, std::memory_order_release);
    return true;
}

void CancelMark::Set() {
    set_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    if (const int fd = wake(); fd >= 0) [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void CancelMark::Close() {
    set_.store(false, std::memory_order_release);
    const int fd = wake_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

bool StopRequested(const Stops& stops) {
    return (stops.interrupt && g_interrupted.load() != 0) || (stops.cancel != nullptr && stops.cancel->IsSet());
}

}  // namespace tcpcom

namespace {

// The wake descriptor of the interruption, made by the first wait (never
// in the signal handler, which only writes to it when it exists).
int InterruptWake() {
    int fd = g_interruptWake.load(std::memory_order_acquire);
    if (fd >= 0) return fd;
    fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -1;
    int none = -1;
    if (!g_interruptWake.compare_exchange_strong(none, fd)) {
        ::close(fd);
        fd = none;
    }
    // An interruption asked for before the descriptor existed wrote nothing.
    if (g_interrupted.load() != 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    }
    return fd;
}

// Made when the library is loaded, so that it is there before any signal
// handler may want it (and a program's count of its descriptors does not
// change at its first call).
[[maybe_unused]] const int g_interruptWakeMade = InterruptWake();

enum class Wait { kReady, kTimedOut, kStopped, kFailed };

// Waits until fd shows one of events, the deadline passes (never waiting
// when it has passed) or a stop is requested. kFailed leaves errno set.
Wait WaitFor(int fd, short events, int64_t deadline, const tcpcom::Stops& stops) {
    std::array<pollfd, 3> watched{};
    nfds_t count = 0;
    watched[count++] = pollfd{fd, events, 0};
    if (stops.interrupt) {
        if (const int wake = InterruptWake(); wake >= 0) watched[count++] = pollfd{wake, POLLIN, 0};
    }
    if (stops.cancel != nullptr && stops.cancel->wake() >= 0) watched[count++] = pollfd{stops.cancel->wake(), POLLIN, 0};
    for (;;) {
        if (tcpcom::StopRequested(stops)) return Wait::kStopped;
        const int ready = ::poll(watched.data(), count, ClampMs(deadline - NowMs()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Wait::kFailed;
        if (tcpcom::StopRequested(stops)) return Wait::kStopped;
        if (watched[0].revents != 0) return Wait::kReady;
        if (ready == 0 || NowMs() >= deadline) return Wait::kTimedOut;
        // A wake descriptor left readable by a request withdrawn meanwhile
        // (set and cleared at once from two places): emptied, or the wait
        // would spin until its deadline.
        for (nfds_t i = 1; i < count; ++i) {
            std::uint64_t stale = 0;
            if (watched[i].revents != 0) [[maybe_unused]] ssize_t n = ::read(watched[i].fd, &stale, sizeof stale);
        }
    }
}

// One connect attempt, bounded by limitMs so that a host that never answers
// cannot hold the loop far beyond its time-out, and ended by an
// interruption. Leaves the socket blocking. On failure errno holds the
// reason (EINTR for an interruption).
bool ConnectOnce(int fd, const sockaddr_in& address, int64_t limitMs) {
    if (!SetBlocking(fd, false)) return false;
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        switch (WaitFor(fd, POLLOUT, NowMs() + limitMs, tcpcom::Stops{})) {
            case Wait::kReady: break;
            case Wait::kTimedOut: errno = ETIMEDOUT; return false;
            case Wait::kStopped: errno = EINTR; return false;
            case Wait::kFailed: return false;
        }
        int pending = 0;
        socklen_t size = sizeof pending;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return false;
        if (pending != 0) {
            errno = pending;
            return false;
        }
        rc = 0;
    }
    if (rc != 0) return false;
    if (!SetBlocking(fd, true)) return false;
    return true;
}

// How a read of the socket came to its end, in the words of the trace.
enum class ReadEnd { kComplete, kFailed, kTimedOut, kNotReadable };

// The trace of a read, byte for byte as the layer has always written it:
// each wait's result, the bytes when the read ended early, then all of them.
class ReadTrace {
  public:
    void Waited(Wait result, int error) {
        char text[64];
        const int ready = result == Wait::kReady ? 1 : result == Wait::kFailed ? -1 : 0;
        if (result == Wait::kStopped) error = EINTR;  // as a signal interrupting the wait always showed it
        if (result == Wait::kTimedOut) error = 0;
        const int n = std::snprintf(text, sizeof text, "RetCode = %d, TCPErrno = %d", ready, error);
        LogHexDump(kSource, text, n, "SelectOneFds");
    }
    void Ended(ReadEnd end, const unsigned char* bytes, int total, int error) {
        char title[96];
        switch (end) {
            case ReadEnd::kComplete: break;
            case ReadEnd::kFailed:
                std::snprintf(title, sizeof title, "RecvWithTimeout(...) (1), BytesRead = %d, TCP/IP errno: %d", total,
                              error);
                LogHexDump(kSource, bytes, total, title);
                break;
            case ReadEnd::kTimedOut:
                std::snprintf(title, sizeof title, "RecvWithTimeout(...) (2), BytesRead = %d, Timeout", total);
                LogHexDump(kSource, bytes, total, title);
                break;
            case ReadEnd::kNotReadable:
                std::snprintf(title, sizeof title, "RecvWithTimeout(...) (3), BytesRead = %d, Select.. s.o.", total);
                LogHexDump(kSource, bytes, total, title);
                break;
        }
        std::snprintf(title, sizeof title, "RecvWithTimeout(...) (4), BytesRead = %d", total);
        LogHexDump(kSource, bytes, total, title);
    }
};

// The read side of a connected socket: its descriptor, the receive
// time-out, the stops its waits answer to, and the trace that watches it
// (none while the trace is off). Every read of the layer goes through it.
class SocketReader {
  public:
    SocketReader(int fd, int timeoutSeconds, const tcpcom::Stops& stops, ReadTrace* trace)
        : fd_(fd), deadline_(NowMs() + SecondsToMs(timeoutSeconds)), stops_(stops), trace_(trace) {}

    // Waits for the first byte: false when none came in time.
    bool WaitReadable() {
        const Wait result = WaitFor(fd_, POLLIN, deadline_, stops_);
        if (trace_ != nullptr) trace_->Waited(result, result == Wait::kFailed ? errno : 0);
        return result == Wait::kReady;
    }

    // Reads exactly size bytes before the deadline: -1 when nothing became
    // readable in time, else the count read until the length was reached,
    // the peer ended, an error came, the time ran out or a stop came.
    int ReadExactly(unsigned char* bytes, int size) {
        if (!WaitReadable()) return -1;
        int total = 0;
        ReadEnd end = ReadEnd::kComplete;
        int error = 0;
        for (;;) {
            const ssize_t got = ::recv(fd_, bytes + total, static_cast<size_t>(size - total), MSG_DONTWAIT);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno != EAGAIN) {
                error = errno;
                end = ReadEnd::kFailed;
                break;
            }
            if (got > 0) total += static_cast<int>(got);
            if (total == size) break;
            if (got == 0 || NowMs() > deadline_) {
                end = ReadEnd::kTimedOut;
                break;
            }
            if (!WaitReadable()) {
                end = ReadEnd::kNotReadable;
                break;
            }
        }
        if (trace_ != nullptr) trace_->Ended(end, bytes, total, error);
        return total;
    }

  private:
    int fd_;
    int64_t deadline_;
    tcpcom::Stops stops_;
    ReadTrace* trace_;
};

int Receive(int sock, void* buffer, int size, int seconds, const tcpcom::Stops& stops) {
    if (size <= 0 || buffer == nullptr) return 0;
    ReadTrace trace;
    SocketReader reader(sock, seconds, stops, TcpcomTraceOn() ? &trace : nullptr);
    return reader.ReadExactly(static_cast<unsigned char*>(buffer), size);
}

// ------------------------------------------------------- service lookup
//
// The services database as the name service switch configures it. Asked
// through the C library, every source of the "services" line other than
// "files" has its module searched for in the library directories first,
// and Debian's default line names "db" before "files": when that module is
// not installed (the usual case) the search alone costs a short command
// more than all its other work. So the line is followed here: "files" is
// read as the C library reads /etc/services, "db" can only answer when its
// database exists (without it the source is unavailable and the lookup goes
// on, as the switch does by default), and any other source or an action
// ("[...]") leaves the whole lookup to the C library.
enum class ServiceSearch { kFound, kNotFound, kAskLibrary };

constexpr const char* kSwitchFile = "/etc/nsswitch.conf";
constexpr const char* kServicesFile = "/etc/services";
constexpr const char* kServicesDb = "/var/lib/misc/services.db";
constexpr std::size_t kLineMax = 2048;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The next blank-separated word of a line from *p on, or an empty view.
std::string_view NextWord(const char*& p) {
    while (IsSpace(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !IsSpace(*p)) ++p;
    return std::string_view(start, static_cast<std::size_t>(p - start));
}

// Reads the lines of a file, comments ("#" on) cut off; a line longer than
// the buffer is read as its first part. Stops when visit returns true.
template <typename Visit>
bool ForEachLine(const char* path, Visit visit) {
    std::FILE* file = std::fopen(path, "re");
    if (file == nullptr) return false;
    char line[kLineMax];
    bool stopped = false;
    while (!stopped && std::fgets(line, sizeof line, file) != nullptr) {
        const std::size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] != '\n') {
            for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file)) {
            }
        }
        if (char* hash = std::strchr(line, '#')) *hash = '\0';
        stopped = visit(line);
    }
    std::fclose(file);
    return true;
}

// The "files" source: the first line whose name or an alias is the
// service, with the protocol tcp.
bool FindInServicesFile(const char* service, int* port) {
    bool found = false;
    ForEachLine(kServicesFile, [&](const char* line) {
        const char* p = line;
        const std::string_view name = NextWord(p);
        const std::string_view portProtocol = NextWord(p);
        const std::size_t slash = portProtocol.find('/');
        if (name.empty() || slash == std::string_view::npos || portProtocol.substr(slash + 1) != "tcp") return false;
        bool match = name == service;
        for (std::string_view alias = NextWord(p); !match && !alias.empty(); alias = NextWord(p)) match = alias == service;
        if (!match) return false;
        const tcpcom::Decimal number = tcpcom::ScanDecimal(portProtocol.substr(0, slash), {.sign = false});
        if (!number.found || number.length != slash || number.magnitude > 0xFFFF) return false;
        *port = static_cast<int>(number.magnitude);
        found = true;
        return true;
    });
    return found;
}

ServiceSearch SearchConfiguredSources(const char* service, int* port) {
    ServiceSearch result = ServiceSearch::kAskLibrary;
    bool lineSeen = false;
    const bool read = ForEachLine(kSwitchFile, [&](const char* line) {
        const char* p = line;
        while (IsSpace(*p)) ++p;
        if (std::strncmp(p, "services:", 9) != 0) return false;
        lineSeen = true;
        p += 9;
        result = ServiceSearch::kNotFound;
        for (std::string_view source = NextWord(p); !source.empty(); source = NextWord(p)) {
            if (source == "files") {
                if (FindInServicesFile(service, port)) {
                    result = ServiceSearch::kFound;
                    return true;
                }
            } else if (source == "db") {
                struct stat status {};
                if (::stat(kServicesDb, &status) == 0) {
                    result = ServiceSearch::kAskLibrary;
                    return true;
                }
            } else {
                result = ServiceSearch::kAskLibrary;
                return true;
            }
        }
        return true;
    });
    return read && lineSeen ? result : ServiceSearch::kAskLibrary;
}

// One part of a dotted name as a decimal number ("%d" of the part's text;
// no digits give 0), saturated far beyond any address byte.
long long PartValue(const char* begin, const char* end) {
    const tcpcom::Decimal d = tcpcom::ScanDecimal(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    constexpr std::uint64_t kCeiling = 1000000000000ULL;
    const long long value = static_cast<long long>(d.overflow || d.magnitude > kCeiling ? kCeiling : d.magnitude);
    return d.negative ? -value : value;
}

}  // namespace

namespace tcpcom {

int ReadSocket(const int* sock, void* buffer, int* length, const int* timeoutSeconds, const Stops& stops) {
    EntryRecord("SocketRead");
    DumpParameter("SocketRead", sock, sizeof(int));
    DumpParameter("SocketRead", length, sizeof(int));
    DumpParameter("SocketRead", timeoutSeconds, sizeof(int));
    if (!TcpcomStartup()) return kTcpStartupFailed;
    if (length == nullptr) return kTcpReadTimeout;
    if (sock == nullptr || timeoutSeconds == nullptr) {
        *length = 0;
        return kTcpReadTimeout;
    }
    const int got = Receive(*sock, buffer, *length, *timeoutSeconds, stops);
    if (got < 0) {
        *length = 0;
        return kTcpReadTimeout;
    }
    *length = got;
    return kTcpOk;
}

bool PauseUnlessInterrupted(long long ms) {
    const Stops interruption{};
    const int wake = InterruptWake();
    const int64_t until = NowMs() + ms;
    for (;;) {
        if (StopRequested(interruption)) return false;
        const int64_t left = until - NowMs();
        if (left <= 0) return true;
        if (wake < 0) {
            timespec pause{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000L};
            ::nanosleep(&pause, nullptr);
            continue;
        }
        pollfd p{wake, POLLIN, 0};
        ::poll(&p, 1, ClampMs(left));
    }
}

}  // namespace tcpcom

extern "C" {

int TcpcomStartup(void) { return 1; }

// Safe in a signal handler: an atomic store and a write or read of the
// wake descriptor (when a wait has made it).
void TcpcomInterrupt(int on) {
    g_interrupted.store(on != 0 ? 1 : 0);
    const int wake = g_interruptWake.load();
    if (wake < 0) return;
    std::uint64_t count = 1;
    if (on != 0) {
        [[maybe_unused]] ssize_t n = ::write(wake, &count, sizeof count);
    } else {
        [[maybe_unused]] ssize_t n = ::read(wake, &count, sizeof count);
    }
}

int TcpcomInterrupted(void) { return g_interrupted.load(); }

int TcpcomLastError(void) { return errno; }

int ResolveHostAddress(const char* name, uint32_t* address) {
    if (!TcpcomStartup() || name == nullptr || address == nullptr) return 0;
    const size_t length = ::strnlen(name, 16);
    if (length < 16 && std::strchr(name, '.') != nullptr) {
        // Rebuild the name as plain decimal numbers: the dotted-address parser
        // reads a leading 0 as octal, so 192.168.001.010 must become
        // 192.168.1.10 first.
        char rebuilt[256] = "";
        size_t used = 0;
        const char* part = name;
        for (;;) {
            const char* dot = std::strchr(part, '.');
            const char* end = dot != nullptr ? dot : name + length;
            int n = std::snprintf(rebuilt + used, sizeof rebuilt - used, dot != nullptr ? "%lld." : "%lld",
                                  PartValue(part, end));
            if (n < 0 || static_cast<size_t>(n) >= sizeof rebuilt - used) break;
            used += static_cast<size_t>(n);
            if (dot == nullptr) break;
            part = dot + 1;
        }
        in_addr_t parsed = ::inet_addr(rebuilt);
        if (parsed != INADDR_NONE && parsed != 0) {
            *address = parsed;
            return 1;
        }
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return 0;
    int found = 0;
    for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            // 0.0.0.0 ("0", "0.0.0.0", or a name a hosts file blocks that
            // way) is no terminal: a connect to it would reach this host.
            const uint32_t first = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
            if (first != 0) {
                *address = first;
                found = 1;
            }
            break;
        }
    }
    ::freeaddrinfo(result);
    return found;
}

int SelectOneFds(int sock, int seconds) {
    ReadTrace trace;
    SocketReader reader(sock, seconds, tcpcom::Stops{}, TcpcomTraceOn() ? &trace : nullptr);
    return reader.WaitReadable() ? 1 : 0;
}

int RecvWithTimeout(int sock, void* buffer, int size, int seconds) {
    return Receive(sock, buffer, size, seconds, tcpcom::Stops{});
}

int SocketSetNodelay(const int* sock, const int* flag) {
    EntryRecord("SocketSetNodelay");
    DumpParameter("SocketSetNodelay", sock, sizeof(int));
    DumpParameter("SocketSetNodelay", flag, sizeof(int));
    if (!TcpcomStartup()) return kTcpStartupFailed;
    if (sock == nullptr || flag == nullptr) return kTcpNodelayFailed;
    return SetNodelayOption(*sock, *flag) ? kTcpOk : kTcpNodelayFailed;
}

int SocketClientOpen(int* sock, const char* host, const int* port, const int* timeoutSeconds) {
    EntryRecord("SocketClientOpen");
    DumpText("SocketClientOpen", host);
    DumpParameter("SocketClientOpen", port, sizeof(int));
    DumpParameter("SocketClientOpen", timeoutSeconds, sizeof(int));
    TcpcomInitTrace();
    if (!TcpcomStartup()) return kTcpStartupFailed;
    if (sock == nullptr || port == nullptr || timeoutSeconds == nullptr) return kTcpNoSocket;

    uint32_t address = 0;
    if (host == nullptr || !ResolveHostAddress(host, &address)) return kTcpUnresolved;

    int fd = NewStreamSocket();
    if (fd < 0) return kTcpNoSocket;
    const int on = 1;
    int rc = SocketSetNodelay(&fd, &on);
    if (rc != kTcpOk) {
        CloseKeepingError(fd);
        return rc;
    }

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address;
    target.sin_port = htons(static_cast<uint16_t>(static_cast<unsigned>(*port) & 0xFFFFu));

    // Attempts go on, 100 ms apart, until the whole seconds since the start
    // reach the time-out. A socket cannot connect again after a failed
    // attempt here, so every attempt after the first gets a fresh one.
    const int timeout = *timeoutSeconds;
    const int64_t start = NowMs();
    for (;;) {
        // Once an interruption is asked for, no connection is opened.
        if (g_interrupted.load() != 0) break;
        int64_t remaining = SecondsToMs(timeout) - (NowMs() - start);
        if (ConnectOnce(fd, target, remaining > kMinAttemptMs ? remaining : kMinAttemptMs)) {
            *sock = fd;
            return kTcpOk;
        }
        if ((NowMs() - start) / 1000 >= timeout || !tcpcom::PauseUnlessInterrupted(kConnectPauseMs)) break;
        CloseKeepingError(fd);
        fd = NewStreamSocket();
        if (fd < 0) return kTcpNoSocket;
        if (!SetNodelayOption(fd, 1)) {
            CloseKeepingError(fd);
            return kTcpNodelayFailed;
        }
    }
    CloseKeepingError(fd);
    return kTcpConnectTimeout;
}

int SocketClose(const int* sock) {
    EntryRecord("SocketClose");
    DumpParameter("SocketClose", sock, sizeof(int));
    if (!TcpcomStartup()) return kTcpStartupFailed;
    if (sock == nullptr) return kTcpCloseFailed;
    // After an interrupted close the descriptor is released all the same.
    if (::close(*sock) != 0 && errno != EINTR) return kTcpCloseFailed;
    return kTcpOk;
}

int SocketRead(const int* sock, void* buffer, int* length, const int* timeoutSeconds) {
    return tcpcom::ReadSocket(sock, buffer, length, timeoutSeconds, tcpcom::Stops{});
}

// Sends the whole buffer: a blocking send may still take only part of it (a
// signal arriving mid-way), and a frame cut short would leave the terminal
// waiting for the rest. A failure reports the bytes that did go out.
int SocketWrite(const int* sock, const void* data, int* length) {
    EntryRecord("SocketWrite");
    DumpParameter("SocketWrite", sock, sizeof(int));
    if (data != nullptr && length != nullptr) DumpParameter("SocketWrite", data, *length < 4 ? *length : 4);
    DumpParameter("SocketWrite", length, sizeof(int));
    if (!TcpcomStartup()) return kTcpStartupFailed;
    if (length == nullptr) return kTcpSendFailed;
    if (sock == nullptr || (data == nullptr && *length > 0) || *length < 0) {
        *length = 0;
        return kTcpSendFailed;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    const int wanted = *length;
    int sent = 0;
    while (sent < wanted) {
        ssize_t n = ::send(*sock, bytes + sent, static_cast<size_t>(wanted - sent), MSG_NOSIGNAL);
        if (n < 0 && RetryAfter(errno)) continue;
        if (n <= 0) {
            *length = sent;
            return kTcpSendFailed;
        }
        sent += static_cast<int>(n);
    }
    *length = sent;
    return kTcpOk;
}

int SocketServiceName(const char* service, int* port) {
    EntryRecord("SocketServiceName");
    DumpText("SocketServiceName", service);
    if (!TcpcomStartup()) return kTcpStartupFailed;
    if (service == nullptr || port == nullptr) return kTcpUnknownService;
    switch (SearchConfiguredSources(service, port)) {
        case ServiceSearch::kFound: return kTcpOk;
        case ServiceSearch::kNotFound: return kTcpUnknownService;
        case ServiceSearch::kAskLibrary: break;
    }
    servent entry{};
    servent* found = nullptr;
    char work[2048];
    if (::getservbyname_r(service, "tcp", &entry, work, sizeof work, &found) != 0 || found == nullptr) {
        return kTcpUnknownService;
    }
    *port = ntohs(static_cast<uint16_t>(found->s_port));
    return kTcpOk;
}

int TcpcomOpen(int* sock, const char* host, int port, int timeoutSeconds) {
    return SocketClientOpen(sock, host, &port, &timeoutSeconds);
}

int TcpcomClose(int sock) { return SocketClose(&sock); }

int TcpcomRead(int sock, void* buffer, int length, int* received, int timeoutSeconds) {
    int count = length;
    int rc = SocketRead(&sock, buffer, &count, &timeoutSeconds);
    if (received != nullptr) *received = count;
    return rc;
}

int TcpcomWrite(int sock, const void* data, int length, int* sent) {
    int count = length;
    int rc = SocketWrite(&sock, data, &count);
    if (sent != nullptr) *sent = count;
    return rc;
}

int TcpcomServicePort(const char* service, int* port) { return SocketServiceName(service, port); }

}  // extern "C"
