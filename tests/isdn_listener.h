/* SPDX-License-Identifier: MIT */
// A scripted TCP listener on port 23 of a loopback address, for tests that
// run inside a private network namespace: it stands for an ISDN adapter (or
// a terminal) that the library connects to itself. Connections are served
// one after another; every request is recorded, and accepts and closes go
// into an event list shared by all listeners of the test, so the order in
// which adapters were used can be checked.
#ifndef TESTS_ISDN_LISTENER_H
#define TESTS_ISDN_LISTENER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/peer.h"

namespace isdn_listener {

class EventLog {
  public:
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

class Listener {
  public:
    // handler gets the request index within its connection.
    Listener(std::string label, const char* address, testing_support::PeerHandler handler, EventLog* log)
        : label_(std::move(label)), handler_(std::move(handler)), log_(log) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(23);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        listening_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd_, 8) == 0;
        if (listening_) thread_ = std::thread([this] { Run(); });
    }
    ~Listener() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool listening() const { return listening_; }
    // Called by the listener's thread right after each accept.
    void OnAccept(std::function<void()> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        onAccept_ = std::move(hook);
    }
    // True when no connection is being served, or the client has closed
    // the one being served (its end of stream is queued, read or not).
    bool ClientClosedNow() const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (client_ < 0) return true;
        char c;
        return ::recv(client_, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    }
    int connections() const { return connections_; }
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // Waits until the current connection has been closed by the client.
    bool WaitForClose(int connectionCount) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            if (closed_ >= connectionCount) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

  private:
    bool Wait(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, 50);
            if (r > 0) return true;
            if (r < 0) return false;
        }
        return false;
    }
    bool ReadExact(int fd, char* buffer, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            if (!Wait(fd)) return false;
            ssize_t r = ::read(fd, buffer + got, n - got);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }
    static void WriteAll(int fd, const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t w = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (w <= 0) return;
            sent += static_cast<std::size_t>(w);
        }
    }
    void Serve(int client) {
        for (int index = 0;; ++index) {
            char prefix[4];
            std::string frame(12, '\0');
            if (!ReadExact(client, prefix, 4) || !ReadExact(client, frame.data(), 12)) return;
            auto byte = [&](int i) { return static_cast<unsigned char>(frame[static_cast<std::size_t>(i)]); };
            // Status and short requests: marker CA CE at bytes 1-2, then 0x66 or
            // 0x69; anything else is long (byte 3 is then any name byte).
            const bool marked = byte(1) == 0xCA && byte(2) == 0xCE;
            const std::size_t length = !marked ? 1920 : byte(3) == 0x66 ? 12 : 526;
            frame.resize(length);
            if (length > 12 && !ReadExact(client, frame.data() + 12, length - 12)) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(frame);
            }
            testing_support::PeerAction action = handler_(index, frame);
            if (action.kind == testing_support::PeerAction::kClose) return;
            if (action.kind == testing_support::PeerAction::kReply) WriteAll(client, action.bytes);
            if (action.closeAfter) return;
        }
    }
    void Run() {
        while (!stop_) {
            if (!Wait(fd_)) continue;
            int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) continue;
            std::function<void()> hook;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                client_ = client;
                hook = onAccept_;
            }
            ++connections_;
            if (log_) log_->Add(label_ + " accept");
            if (hook) hook();
            Serve(client);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                client_ = -1;
            }
            ::close(client);
            if (log_) log_->Add(label_ + " close");
            ++closed_;
        }
    }

    std::string label_;
    testing_support::PeerHandler handler_;
    EventLog* log_;
    int fd_ = -1;
    int client_ = -1;
    std::function<void()> onAccept_;
    bool listening_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> closed_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace isdn_listener

#endif
