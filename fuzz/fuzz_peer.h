/* SPDX-License-Identifier: MIT */
// The far end of every connection the call target's library calls make: a
// terminal or ISDN adapter that answers each request as the fuzz input says.
//
// One thread serves one input's conversation at a time: the end of a
// socketpair registered under a terminal name, and whatever the library
// connects to on the listeners (port 23 of 127.0.0.2, .3 and .4, inside
// the private network namespace). It reads each request (the 4-byte prefix,
// then a status, short or long frame, told apart by its header bytes) and
// takes the next operation from the script:
//
//   op byte   bits 0-2  what to do
//               0  reply: the request turned into its reply (reply markers,
//                  status "00"; a status frame gets a known terminal status)
//               1  reply with status "01" (another known terminal status)
//               2  reply with the status in the next 2 bytes
//               3  as 2, then patches: count (byte & 7), each: offset (2
//                  bytes, within the frame), length (1 byte), repeat (1
//                  byte: the bytes are written repeat+1 times), the bytes
//               4  raw: length (2 bytes, at most 4095), then those bytes as
//                  they are, whatever the request
//               5  close the connection without an answer
//               6  no answer at all (the library waits its time-out)
//               7  the reply of 0, held back until the next request: it
//                  arrives late, after the library's time-out
//             bit 3  the reply goes out in two pieces, 0.1 or 0.3 ms apart
//                    (next byte: where it is cut and how long the pause is;
//                    at most 1 ms of pauses per input)
//             bit 4  extra bytes after the reply (next byte: count, then
//                    the bytes), putting the conversation out of step
//             bits 5-7  the same operation also answers the next 0-7 requests
//
// A script that has run out closes the connection. Operations 6 and 7, and
// replies shorter than the library waits for, cost a whole time-out (1 s):
// they are carried out at most once every 10 s of fuzzing, and otherwise the
// connection is closed at that point (cut short, then closed), so that
// executions per second stay high; a single input replayed always gets them.
#ifndef FUZZ_FUZZ_PEER_H
#define FUZZ_FUZZ_PEER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace fuzz_peer {

// The loopback addresses the listeners take (network byte order text).
inline constexpr const char* kTerminalAddress = "127.0.0.2";
inline constexpr const char* kAdapterAddresses[] = {"127.0.0.3", "127.0.0.4"};

class Peer {
  public:
    // listen: open the listeners on port 23 (only inside a private network
    // namespace); otherwise only socketpair ends are served.
    explicit Peer(bool listen);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool listening() const { return !listeners_.empty(); }
    // Starts serving one conversation with the script (which must stay
    // valid until Finish returns). direct: a socketpair end to serve, or -1.
    // After maxRequests requests every connection is closed.
    void Begin(std::span<const uint8_t> script, int direct, int maxRequests);
    // Ends the conversation: closes every connection still open, accepts
    // and closes what is still queued, and returns once the thread is idle.
    void Finish();

  private:
    void Run();
    void Converse();

    std::vector<int> listeners_;
    int wake_[2] = {-1, -1};  // Finish writes to wake_[1]
    std::mutex mutex_;
    std::condition_variable changed_;
    bool busy_ = false;
    bool quit_ = false;
    std::span<const uint8_t> script_;
    int direct_ = -1;
    int maxRequests_ = 0;
    std::thread thread_;
};

}  // namespace fuzz_peer

#endif
