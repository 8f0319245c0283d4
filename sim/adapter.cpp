// SPDX-License-Identifier: MIT
// How a simulated ISDN adapter answers its short frames, and how a dial-up
// hands the connection to the dialled terminal.
#include <algorithm>
#include <cstring>
#include <string>

#include "sim/sim.h"

namespace bdesim {
namespace {

// The adapter's refusal for anything it cannot carry out.
constexpr const char* kRefused = "99";

std::string DataText(const Byte* f) {
    std::string text(reinterpret_cast<const char*>(f + kShortData), kShortDataSize);
    std::size_t end = text.find_last_not_of(' ');
    text.resize(end == std::string::npos ? 0 : end + 1);
    return text;
}

// Printable form of a text for the trace.
std::string Shown(const std::string& text) {
    std::string shown;
    for (char c : text) shown += c >= 0x20 && c < 0x7F ? c : '?';
    return shown;
}

}  // namespace

void AnswerLineStatus(Exchange& x, const Byte*, Byte* reply) {
    bool busy = x.endpoint.adapter.config.busy || x.forceBusy;
    std::string text = std::string("L=") + (busy ? '1' : '0') + " I=" + x.endpoint.adapter.id;
    std::memcpy(reply + kShortData, text.data(), std::min(text.size(), kShortDataSize));
}

void AnswerIdentify(Exchange& x, const Byte* request, Byte* reply) {
    std::string data = DataText(request);
    if (data.rfind("N=", 0) != 0) {
        Put(reply, kShortCommand, kRefused, 2);
        return;
    }
    std::string id = data.substr(2, data.find(' ') == std::string::npos ? std::string::npos : data.find(' ') - 2);
    if (!x.refuse) x.endpoint.adapter.id = id;
    x.trace.Event(x.endpoint.name, '*', "identifier " + Shown(id));
}

void AnswerDial(Exchange& x, const Byte* request, Byte* reply) {
    // "N=<number> T=<3 digits>"
    std::string data = DataText(request);
    std::size_t blank = data.find(' ');
    bool wellFormed = data.rfind("N=", 0) == 0 && blank != std::string::npos && blank > 2 &&
                      data.compare(blank, 3, " T=") == 0 && data.size() > blank + 3 && data.size() <= blank + 6;
    std::string number = wellFormed ? data.substr(2, blank - 2) : "";
    Endpoint* callee = nullptr;
    for (Endpoint* e : x.all) {
        if (!e->isAdapter && !number.empty() && e->terminal.config.number == number) callee = e;
    }
    if (!wellFormed || callee == nullptr || x.endpoint.adapter.config.busy) {
        Put(reply, kShortCommand, kRefused, 2);
        x.trace.Event(x.endpoint.name, '*', "dial refused: " + Shown(data));
        return;
    }
    if (x.refuse) return;
    x.session = Session{};
    x.session.call = callee;
    x.trace.Event(x.endpoint.name, '*', "call to " + callee->name + " (" + Shown(data) + ")");
    x.trace.Event(callee->name, '*', "call through " + x.endpoint.name);
}

void AnswerHangUp(Exchange& x, const Byte*, Byte*) {
    if (x.session.call == nullptr || x.refuse) return;
    x.trace.Event(x.endpoint.name, '*', "call to " + x.session.call->name + " ended");
    x.session = Session{};
}

}  // namespace bdesim
