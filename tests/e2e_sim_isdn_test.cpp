// SPDX-License-Identifier: MIT
// bdesim's ISDN adapters: line status, identifier, dial-up to a simulated
// terminal, frames of the call, hang-up; and the frames recorded.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/e2e.h"

namespace {

using e2e::LongRequest;
using e2e::RawClient;
using e2e::ShortRequest;
using e2e::Sim;
using e2e::StatusRequest;

const char* kConfig =
    "[terminal F1]\n"
    "number = 0123456789\n"
    "status = A2D8\n"
    "version = FERN 4630\n"
    "[terminal H1]\n"
    "listen = 127.0.0.2\n"
    "[adapter A1]\n"
    "listen = 127.0.0.5\n"
    "id = 77\n";

std::string ShortStatus(const std::string& reply) { return reply.size() == 526 ? reply.substr(9, 2) : ""; }
std::string ShortData(const std::string& reply) { return reply.size() == 526 ? reply.substr(12, 512) : ""; }

struct Adapter {
    explicit Adapter(const std::string& extra = "") : sim(std::string(kConfig) + extra) {
        EXPECT_TRUE(sim.ready());
        EXPECT_TRUE(client.Connect("127.0.0.5"));
    }
    std::string Short(const std::string& command, const std::string& data = "") {
        return client.Exchange(ShortRequest(command, data), 526);
    }
    Sim sim;
    RawClient client;
};

TEST(SimAdapter, LineStatusAndIdentifier) {
    Adapter a;
    std::string st = a.Short("ST");
    EXPECT_EQ(st.substr(1, 2), "\xCE\xCA");
    EXPECT_EQ(ShortStatus(st), "00");
    EXPECT_EQ(st[11], ':');
    EXPECT_EQ(ShortData(st).substr(0, 8), "L=0 I=77");

    std::string id = a.Short("ID", "N=4711");
    EXPECT_EQ(ShortStatus(id), "00");
    EXPECT_EQ(id.substr(524, 2), "\xCE\xCA");
    EXPECT_EQ(ShortData(a.Short("ST")).substr(0, 10), "L=0 I=4711");

    EXPECT_EQ(ShortStatus(a.Short("XX")), "99");
}

TEST(SimAdapter, BusyLineConfiguredOrByFault) {
    {
        Adapter a("line = busy\n");
        EXPECT_EQ(ShortData(a.Short("ST")).substr(0, 3), "L=1");
        EXPECT_EQ(ShortStatus(a.Short("DN", "N=0123456789 T=090")), "99");
    }
    Adapter b("fault = ST#1 busy\n");
    EXPECT_EQ(ShortData(b.Short("ST")).substr(0, 3), "L=1");
    EXPECT_EQ(ShortData(b.Short("ST")).substr(0, 3), "L=0");
}

TEST(SimAdapter, DialledCallIsServedByTheTerminalUntilHangUp) {
    Adapter a;
    // Before a call, terminal frames are refused.
    EXPECT_EQ(a.client.Exchange(LongRequest("QSVERSION"), 1920).substr(49, 2), "98");

    EXPECT_EQ(ShortStatus(a.Short("DN", "N=999 T=090")), "99");
    EXPECT_EQ(ShortStatus(a.Short("DN", "N=0123456789 T=045")), "00");

    std::string ident = LongRequest("QSTISDNID");
    ident.replace(81, 4, "FERN");
    ident.replace(113, 2, "89");
    ident.replace(145, 3, "555");
    EXPECT_EQ(a.client.Exchange(ident, 1920).substr(49, 2), "00");
    EXPECT_EQ(a.client.Exchange(StatusRequest(), 12).substr(7, 2), "\xA2\xD8");
    EXPECT_EQ(a.client.Exchange(LongRequest("QSVERSION"), 1920).substr(81, 9), "FERN 4630");

    EXPECT_EQ(ShortStatus(a.Short("CL")), "00");
    EXPECT_EQ(a.client.Exchange(LongRequest("QSVERSION"), 1920).substr(49, 2), "98");
    a.client.Close();
    ASSERT_EQ(a.sim.Stop(), 0);

    // The trace holds each side's frames in full.
    std::string trace = a.sim.trace();
    std::vector<std::string> adapterGot = e2e::TraceFrames(trace, "A1", '>');
    ASSERT_EQ(adapterGot.size(), 5u);  // QSVERSION before the call, DN, DN, CL, QSVERSION after
    EXPECT_EQ(adapterGot[2], ShortRequest("DN", "N=0123456789 T=045"));
    EXPECT_EQ(e2e::TraceFrames(trace, "F1", '>', "QSTISDNID"), std::vector<std::string>{ident});
    EXPECT_NE(trace.find("F1 * isdn identification name=FERN id=89 adapter=555"), std::string::npos);
    EXPECT_EQ(e2e::TraceCounter(trace, "A1", "DN"), 2);
    EXPECT_EQ(e2e::TraceCounter(trace, "F1", "QSVERSION"), 1);
}

TEST(SimAdapter, TerminalFaultsApplyOverTheCall) {
    Adapter a("[terminal F2]\nnumber = 42\nfault = QSTISDNID#1 silence\n");
    EXPECT_EQ(ShortStatus(a.Short("DN", "N=42 T=000")), "00");
    EXPECT_EQ(a.client.Exchange(LongRequest("QSTISDNID"), 1920, 300), "");
    EXPECT_EQ(a.client.Exchange(LongRequest("QSTISDNID"), 1920).substr(49, 2), "00");
}

TEST(SimAdapter, AdapterFaultsPerCommand) {
    Adapter a("fault = ID status=07\nfault = DN#1 marker=start\n");
    EXPECT_EQ(ShortStatus(a.Short("ID", "N=1")), "07");
    std::string dn = a.Short("DN", "N=0123456789 T=090");
    EXPECT_EQ(dn.substr(1, 2), "\xCA\xCE");
    EXPECT_EQ(dn.substr(524, 2), "\xCE\xCA");
}

}  // namespace
