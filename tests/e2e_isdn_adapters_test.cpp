// SPDX-License-Identifier: MIT
// APALC00B of an ISDN terminal against scripted adapters listening on port
// 23 of loopback addresses in the test's own network namespace: the order
// in which adapters are tried and which failures move on to the next one.
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/isdn_listener.h"
#include "tests/support/peer.h"
#include "tests/support/testing.h"
#include "xelbde/internal.h"

using namespace xelbde;
using isdn_listener::EventLog;
using isdn_listener::Listener;
using testing_support::LongReply;
using testing_support::PeerAction;
using testing_support::Put;
using testing_support::ShortReply;
using testing_support::WriteFile;

namespace {

std::string LineState(const std::string& text) {
    std::string reply = ShortReply("00");
    Put(reply, 12, text);
    return reply;
}

std::string WithoutEndMarker(std::string reply) {
    reply[reply.size() == 526 ? 524 : 1917] = ' ';
    return reply;
}

// An adapter that dials through and then behaves as a terminal of type
// 5214-031; each reply can be replaced.
struct Adapter {
    std::string st = LineState("L=0 I=1");
    std::string id = ShortReply("00");
    std::vector<std::string> ident = {LongReply("00")};
    PeerAction cl = PeerAction::Reply(ShortReply("00"));

    testing_support::PeerHandler Handler() const {
        auto identCount = std::make_shared<std::size_t>(0);
        Adapter copy = *this;
        return [copy, identCount](int, const std::string& request) {
            if (request.size() == 12) return PeerAction::Reply(testing_support::StatusReply(0xB5, 0xD8));
            if (request.size() == 1920) {
                std::size_t i = std::min(*identCount, copy.ident.size() - 1);
                ++*identCount;
                return PeerAction::Reply(copy.ident[i]);
            }
            std::string command = request.substr(9, 2);
            if (command == "ST") return PeerAction::Reply(copy.st);
            if (command == "ID") return PeerAction::Reply(copy.id);
            if (command == "CL") return copy.cl;
            return PeerAction::Reply(ShortReply("00"));
        };
    }
};

std::string Commands(const std::vector<std::string>& requests) {
    std::string out;
    for (const std::string& r : requests) {
        if (!out.empty()) out += ' ';
        out += r.size() == 526 ? r.substr(9, 2) : r.size() == 12 ? "status" : r.substr(3, 9);
    }
    return out;
}

class IsdnAdapters : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XELBDE_TIMEOUT", "1", 1);
        ::setenv("DEBUG_LEVEL", "0", 1);
    }
    static void Ini(const std::string& adapters) {
        ASSERT_TRUE(WriteFile("terminal.ini", "[FERN1]\r\nKLASSE=ISDN\r\nVORWAHL=0123\r\nNUMMER=4567\r\n"
                                              "[HALLE1]\r\nIP=127.0.0.7\r\n" +
                                                  adapters));
    }
    static std::string Alc(const char* name) {
        char rc[3] = {};
        APALC00B(name, "", rc);
        return rc;
    }
    static std::string Dlc(const char* name) {
        char rc[3] = {};
        APDLC00B(name, "", rc);
        return rc;
    }
    static bool Registered(const char* name) { return GetSocketHandle(name).ok(); }
};

const char* const kTwoAdapters =
    "[R1]\r\nKLASSE=ADPT\r\nIP=127.0.0.2\r\nNUMMER=11\r\n[R2]\r\nKLASSE=adpt\r\nIP=127.0.0.3\r\nNUMMER=22\r\n";

}  // namespace

TEST_F(IsdnAdapters, BusyAdapterIsLeftBeforeTheNextIsConnected) {
    Ini(kTwoAdapters);
    EventLog log;
    Adapter busy;
    busy.st = LineState("L=1 I=1");
    Listener first("R1", "127.0.0.2", busy.Handler(), &log);
    Listener second("R2", "127.0.0.3", Adapter{}.Handler(), &log);
    ASSERT_TRUE(first.listening() && second.listening());
    std::atomic<bool> firstClosedBefore{false};
    second.OnAccept([&] { firstClosedBefore = first.ClientClosedNow(); });

    ASSERT_EQ(Alc("FERN1"), "00");
    EXPECT_TRUE(firstClosedBefore);
    EXPECT_EQ(Commands(first.requests()), "ST");
    EXPECT_EQ(Commands(second.requests()), "ST ID DN QSTISDNID");
    // The identification carries the adapter's number that was used.
    EXPECT_EQ(second.requests()[3].substr(145, 3), "22 ");

    // Every later call talks to the terminal through the adapter.
    char type[11] = {};
    char rc[3] = {};
    APTYP01B("FERN1", type, rc);
    EXPECT_STREQ(rc, "00");
    EXPECT_STREQ(type, "5214-031");
    EXPECT_EQ(Dlc("FERN1"), "00");
    EXPECT_TRUE(second.WaitForClose(1));
    EXPECT_EQ(Commands(second.requests()), "ST ID DN QSTISDNID status CL");
    EXPECT_FALSE(Registered("FERN1"));
}

TEST_F(IsdnAdapters, AdapterStatusEndsTheDialUp) {
    Ini(kTwoAdapters);
    Adapter refusing;
    refusing.st = ShortReply("07");
    Listener first("R1", "127.0.0.2", refusing.Handler(), nullptr);
    Listener second("R2", "127.0.0.3", Adapter{}.Handler(), nullptr);
    EXPECT_EQ(Alc("FERN1"), "07");
    EXPECT_EQ(second.connections(), 0);
    EXPECT_TRUE(first.WaitForClose(1));
    EXPECT_FALSE(Registered("FERN1"));
}

TEST_F(IsdnAdapters, FailuresThatEndTheDialUp) {
    struct Case {
        const char* what;
        Adapter adapter;
        const char* rc;
        const char* commands;
    };
    Adapter noMarker, identTwice, identStatus;
    noMarker.id = WithoutEndMarker(ShortReply("00"));
    identTwice.ident = {WithoutEndMarker(LongReply("00"))};
    identStatus.ident = {LongReply("03")};
    const Case cases[] = {
        {"ID without end marker", noMarker, "16", "ST ID"},
        {"identification unusable twice", identTwice, "69", "ST ID DN QSTISDNID QSTISDNID CL"},
        {"identification refused", identStatus, "69", "ST ID DN QSTISDNID CL"},
    };
    Ini(kTwoAdapters);
    for (const Case& c : cases) {
        Listener first("R1", "127.0.0.2", c.adapter.Handler(), nullptr);
        Listener second("R2", "127.0.0.3", Adapter{}.Handler(), nullptr);
        EXPECT_EQ(Alc("FERN1"), c.rc) << c.what;
        EXPECT_EQ(Commands(first.requests()), c.commands) << c.what;
        EXPECT_EQ(second.connections(), 0) << c.what;
        EXPECT_FALSE(Registered("FERN1")) << c.what;
    }
}

TEST_F(IsdnAdapters, AdaptersThatCannotBeUsedAreSkipped) {
    // No ip, an ip of three numbers, a class that is no adapter, nobody
    // listening, and a reply without "L=": the last adapter is used.
    Ini("[R0]\r\nKLASSE=ADPT\r\n[R1]\r\nKLASSE=ADPT\r\nIP=127.0.0\r\n[R2]\r\nKLASSE=ADP\r\nIP=127.0.0.2\r\n"
        "[R3]\r\nKLASSE=ADPT\r\nIP=127.0.0.9\r\n[R4]\r\nKLASSE=ADPT\r\nIP=127.0.0.4\r\n"
        "[R5]\r\nKLASSE=ADPT\r\nIP=127.0.0.5\r\n");
    Adapter noLine;
    noLine.st = LineState("I=1");
    Listener notAdapter("R2", "127.0.0.2", Adapter{}.Handler(), nullptr);
    Listener missingLine("R4", "127.0.0.4", noLine.Handler(), nullptr);
    Listener good("R5", "127.0.0.5", Adapter{}.Handler(), nullptr);
    EXPECT_EQ(Alc("FERN1"), "00");
    EXPECT_EQ(notAdapter.connections(), 0);
    EXPECT_EQ(Commands(missingLine.requests()), "ST");
    EXPECT_EQ(Commands(good.requests()), "ST ID DN QSTISDNID");
    EXPECT_EQ(Dlc("FERN1"), "00");
}

TEST_F(IsdnAdapters, NoUsableAdapterGives66) {
    Adapter noLine;
    noLine.st = LineState("L=0");  // no "I="
    Listener terminal("HALLE1", "127.0.0.7", Adapter{}.Handler(), nullptr);
    Listener adapter("R1", "127.0.0.2", noLine.Handler(), nullptr);
    Ini("");
    EXPECT_EQ(Alc("FERN1"), "66");  // no adapter entry at all
    EXPECT_EQ(terminal.connections(), 0);
    Ini("[R1]\r\nKLASSE=ADPT\r\nIP=127.0.0.2\r\n");
    EXPECT_EQ(Alc("FERN1"), "66");
    EXPECT_EQ(adapter.connections(), 1);
    EXPECT_FALSE(Registered("FERN1"));
}

TEST_F(IsdnAdapters, FailedHangUpGives64AndEndsTheCall) {
    Ini(kTwoAdapters);
    Adapter closing;
    closing.cl = PeerAction::Close();
    Listener first("R1", "127.0.0.2", closing.Handler(), nullptr);
    ASSERT_EQ(Alc("FERN1"), "00");
    EXPECT_EQ(Dlc("FERN1"), "64");
    EXPECT_FALSE(Registered("FERN1"));
    EXPECT_EQ(Dlc("FERN1"), "33");
}
