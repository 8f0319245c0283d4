// SPDX-License-Identifier: MIT
#include "tests/support/peer.h"

#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

#include "xelbde/internal.h"

namespace testing_support {
namespace {

bool ReadExact(int fd, char* buffer, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, buffer + got, n - got);
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

void WriteAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t w = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (w <= 0) return;
        sent += static_cast<std::size_t>(w);
    }
}

}  // namespace

ScriptedPeer::ScriptedPeer(PeerHandler handler) : handler_(std::move(handler)) {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    client_ = fds[0];
    peer_ = fds[1];
    thread_ = std::thread([this] { Run(); });
}

ScriptedPeer::~ScriptedPeer() {
    ::shutdown(peer_, SHUT_RDWR);
    thread_.join();
    ::close(peer_);
}

xelbde::Session ScriptedPeer::session() const { return xelbde::Session{client_, xelbde::GetBdeTimeout()}; }

void ScriptedPeer::Register(const char* name) {
    xelbde::InitApiLibrary();
    xelbde::SetSocketHandle(name, client_);
}

void ScriptedPeer::Run() {
    for (int index = 0;; ++index) {
        char prefix[4];
        std::string frame(12, '\0');
        if (!ReadExact(peer_, prefix, 4) || !ReadExact(peer_, frame.data(), 12)) return;
        auto byte = [&](int i) { return static_cast<unsigned char>(frame[i]); };
        // Status and short requests carry the request marker CA CE at bytes
        // 1-2 and differ at byte 3; anything else is long (byte 3 of a long
        // frame is the first byte of an object name: any byte).
        const bool marked = byte(1) == 0xCA && byte(2) == 0xCE;
        const std::size_t length = !marked ? 1920 : byte(3) == 0x66 ? 12 : 526;
        frame.resize(length);
        if (length > 12 && !ReadExact(peer_, frame.data() + 12, length - 12)) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            prefixes_.emplace_back(prefix, 4);
            requests_.push_back(frame);
        }
        PeerAction action = handler_(index, frame);
        if (action.kind == PeerAction::kClose) {
            ::shutdown(peer_, SHUT_RDWR);
            return;
        }
        if (action.kind == PeerAction::kReply) WriteAll(peer_, action.bytes);
        if (action.closeAfter) {
            ::shutdown(peer_, SHUT_RDWR);
            return;
        }
    }
}

std::vector<std::string> ScriptedPeer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<std::string> ScriptedPeer::prefixes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return prefixes_;
}

bool ScriptedPeer::WaitForRequests(std::size_t n) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (requests_.size() >= n) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void Put(std::string& frame, std::size_t offset, std::string_view bytes) {
    frame.replace(offset, bytes.size(), bytes);
}

std::string StatusReply(unsigned char status7, unsigned char status8) {
    std::string f(12, ' ');
    f[1] = '\xCE';
    f[2] = '\xCA';
    f[7] = static_cast<char>(status7);
    f[8] = static_cast<char>(status8);
    f[9] = '\xCE';
    f[10] = '\xCA';
    return f;
}

std::string ShortReply(std::string_view status) {
    std::string f(526, ' ');
    f[1] = '\xCE';
    f[2] = '\xCA';
    Put(f, 9, status.substr(0, 2));
    f[524] = '\xCE';
    f[525] = '\xCA';
    return f;
}

std::string LongReply(std::string_view status) {
    std::string f(1920, ' ');
    Put(f, 49, status.substr(0, 2));
    f[1917] = '\xCE';
    f[1918] = '\xCA';
    return f;
}

}  // namespace testing_support
