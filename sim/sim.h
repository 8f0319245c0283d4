/* SPDX-License-Identifier: MIT */
// Run-time state of the simulated terminals and adapters, their connections,
// and the handlers that answer the requests.
#ifndef SIM_SIM_H
#define SIM_SIM_H

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/config.h"
#include "sim/frames.h"
#include "sim/store.h"

namespace bdesim {

using Clock = std::chrono::steady_clock;

// Frame trace: one line per frame or event, flushed at once.
class Trace {
  public:
    bool Open(const std::string& path);
    void Close();
    void Frame(const std::string& who, char direction, std::string_view kind, const Byte* bytes, std::size_t n);
    void Event(const std::string& who, char mark, const std::string& text);

  private:
    std::FILE* file_ = nullptr;
};

struct Terminal {
    TerminalConfig config;
    Store store;
    bool clockFixed = false;
    std::time_t fixedTime = 0;
    long long clockOffset = 0;
    char dateFormat = '1';
    bool programRunning = true;
    std::array<Byte, kDataSize> readers{};

    std::time_t Now() const;
};

struct Adapter {
    AdapterConfig config;
    std::string id;  // shown after I=
};

// A terminal or an adapter with its listener and its faults.
struct Endpoint {
    std::string name;
    bool isAdapter = false;
    Terminal terminal;
    Adapter adapter;

    bool listens = false;
    sockaddr_in address{};  // port filled in once bound
    int listenFd = -1;
    int watched = -1;   // the events the server's epoll set holds for listenFd; -1 none
    bool busy = false;  // a connection is being served
    long connections = 0;
    std::vector<Fault> faults;
    std::map<std::string_view, long> counters;  // by kind name

    // Gate in front of the listener (connect faults refuse / noaccept).
    bool gateShut = false;
    bool gateRefuse = false;  // listener closed (refused) rather than not accepting
    bool gateForever = false;
    Clock::time_point gateUntil{};
};

struct UploadState {
    bool reset = false;   // an upload reset came last: block requests follow
    bool active = false;
    bool awaitingAck = false;
    std::string name;
    std::uint64_t offset = 0;
    std::array<Byte, kDataSize> previous{};  // the block the next request should echo
    StoreFile file;                          // the file served, open from the first block on
    std::uint64_t size = 0;                  // its size at the first block
    std::vector<Byte> ahead;                 // the file from aheadAt on, read ahead of the blocks
    std::uint64_t aheadAt = 0;
};

struct DownloadState {
    bool active = false;
    char type = 0;
    std::string name;
    StoreFile file;            // the file written, open from the first block on
    std::uint64_t size = 0;    // its size after the blocks so far
    std::uint64_t others = 0;  // memory of the other objects, taken at the first block
};

// The terminal-side state of one connection.
struct Session {
    Endpoint* call = nullptr;  // the dialled terminal, on an adapter connection
    UploadState upload;
    DownloadState download;
};

// Context a handler needs besides the frames.
struct Exchange {
    Endpoint& endpoint;
    Session& session;
    Trace& trace;
    const std::vector<Endpoint*>& all;  // for the dial-up
    bool refuse = false;                // a status fault: do not change anything
    bool forceBusy = false;             // a busy fault on ST
};

// A handler fills in the reply to a request of its kind. The reply comes as
// a copy of the request made into a reply of status "00".
using Handler = void (*)(Exchange& x, const Byte* request, Byte* reply);

// One row of the table of kinds (kKinds, in terminal.cpp).
struct KindRow {
    Kind kind;
    std::string_view name;           // in the trace and the counters; a fault selector in any case
    std::optional<FrameType> frame;  // none: any frame
    std::string_view program;        // long frames: program at 72-79 ("" for the downloads: several)
    std::string_view command;        // long: 3-11, short: 9-10, status: code 7-8; "" = by rule
    Handler terminal;                // none: the terminal does not know the request ("99")
    Handler adapter;                 // none: the adapter does not know the request ("99")
};
extern const std::array<KindRow, kKindCount> kKinds;
inline std::string_view Name(Kind kind) { return kKinds[static_cast<std::size_t>(kind)].name; }
// The kinds a fault may select: every one but the last, malformed.
inline std::span<const KindRow> Selectors() { return std::span(kKinds).first(kKinds.size() - 1); }
// Kind names compare in any case.
constexpr bool SameInAnyCase(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char p, char q) { return lower(p) == lower(q); });
}

// The kind of a request to a terminal or an adapter (not malformed).
Kind Classify(const Endpoint& who, FrameType type, const Byte* request, const Session& session);
// Fills reply (same size as the request, a copy of it) for the kind.
void Answer(Exchange& x, Kind kind, FrameType type, const Byte* request, Byte* reply);

// The adapter's handlers (adapter.cpp); a hang-up on a terminal, which has
// no call to end, is just answered.
void AnswerLineStatus(Exchange& x, const Byte* request, Byte* reply);
void AnswerIdentify(Exchange& x, const Byte* request, Byte* reply);
void AnswerDial(Exchange& x, const Byte* request, Byte* reply);
void AnswerHangUp(Exchange& x, const Byte* request, Byte* reply);

}  // namespace bdesim

#endif
