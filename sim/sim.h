// Run-time state of the simulated terminals and adapters, their connections,
// and the handlers that answer the requests.
#ifndef SIM_SIM_H
#define SIM_SIM_H

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <netinet/in.h>
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
    bool busy = false;  // a connection is being served
    long connections = 0;
    std::vector<Fault> faults;
    std::map<std::string, long> counters;

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
};

struct DownloadState {
    bool active = false;
    char type = 0;
    std::string name;
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

// Kind of a request: the fault selector and trace name it goes by.
std::string ClassifyTerminal(FrameType type, const Byte* request, const Session& session);
std::string ClassifyAdapter(FrameType type, const Byte* request);

// Fill reply (same size as the request) for the kind; the reply starts as a
// copy of the request.
void AnswerTerminal(Exchange& x, const std::string& kind, FrameType type, const Byte* request, Byte* reply);
void AnswerAdapter(Exchange& x, const std::string& kind, FrameType type, const Byte* request, Byte* reply);
void AnswerMalformed(FrameType type, Byte* reply);

// Reply skeletons.
void MakeStatusReply(Byte* reply, Byte status7, Byte status8);
void MakeShortReply(Byte* reply, const char status[2]);
void MakeLongReply(Byte* reply, const char status[2]);

}  // namespace bdesim

#endif
