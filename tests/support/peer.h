/* SPDX-License-Identifier: MIT */
// A scripted terminal on the far end of a socketpair, for unit tests of the
// frame exchanges: a thread reads each request (the 4-byte screen-clear
// prefix, then a status, short or long frame, told apart by its header
// bytes), records it and answers as the test's handler says.
#ifndef TESTS_SUPPORT_PEER_H
#define TESTS_SUPPORT_PEER_H

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "xelbde/frames.h"

namespace testing_support {

struct PeerAction {
    enum Kind { kReply, kSilence, kClose } kind = kReply;
    std::string bytes;  // sent as they are for kReply (any length: short replies too)
    bool closeAfter = false;

    static PeerAction Reply(std::string bytes) { return {kReply, std::move(bytes), false}; }
    static PeerAction ReplyThenClose(std::string bytes) { return {kReply, std::move(bytes), true}; }
    static PeerAction Silence() { return {kSilence, {}, false}; }
    static PeerAction Close() { return {kClose, {}, false}; }
};

// index counts requests from 0; request is the frame without the prefix.
using PeerHandler = std::function<PeerAction(int index, const std::string& request)>;

class ScriptedPeer {
  public:
    explicit ScriptedPeer(PeerHandler handler);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int clientFd() const { return client_; }
    // The client end as an API call's session (the reply time-out as configured).
    xelbde::Session session() const;
    // Makes the client end the registered connection of name, as APALC00B
    // would (initialises the registry first).
    void Register(const char* name);

    std::vector<std::string> requests() const;  // frames in arrival order
    std::vector<std::string> prefixes() const;  // the 4 bytes before each frame
    // Waits until the peer has read n requests (or a few seconds passed).
    bool WaitForRequests(std::size_t n) const;

  private:
    void Run();
    PeerHandler handler_;
    int client_ = -1;
    int peer_ = -1;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::string> prefixes_;
    std::thread thread_;
};

// Reply frames as a terminal builds them (all blanks, markers and status set).
std::string StatusReply(unsigned char status7, unsigned char status8);
std::string ShortReply(std::string_view status /* 2 chars */);
std::string LongReply(std::string_view status /* 2 chars */);
// Puts bytes into a frame at an offset.
void Put(std::string& frame, std::size_t offset, std::string_view bytes);

}  // namespace testing_support

#endif
