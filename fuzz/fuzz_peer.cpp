// SPDX-License-Identifier: MIT
#include "fuzz/fuzz_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>

namespace fuzz_peer {
namespace {

constexpr std::size_t kPrefixLen = 4;
constexpr std::size_t kStatusLen = 12;
constexpr std::size_t kShortLen = 526;
constexpr std::size_t kLongLen = 1920;
constexpr unsigned char kReplyMarker[2] = {0xCE, 0xCA};
constexpr int64_t kSlowEveryMs = 10000;
// Pauses between pieces: long enough for the library to take the first
// piece on its own, short enough not to slow the fuzzing down.
constexpr int kPauseUs[2] = {100, 300};
constexpr int kPauseBudgetUs = 1000;  // per conversation

enum Action { kReply00 = 0, kReply01, kReplyStatus, kReplyPatched, kRaw, kClose, kSilence, kLate };

int64_t NowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Operations that cost the library a whole time-out are rationed.
bool SlowAllowed() {
    static int64_t last = INT64_MIN / 2;
    const int64_t now = NowMs();
    if (now - last < kSlowEveryMs) return false;
    last = now;
    return true;
}

void SleepUs(int us) {
    timespec ts{0, static_cast<long>(us) * 1000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

class Script {
  public:
    explicit Script(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool Done() const { return at_ >= bytes_.size(); }
    uint8_t Byte() { return Done() ? 0 : bytes_[at_++]; }
    unsigned Word() {
        const unsigned low = Byte();
        return low | static_cast<unsigned>(Byte()) << 8;
    }
    std::span<const uint8_t> Take(std::size_t n) {
        const std::size_t available = bytes_.size() - std::min(at_, bytes_.size());
        if (n > available) n = available;
        std::span<const uint8_t> taken = bytes_.subspan(at_, n);
        at_ += n;
        return taken;
    }

  private:
    std::span<const uint8_t> bytes_;
    std::size_t at_ = 0;
};

struct Patch {
    unsigned offset;
    unsigned repeat;
    std::span<const uint8_t> bytes;
};

struct Operation {
    int action = kClose;
    int repeat = 0;
    uint8_t status[2] = {0, 0};
    std::vector<Patch> patches;
    std::span<const uint8_t> raw;
    bool pieces = false;
    uint8_t cut = 0;
    std::span<const uint8_t> extra;
};

Operation Decode(Script& script) {
    Operation op;
    const uint8_t b = script.Byte();
    op.action = b & 7;
    op.repeat = b >> 5;
    if (op.action == kReplyStatus || op.action == kReplyPatched) {
        op.status[0] = script.Byte();
        op.status[1] = script.Byte();
    }
    if (op.action == kReplyPatched) {
        const int count = script.Byte() & 7;
        for (int i = 0; i < count && !script.Done(); ++i) {
            Patch patch;
            patch.offset = script.Word();
            const std::size_t length = script.Byte();
            patch.repeat = script.Byte();
            patch.bytes = script.Take(length);
            op.patches.push_back(patch);
        }
    }
    if (op.action == kRaw) op.raw = script.Take(script.Word() & 0x0FFF);
    if (b & 0x08) {
        op.pieces = true;
        op.cut = script.Byte();
    }
    if (b & 0x10) op.extra = script.Take(script.Byte());
    return op;
}

void PutMarker(std::string& frame, std::size_t offset) {
    frame[offset] = static_cast<char>(kReplyMarker[0]);
    frame[offset + 1] = static_cast<char>(kReplyMarker[1]);
}

void PutStatus(std::string& frame, std::size_t offset, const Operation& op, const char* fixed00,
               const char* fixed01) {
    const char* status = op.action == kReply01 ? fixed01 : fixed00;
    if (op.action == kReplyStatus || op.action == kReplyPatched) {
        frame[offset] = static_cast<char>(op.status[0]);
        frame[offset + 1] = static_cast<char>(op.status[1]);
    } else {
        frame[offset] = status[0];
        frame[offset + 1] = status[1];
    }
}

// The request turned into a reply of the same kind: reply markers where the
// library looks for them, the status, then the input's patches.
std::string BuildReply(const std::string& request, const Operation& op) {
    std::string reply = request;
    switch (request.size()) {
        case kStatusLen:
            PutMarker(reply, 1);
            PutMarker(reply, 9);
            PutStatus(reply, 7, op, "\xB5\xD8", "\xA2\xD8");  // two known terminal types
            break;
        case kShortLen: {
            PutMarker(reply, 1);
            PutMarker(reply, 524);
            PutStatus(reply, 9, op, "00", "01");
            static constexpr char kLineFree[] = "L=0 I=1";  // what the line-state query looks for
            std::memcpy(reply.data() + 12, kLineFree, sizeof kLineFree - 1);
            break;
        }
        default:
            PutMarker(reply, 1917);
            PutStatus(reply, 49, op, "00", "01");
    }
    for (const Patch& patch : op.patches) {
        if (patch.bytes.empty()) continue;
        std::size_t at = patch.offset % reply.size();
        for (unsigned round = 0; round <= patch.repeat && at < reply.size(); ++round) {
            const std::size_t n = std::min(patch.bytes.size(), reply.size() - at);
            std::memcpy(reply.data() + at, patch.bytes.data(), n);
            at += n;
        }
    }
    return reply;
}

struct Connection {
    int fd;
    std::string input;  // bytes of the request being read
    std::string held;   // a late reply, sent before the next one
    long owed = 0;      // reply bytes the library waits for and has not been sent
};

}  // namespace

Peer::Peer(bool listen) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    if (listen) {
        std::vector<const char*> addresses{kTerminalAddress};
        for (const char* adapter : kAdapterAddresses) addresses.push_back(adapter);
        for (const char* address : addresses) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(23);
            ::inet_pton(AF_INET, address, &sa.sin_addr);
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
                if (fd >= 0) ::close(fd);
                for (int open : listeners_) ::close(open);
                listeners_.clear();
                break;
            }
            listeners_.push_back(fd);
        }
    }
    thread_ = std::thread([this] { Run(); });
}

Peer::~Peer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
    for (int fd : listeners_) ::close(fd);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void Peer::Begin(std::span<const uint8_t> script, int direct, int maxRequests) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = script;
        direct_ = direct;
        maxRequests_ = maxRequests;
        busy_ = true;
    }
    changed_.notify_all();
}

void Peer::Finish() {
    char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

void Peer::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return busy_ || quit_; });
        if (quit_) return;
        lock.unlock();
        Converse();
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void Peer::Converse() {
    std::vector<Connection> connections;
    if (direct_ >= 0) {
        ::fcntl(direct_, F_SETFL, ::fcntl(direct_, F_GETFL) | O_NONBLOCK);
        connections.push_back({direct_, {}, {}, 0});
    }
    Script script(script_);
    Operation current;
    int repeatLeft = 0;
    int pauseBudget = kPauseBudgetUs;
    int requests = 0;
    bool finishing = false;

    // Sends everything unless the connection fails or Finish is called.
    auto sendAll = [&](int fd, const char* data, std::size_t size) {
        std::size_t sent = 0;
        while (sent < size) {
            ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return false;
            pollfd p[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(p, 2, 1000) <= 0 || (p[1].revents & POLLIN)) {
                finishing = true;
                return false;
            }
        }
        return true;
    };

    // Answers one request; false when the connection is to be closed.
    auto answer = [&](Connection& c, const std::string& request) {
        if (++requests > maxRequests_) return false;
        c.owed += static_cast<long>(request.size());  // every reply is as long as its request
        if (!c.held.empty()) {
            std::string late;
            late.swap(c.held);
            if (!sendAll(c.fd, late.data(), late.size())) return false;
            c.owed -= static_cast<long>(late.size());
        }
        if (repeatLeft > 0) {
            --repeatLeft;
        } else {
            if (script.Done()) return false;
            current = Decode(script);
            repeatLeft = current.repeat;
        }
        const Operation& op = current;
        std::string reply;
        switch (op.action) {
            case kClose: return false;
            case kSilence: return SlowAllowed();
            case kRaw: reply.assign(op.raw.begin(), op.raw.end()); break;
            case kLate: {
                if (!SlowAllowed()) return false;
                Operation plain = op;
                plain.action = kReply00;
                c.held = BuildReply(request, plain);
                c.held.append(op.extra.begin(), op.extra.end());
                return true;
            }
            default: reply = BuildReply(request, op);
        }
        reply.append(op.extra.begin(), op.extra.end());
        std::size_t cut = op.pieces && reply.size() > 1 ? 1 + op.cut * (reply.size() - 1) / 256 : reply.size();
        const int pause = kPauseUs[op.cut & 1];
        if (cut < reply.size() && pause <= pauseBudget) {
            if (!sendAll(c.fd, reply.data(), cut)) return false;
            pauseBudget -= pause;
            SleepUs(pause);
        } else {
            cut = 0;
        }
        if (!sendAll(c.fd, reply.data() + cut, reply.size() - cut)) return false;
        c.owed -= static_cast<long>(reply.size());
        // A reply cut short would keep the library waiting for the rest until
        // its time-out: the connection is closed instead (rationed, it stays).
        return c.owed <= 0 || SlowAllowed();
    };

    // Reads what arrived and answers each complete request.
    auto serve = [&](Connection& c) {
        char buffer[8192];
        ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        c.input.append(buffer, static_cast<std::size_t>(n));
        while (c.input.size() >= kPrefixLen + kStatusLen) {
            // Status and short requests carry the request marker CA CE at
            // bytes 1-2 and differ at byte 3; anything else is long: a long
            // request (0xD8 at byte 1) or an upload's echo of a reply. (Byte
            // 3 of a long frame is the first byte of an object name.)
            const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(c.input[kPrefixLen + i]); };
            const bool marked = byte(1) == 0xCA && byte(2) == 0xCE;
            const std::size_t length = !marked ? kLongLen : byte(3) == 0x66 ? kStatusLen : kShortLen;
            if (c.input.size() < kPrefixLen + length) break;
            const std::string request = c.input.substr(kPrefixLen, length);
            c.input.erase(0, kPrefixLen + length);
            if (!answer(c, request)) return false;
        }
        return true;
    };

    while (!finishing) {
        std::vector<pollfd> fds;
        fds.push_back({wake_[0], POLLIN, 0});
        for (int fd : listeners_) fds.push_back({fd, POLLIN, 0});
        for (const Connection& c : connections) fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents & POLLIN) break;
        for (std::size_t i = 0; i < listeners_.size(); ++i) {
            if (!(fds[1 + i].revents & POLLIN)) continue;
            int fd = ::accept4(listeners_[i], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) continue;
            int on = 1;  // replies sent in pieces must not wait for acknowledgements
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            connections.push_back({fd, {}, {}, 0});
        }
        const std::size_t first = 1 + listeners_.size();
        const std::size_t polled = fds.size() - first;
        for (std::size_t i = polled; i-- > 0;) {
            if (!(fds[first + i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (!serve(connections[i])) {
                ::close(connections[i].fd);
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
            }
            if (finishing) break;
        }
    }

    for (const Connection& c : connections) ::close(c.fd);
    for (int fd : listeners_) {
        for (int queued; (queued = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) ::close(queued);
    }
    char drain[16];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
}

}  // namespace fuzz_peer
