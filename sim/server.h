/* SPDX-License-Identifier: MIT */
// The epoll loop that serves every simulated terminal and adapter: one
// thread, non-blocking sockets, timers for delayed and trickled replies.
#ifndef SIM_SERVER_H
#define SIM_SERVER_H

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <sys/epoll.h>

#include "sim/config.h"
#include "sim/sim.h"

namespace bdesim {

struct Options {
    std::string tracePath;
    int readyFd = -1;
    std::string readyFile;
};

struct Connection;

class Server {
  public:
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // 0 when every listener is bound, 1 when one cannot be, 2 for a bad
    // configuration (messages on standard error).
    int Setup(const Config& config, const Options& options);
    // Serves until SIGTERM or SIGINT arrives (they must be blocked by the
    // caller; they are let through only while waiting for events).
    void Run();
    // Closes everything, writes the counters, removes temporary stores.
    void Shutdown();

  private:
    bool OpenListener(Endpoint& e);
    void CloseListener(Endpoint& e);
    void CheckGate(Endpoint& e);
    void UpdateGates();
    void Accept(Endpoint& e);
    void Read(Connection& c);
    void ProcessInput(Connection& c);
    bool TryRequest(Connection& c);
    void Serve(Connection& c, FrameType type, const Byte* request);
    void Continue(Connection& c);
    void Pump(Connection& c);
    void End(Connection& c, bool reset, const std::string& why);
    Fault* Match(Endpoint& e, Kind kind);
    bool Roll(const Fault& f);
    std::string AddressText(const Endpoint& e) const;
    void Watch(int fd, int& watched, int want, std::uint64_t key);
    int Wait(std::chrono::nanoseconds timeout, const sigset_t* mask);

    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    std::vector<Endpoint*> all_;
    std::vector<std::unique_ptr<Connection>> connections_;
    Trace trace_;
    std::mt19937 random_;
    bool shutDown_ = false;
    int epoll_ = -1;
    std::array<epoll_event, 64> events_{};
};

}  // namespace bdesim

#endif
