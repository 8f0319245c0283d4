// SPDX-License-Identifier: MIT
#include "sim/server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bdesim {

namespace {

constexpr std::size_t kInputCapacity = 8192;  // a few frames; reading pauses when full
constexpr auto kRebindRetry = std::chrono::milliseconds(100);

std::string Hex(const Byte* bytes, std::size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

}  // namespace

struct Connection {
    int fd = -1;
    Endpoint* endpoint = nullptr;
    std::array<Byte, kInputCapacity> in{};
    std::size_t inLength = 0;
    bool deaf = false;  // a "connect silence" connection: read, never answered
    Session session;

    enum class Phase { kIdle, kDelay, kSending } phase = Phase::kIdle;
    enum class Instead { kSend, kSilence, kClose, kReset } instead = Instead::kSend;
    bool closeAfter = false;  // cut: close once the bytes are out
    Frame out{};
    std::size_t outPosition = 0;
    std::size_t limit = 0;
    long trickleMs = 0;
    bool wantWrite = false;
    int watched = -1;  // the events the epoll set holds for fd; -1 none
    Clock::time_point wakeAt{};
    Kind outKind = Kind::kUnknown;
    Endpoint* outWho = nullptr;
};

Server::Server() = default;

Server::~Server() { Shutdown(); }

std::string Server::AddressText(const Endpoint& e) const {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &e.address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(e.address.sin_port));
}

bool Server::OpenListener(Endpoint& e) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&e.address), sizeof e.address) != 0 || ::listen(fd, 8) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) e.address.sin_port = bound.sin_port;
    e.listenFd = fd;
    return true;
}

void Server::CloseListener(Endpoint& e) {
    if (e.listenFd >= 0) ::close(e.listenFd);  // which also takes it out of the epoll set
    e.listenFd = -1;
    e.watched = -1;
}

// Brings what the epoll set holds for fd in line with want (-1: nothing).
// A connection is always held, with no events at all while it neither
// reads nor writes, so that its hang-up and errors are still seen.
void Server::Watch(int fd, int& watched, int want, std::uint64_t key) {
    if (want == watched) return;
    epoll_event event{};
    event.events = static_cast<std::uint32_t>(want < 0 ? 0 : want);
    event.data.u64 = key;
    const int op = watched < 0 ? EPOLL_CTL_ADD : want < 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (::epoll_ctl(epoll_, op, fd, &event) == 0) {
        watched = want;
    } else {
        std::fprintf(stderr, "bdesim: epoll_ctl: %s\n", std::strerror(errno));
    }
}

// Waits for events until the timeout, letting the signals of mask in
// meanwhile; the number of events in events_, 0 on a time-out, -1 on error.
int Server::Wait(std::chrono::nanoseconds timeout, const sigset_t* mask) {
    static bool fine = true;  // epoll_pwait2 (nanoseconds) exists in this kernel
    if (fine) {
        timespec t{static_cast<time_t>(timeout.count() / 1000000000), static_cast<long>(timeout.count() % 1000000000)};
        int n = ::epoll_pwait2(epoll_, events_.data(), static_cast<int>(events_.size()), &t, mask);
        if (n >= 0 || errno != ENOSYS) return n;
        fine = false;
    }
    // Older kernels: whole milliseconds, rounded up so a timer never fires early.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    return ::epoll_pwait(epoll_, events_.data(), static_cast<int>(events_.size()),
                         static_cast<int>(std::min<long long>(ms, 3600000)), mask);
}

bool Server::Roll(const Fault& f) {
    if (f.chance >= 100) return true;
    return static_cast<int>(random_() % 100) < f.chance;
}

// The fault for the next exchange, or connection (kind connect): every fault
// that selects it counts it. "any" selects no connection; refuse and
// noaccept act on the listener (CheckGate).
Fault* Server::Match(Endpoint& e, Kind kind) {
    Fault* chosen = nullptr;
    for (Fault& f : e.faults) {
        bool selects = f.selector == kind || (f.selector == Kind::kAny && kind != Kind::kConnect);
        if (!selects || f.refuse || f.noaccept) continue;
        ++f.seen;
        if (chosen == nullptr && f.InWindow(f.seen) && Roll(f)) chosen = &f;
    }
    return chosen;
}

// Decides, while the endpoint is idle, whether its next connection is to be
// refused or left waiting.
void Server::CheckGate(Endpoint& e) {
    if (!e.listens || e.gateShut) return;
    long next = e.connections + 1;
    for (Fault& f : e.faults) {
        if (f.selector != Kind::kConnect || !(f.refuse || f.noaccept)) continue;
        if (f.seen >= next || !f.InWindow(next)) continue;
        f.seen = next;  // decided once per connection number
        if (!Roll(f)) continue;
        e.gateShut = true;
        e.gateRefuse = f.refuse;
        e.gateForever = f.windowMs < 0;
        e.gateUntil = Clock::now() + std::chrono::milliseconds(std::max(0L, f.windowMs));
        trace_.Event(e.name, '!', "fault " + f.text);
        if (f.refuse) CloseListener(e);
        return;
    }
}

void Server::UpdateGates() {
    Clock::time_point now = Clock::now();
    for (auto& owned : endpoints_) {
        Endpoint& e = *owned;
        if (!e.gateShut || e.gateForever || now < e.gateUntil) continue;
        if (e.gateRefuse && e.listenFd < 0 && !OpenListener(e)) {
            std::fprintf(stderr, "bdesim: %s: cannot listen again on %s: %s\n", e.name.c_str(), AddressText(e).c_str(),
                         std::strerror(errno));
            e.gateUntil = now + kRebindRetry;
            continue;
        }
        e.gateShut = false;
        trace_.Event(e.name, '*', "accepting connections again");
        CheckGate(e);
    }
}

int Server::Setup(const Config& config, const Options& options) {
    if (!options.tracePath.empty() && !trace_.Open(options.tracePath)) {
        std::fprintf(stderr, "bdesim: cannot write the trace %s: %s\n", options.tracePath.c_str(), std::strerror(errno));
        return 2;
    }
    if (config.seed) random_.seed(static_cast<std::mt19937::result_type>(*config.seed));

    auto setAddress = [](Endpoint& e, const std::optional<Listen>& listen) {
        if (!listen) return;
        e.listens = true;
        e.address.sin_family = AF_INET;
        e.address.sin_port = htons(static_cast<std::uint16_t>(listen->port));
        ::inet_pton(AF_INET, listen->address.c_str(), &e.address.sin_addr);
    };
    for (const TerminalConfig& tc : config.terminals) {
        auto e = std::make_unique<Endpoint>();
        e->name = tc.name;
        e->faults = tc.faults;
        Terminal& t = e->terminal;
        t.config = tc;
        t.config.faults.clear();
        t.clockFixed = tc.clockFixed;
        t.fixedTime = tc.fixedTime;
        t.clockOffset = tc.clockOffset;
        t.dateFormat = tc.dateFormat;
        t.programRunning = tc.programRunning;
        for (std::size_t k = 0; k < kDataSize; ++k) t.readers[k] = static_cast<Byte>((k + k / 256) & 0xFF);
        if (!tc.readersFile.empty()) {
            std::ifstream in(tc.readersFile, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "bdesim: terminal %s: cannot read %s\n", tc.name.c_str(), tc.readersFile.c_str());
                return 2;
            }
            t.readers.fill(kBlank);
            in.read(reinterpret_cast<char*>(t.readers.data()), kDataSize);
        }
        std::string error;
        t.store.countPrograms = tc.programsCounted;
        if (!t.store.Open(tc.store, tc.name, error)) {
            std::fprintf(stderr, "bdesim: terminal %s: %s\n", tc.name.c_str(), error.c_str());
            return 2;
        }
        setAddress(*e, tc.listen);
        endpoints_.push_back(std::move(e));
    }
    for (const AdapterConfig& ac : config.adapters) {
        auto e = std::make_unique<Endpoint>();
        e->name = ac.name;
        e->isAdapter = true;
        e->faults = ac.faults;
        e->adapter.config = ac;
        e->adapter.config.faults.clear();
        e->adapter.id = ac.id;
        setAddress(*e, ac.listen);
        endpoints_.push_back(std::move(e));
    }
    for (auto& e : endpoints_) all_.push_back(e.get());
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        std::fprintf(stderr, "bdesim: epoll_create1: %s\n", std::strerror(errno));
        return 2;
    }

    std::string ready = "ready";
    for (auto& owned : endpoints_) {
        Endpoint& e = *owned;
        if (!e.listens) continue;
        if (!OpenListener(e)) {
            std::fprintf(stderr, "bdesim: %s: cannot listen on %s: %s\n", e.name.c_str(), AddressText(e).c_str(),
                         std::strerror(errno));
            return 1;
        }
        std::printf("listening %s %s\n", e.name.c_str(), AddressText(e).c_str());
        ready += " " + e.name + "=" + AddressText(e);
        trace_.Event(e.name, '*', "listening " + AddressText(e));
        CheckGate(e);
    }
    std::fflush(stdout);
    ready += "\n";
    if (!options.readyFile.empty()) {
        std::string temporary = options.readyFile + ".tmp";
        std::FILE* f = std::fopen(temporary.c_str(), "w");
        if (f == nullptr || std::fputs(ready.c_str(), f) < 0 || std::fclose(f) != 0 ||
            std::rename(temporary.c_str(), options.readyFile.c_str()) != 0) {
            std::fprintf(stderr, "bdesim: cannot write %s\n", options.readyFile.c_str());
            return 2;
        }
    }
    if (options.readyFd >= 0) {
        std::size_t done = 0;
        while (done < ready.size()) {
            ssize_t n = ::write(options.readyFd, ready.data() + done, ready.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(options.readyFd);
    }
    return 0;
}

void Server::Accept(Endpoint& e) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd = ::accept4(e.listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++e.connections;
    ++e.counters[Name(Kind::kConnect)];
    e.busy = true;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    trace_.Event(e.name, '*', "connect " + std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));

    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->endpoint = &e;
    Fault* chosen = Match(e, Kind::kConnect);
    connections_.push_back(std::move(c));
    Connection& added = *connections_.back();
    if (chosen == nullptr) return;
    trace_.Event(e.name, '!', "fault " + chosen->text);
    if (chosen->silence) {
        added.deaf = true;
    } else {
        End(added, chosen->reset, chosen->reset ? "reset" : "close");
    }
}

void Server::End(Connection& c, bool reset, const std::string& why) {
    if (c.fd < 0) return;
    if (reset) {
        linger hard{1, 0};
        ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(c.fd);
    c.fd = -1;
    c.phase = Connection::Phase::kIdle;
    trace_.Event(c.endpoint->name, '*', why);
    c.endpoint->busy = false;
    if (!shutDown_) CheckGate(*c.endpoint);
}

void Server::Read(Connection& c) {
    if (c.inLength >= c.in.size()) return;
    ssize_t n = ::recv(c.fd, c.in.data() + c.inLength, c.in.size() - c.inLength, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        End(c, false, std::string("close (") + std::strerror(errno) + ")");
        return;
    }
    if (n == 0) {
        End(c, false, c.inLength > 0 ? "close by peer, incomplete request dropped" : "close by peer");
        return;
    }
    c.inLength += static_cast<std::size_t>(n);
}

void Server::ProcessInput(Connection& c) {
    while (c.fd >= 0 && c.phase == Connection::Phase::kIdle && TryRequest(c)) {
    }
}

bool Server::TryRequest(Connection& c) {
    if (c.inLength < kPrefix.size()) return false;
    if (!Equals(c.in.data(), 0, kPrefix)) {
        trace_.Event(c.endpoint->name, '*', "wrong screen-clear prefix " + Hex(c.in.data(), kPrefix.size()));
        End(c, false, "close");
        return false;
    }
    if (c.inLength < kPrefix.size() + 4) return false;
    const Byte* f = c.in.data() + kPrefix.size();
    FrameType type;
    if (f[kLongLead] == kLongLeadByte) {
        type = FrameType::kLong;
    } else if (Equals(f, kStatusMarker1, kRequestMarker) && f[3] == kStatusFixed[0]) {
        type = FrameType::kStatus;
    } else if (Equals(f, kShortMarker1, kRequestMarker) && f[3] == kShortFixed[0]) {
        type = FrameType::kShort;
    } else {
        trace_.Event(c.endpoint->name, '*', "unrecognised frame header " + Hex(f, 4));
        End(c, false, "close");
        return false;
    }
    std::size_t size = FrameSize(type);
    if (c.inLength < kPrefix.size() + size) return false;
    Frame request{};
    std::memcpy(request.data(), f, size);
    std::size_t used = kPrefix.size() + size;
    std::memmove(c.in.data(), c.in.data() + used, c.inLength - used);
    c.inLength -= used;
    Serve(c, type, request.data());
    return true;
}

void Server::Serve(Connection& c, FrameType type, const Byte* request) {
    std::size_t size = FrameSize(type);
    Endpoint* who = c.endpoint;
    if (who->isAdapter && type != FrameType::kShort && c.session.call != nullptr) who = c.session.call;
    int bad = FirstBadFixedByte(type, request);
    Kind kind = bad >= 0 ? Kind::kMalformed : Classify(*who, type, request, c.session);
    trace_.Frame(who->name, '>', Name(kind), request, size);
    if (c.deaf) return;
    ++who->counters[Name(kind)];
    Fault* fault = Match(*who, kind);

    std::memcpy(c.out.data(), request, size);
    Exchange x{*who, c.session, trace_, all_, fault != nullptr && fault->hasStatus, fault != nullptr && fault->busy};
    if (bad >= 0) trace_.Event(who->name, '*', "wrong fixed byte at " + std::to_string(bad));
    Answer(x, kind, type, request, c.out.data());

    c.outKind = kind;
    c.outWho = who;
    c.outPosition = 0;
    c.limit = size;
    c.trickleMs = 0;
    c.closeAfter = false;
    c.instead = Connection::Instead::kSend;
    long delayMs = 0;
    if (fault != nullptr) {
        trace_.Event(who->name, '!', "fault " + fault->text);
        Byte* out = c.out.data();
        if (fault->hasStatus) {
            std::size_t at = type == FrameType::kLong ? kLongCode : type == FrameType::kShort ? kShortCommand : kStatusCode;
            std::memcpy(out + at, fault->status.data(), 2);
        }
        if (fault->markerStart && type != FrameType::kLong) Put(out, kStatusMarker1, kRequestMarker);
        if (fault->markerEnd || (fault->markerStart && type == FrameType::kLong)) {
            std::size_t at = type == FrameType::kLong ? kLongMarker : type == FrameType::kShort ? kShortMarker2 : kStatusMarker2;
            Put(out, at, kRequestMarker);
        }
        if (fault->cut >= 0) {
            c.limit = std::min(size, static_cast<std::size_t>(fault->cut));
            c.closeAfter = true;
        }
        if (fault->stall >= 0) c.limit = std::min(size, static_cast<std::size_t>(fault->stall));
        c.trickleMs = fault->trickleMs;
        if (fault->silence) c.instead = Connection::Instead::kSilence;
        if (fault->close) c.instead = Connection::Instead::kClose;
        if (fault->reset) c.instead = Connection::Instead::kReset;
        delayMs = fault->delayMs;
    }
    if (delayMs > 0) {
        c.wakeAt = Clock::now() + std::chrono::milliseconds(delayMs);
        c.phase = Connection::Phase::kDelay;
        return;
    }
    Continue(c);
}

void Server::Continue(Connection& c) {
    switch (c.instead) {
        case Connection::Instead::kSilence: c.phase = Connection::Phase::kIdle; return;
        case Connection::Instead::kClose: End(c, false, "close"); return;
        case Connection::Instead::kReset: End(c, true, "reset"); return;
        case Connection::Instead::kSend: break;
    }
    c.phase = Connection::Phase::kSending;
    if (c.trickleMs > 0) c.wakeAt = Clock::now();  // only a trickled reply waits between its bytes
    Pump(c);
}

void Server::Pump(Connection& c) {
    while (c.fd >= 0 && c.phase == Connection::Phase::kSending) {
        if (c.outPosition >= c.limit) {
            trace_.Frame(c.outWho->name, '<', Name(c.outKind), c.out.data(), c.limit);
            c.phase = Connection::Phase::kIdle;
            if (c.closeAfter) End(c, false, "close");
            return;
        }
        if (c.trickleMs > 0 && Clock::now() < c.wakeAt) return;
        std::size_t n = c.trickleMs > 0 ? 1 : c.limit - c.outPosition;
        ssize_t w = ::send(c.fd, c.out.data() + c.outPosition, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                c.wantWrite = true;
                return;
            }
            End(c, false, std::string("close (") + std::strerror(errno) + ")");
            return;
        }
        c.wantWrite = false;
        c.outPosition += static_cast<std::size_t>(w);
        if (c.trickleMs > 0) c.wakeAt = Clock::now() + std::chrono::milliseconds(c.trickleMs);
    }
}

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

void Server::Run() {
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    sigset_t waiting;
    ::sigprocmask(SIG_SETMASK, nullptr, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);

    // Keys of the epoll set: a listener is its endpoint's index times two
    // plus one, a connection the address of its record (even).
    auto connectionKey = [](Connection& c) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&c)); };
    while (!g_stop) {
        UpdateGates();
        Clock::time_point now = Clock::now();
        Clock::time_point wake = now + std::chrono::hours(1);
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            Endpoint& e = *endpoints_[i];
            if (e.gateShut && !e.gateForever) wake = std::min(wake, e.gateUntil);
            if (e.listenFd >= 0) Watch(e.listenFd, e.watched, e.busy || e.gateShut ? -1 : int{EPOLLIN}, i * 2 + 1);
        }
        for (auto& owned : connections_) {
            Connection& c = *owned;
            int events = c.inLength < c.in.size() ? int{EPOLLIN} : 0;
            if (c.phase == Connection::Phase::kSending && c.wantWrite) events |= EPOLLOUT;
            if (c.phase == Connection::Phase::kDelay ||
                (c.phase == Connection::Phase::kSending && c.trickleMs > 0 && !c.wantWrite))
                wake = std::min(wake, c.wakeAt);
            Watch(c.fd, c.watched, events, connectionKey(c));
        }
        const int ready = Wait(std::max(wake - now, Clock::duration::zero()), &waiting);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "bdesim: epoll_pwait: %s\n", std::strerror(errno));
            break;
        }
        if (g_stop) break;
        for (int k = 0; k < ready; ++k) {
            const std::uint64_t key = events_[static_cast<std::size_t>(k)].data.u64;
            const std::uint32_t got = events_[static_cast<std::size_t>(k)].events;
            if (key & 1) {
                if (got & EPOLLIN) Accept(*endpoints_[key / 2]);
                continue;
            }
            Connection& c = *reinterpret_cast<Connection*>(static_cast<std::uintptr_t>(key));
            if (c.fd >= 0 && (got & (EPOLLIN | EPOLLHUP | EPOLLERR))) Read(c);
            if (c.fd >= 0 && (got & EPOLLOUT)) Pump(c);
        }
        now = Clock::now();
        for (auto& owned : connections_) {
            Connection& c = *owned;
            if (c.fd >= 0 && c.phase == Connection::Phase::kDelay && now >= c.wakeAt) Continue(c);
            if (c.fd >= 0 && c.phase == Connection::Phase::kSending && !c.wantWrite) Pump(c);
            if (c.fd >= 0 && c.phase == Connection::Phase::kIdle) ProcessInput(c);
        }
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const std::unique_ptr<Connection>& c) { return c->fd < 0; }),
                           connections_.end());
    }
}

void Server::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    for (auto& c : connections_) End(*c, false, "close at exit");
    connections_.clear();
    if (epoll_ >= 0) ::close(epoll_);
    epoll_ = -1;
    for (auto& owned : endpoints_) {
        Endpoint& e = *owned;
        CloseListener(e);
        for (const auto& [kind, count] : e.counters) {
            trace_.Event(e.name, '=', std::string(kind) + " " + std::to_string(count));
        }
        if (!e.isAdapter) e.terminal.store.Remove();
    }
    trace_.Close();
}

}  // namespace bdesim
