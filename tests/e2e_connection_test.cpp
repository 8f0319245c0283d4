// SPDX-License-Identifier: MIT
// Connecting to terminals end to end: the real xelcmd against bdesim on port
// 23 in the test's own network namespace, directly, through terminal.ini and
// through a simulated ISDN adapter.
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"
#include "tcpcom/internal.h"
#include "xelbde/internal.h"

using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

const e2e::RunOptions kLogged{{"DEBUG_LEVEL=0", "XELBDE_TIMEOUT=2"}, "", false};

std::string Terminal(const std::string& status, const std::string& listen = "127.0.0.2") {
    return "[terminal T1]\nlisten = " + listen + "\nstatus = " + status + "\n";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// ------------------------------------------------------ direct terminals --

TEST(DirectConnection, EveryTerminalStatus) {
    struct Row {
        const char* status;
        const char* designation;
    };
    for (Row row : {Row{"B5D8", "5214-031"}, Row{"3F3F", "5214-031"}, Row{"B562", "5214-032"},
                    Row{"A2D8", "4630-017"}}) {
        e2e::Sim sim(Terminal(row.status));
        ASSERT_TRUE(sim.ready());
        e2e::Result r = e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, kLogged);
        EXPECT_EQ(r.status, 0) << row.status << ": " << r.out;
        EXPECT_EQ(r.out, row.designation) << row.status;
    }
    std::string log = ReadFile("xelbde.log");
    EXPECT_TRUE(Contains(log, ";xelbde;APALC00B;0100;0000;00000;Terminal=127.0.0.2 Typ=;")) << log;
    EXPECT_TRUE(Contains(log, ";xelbde;APDLC00B;0100;0000;00000;Terminal=127.0.0.2 Typ=;")) << log;
}

TEST(DirectConnection, UnknownStatusGives16WithItsRecord) {
    e2e::Sim sim(Terminal("4142"));
    ASSERT_TRUE(sim.ready());
    e2e::Result r = e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, kLogged);
    EXPECT_EQ(r.status, 16);
    EXPECT_EQ(r.out, "Fehler bei der Ausfuehrung:16\n");
    std::string log = ReadFile("xelbde.log");
    EXPECT_TRUE(Contains(log, ";xelbde;SendKorvoCommand;0100;0016;00000;Unbekannter Terminalstatus (0x41 0x42);"))
        << log;
    EXPECT_TRUE(Contains(log, ";xelbde;APDLC00B;0100;0000;")) << log;  // released all the same
}

TEST(DirectConnection, HostNameAndDottedAddressWithoutTerminalIni) {
    e2e::Sim sim(Terminal("B5D8", "127.0.0.1"));
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(e2e::Xelcmd({"localhost", "aptyp01b"}, kLogged).out, "5214-031");
    EXPECT_EQ(e2e::Xelcmd({"127.000.000.001", "aptyp01b"}, kLogged).out, "5214-031");
}

TEST(DirectConnection, AddressZeroIsNoTerminalAndEndsAs6WithoutAConnect) {
    // bdesim listens on 127.0.0.1: a connect to 0.0.0.0 would reach it.
    e2e::Sim sim(Terminal("B5D8", "127.0.0.1"));
    ASSERT_TRUE(sim.ready());
    struct Case {
        const char* name;
        const char* ini;
    };
    for (Case c : {Case{"0.0.0.0", nullptr}, Case{"0", nullptr}, Case{"T0", "[T0]\nIP=256.256.256.256\n"}}) {
        if (c.ini != nullptr) {
            ASSERT_TRUE(WriteFile("terminal.ini", c.ini));
        }
        e2e::Result r = e2e::Xelcmd({c.name, "aptyp01b"}, kLogged);
        EXPECT_EQ(r.status, 6) << c.name << ": " << r.out;
    }
    EXPECT_FALSE(Contains(sim.trace(), "T1 * connect")) << sim.trace();
}

TEST(DirectConnection, NobodyListeningGives7) {
    e2e::Result r = e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, {{"XELBDE_TIMEOUT=1"}, "", false});
    EXPECT_EQ(r.status, 7);
}

// A stop signal ends the wait for a lock another process holds: the call
// ends through its failure path and no connection is opened after it.
TEST(DirectConnection, SignalWhileWaitingForALockEndsTheCallWithoutConnecting) {
    e2e::Sim sim(Terminal("B562"));
    ASSERT_TRUE(sim.ready());
    MutexHandle held;
    ASSERT_EQ(MutexCreate("XELBDE1", &held), 1);
    ASSERT_EQ(MutexWait(&held, 0), 1);
    int looks = 0;
    e2e::Result r = e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, kLogged, {[&looks] { return ++looks == 30; }, SIGTERM});
    MutexClose(&held);
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_FALSE(Contains(sim.trace(), "T1 * connect")) << sim.trace();
    EXPECT_TRUE(Contains(ReadFile("xelbde.log"), ";APALC00B;0001;0023;00000;Abbruch durch Signal;"));
    // No lock can be had at all: the library cannot start, 23.
    EXPECT_EQ(e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, {{"XELBDE_LOCKDIR=missing"}, "", false}).status, 23);
}

TEST(DirectConnection, SecondAllocationInOneProcessIsRefused) {
    e2e::Sim sim(Terminal("B562"));
    ASSERT_TRUE(sim.ready());
    ::setenv("XELBDE_TIMEOUT", "2", 1);
    char rc[3] = {};
    XelbdeInterrupt(1);  // while an interruption stands, no connection is opened
    APALC00B("127.0.0.2", "", rc);
    XelbdeInterrupt(0);
    EXPECT_STREQ(rc, "16");
    EXPECT_FALSE(Contains(sim.trace(), "T1 * connect"));
    APALC00B("127.0.0.2", "", rc);
    ASSERT_STREQ(rc, "00");
    APALC00B("127.0.0.2", "", rc);
    EXPECT_STREQ(rc, "33");
    char type[11] = {};
    APTYP01B("127.0.0.2", type, rc);
    EXPECT_STREQ(rc, "00");
    EXPECT_STREQ(type, "5214-032");
    APDLC00B("127.0.0.2", "", rc);
    EXPECT_STREQ(rc, "00");
    APDLC00B("127.0.0.2", "", rc);
    EXPECT_STREQ(rc, "33");
}

TEST(DirectConnection, DuplicateRegistrationClosesTheNewSocket) {
    e2e::Sim sim(Terminal("B5D8"));
    ASSERT_TRUE(sim.ready());
    ::setenv("XELBDE_TIMEOUT", "2", 1);
    ASSERT_EQ(xelbde::InitApiLibrary(), xelbde::Code::kOk);
    ASSERT_EQ(xelbde::SetSocketHandle("T1", 1000), xelbde::Code::kOk);
    xelbde::SocketResult connected = xelbde::ConnectTerminal("T1", {{127, 0, 0, 2}, 23}, 2);
    EXPECT_EQ(connected.code, xelbde::Code::kAlreadyRegistered);
    EXPECT_EQ(connected.socket, -1);
    // The refused connection was closed, so bdesim serves the next one.
    EXPECT_EQ(e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, kLogged).out, "5214-031");
}

// ---------------------------------------------------------- terminal.ini --

TEST(IniConnection, EntriesGiveTheAddress) {
    e2e::Sim sim(Terminal("A2D8"));
    ASSERT_TRUE(sim.ready());
    // 258 keeps its low 8 bits: 127.0.0.2.
    ASSERT_TRUE(WriteFile("terminal.ini", "[HALLE1]\r\nIP = 127.0.0.258 ; moved\r\n[HALLE2]\r\nIP=127.0.0\r\n"));
    e2e::Result r = e2e::Xelcmd({"halle1", "aptyp01b"}, kLogged);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "4630-017");
    EXPECT_EQ(e2e::Xelcmd({"HALLE2", "aptyp01b"}, kLogged).status, 6);
    // Present in the file or not: a terminal needs an entry.
    e2e::Result missing = e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, kLogged);
    EXPECT_EQ(missing.status, 6);
    EXPECT_EQ(missing.out, "Fehler bei der Ausfuehrung:6\n");
}

TEST(IniConnection, TerminiNamesTheDirectory) {
    e2e::Sim sim(Terminal("B5D8"));
    ASSERT_TRUE(sim.ready());
    ::mkdir("conf", 0755);
    ASSERT_TRUE(WriteFile("conf/terminal.ini", "[HALLE1]\nIP=127.0.0.2\n"));
    e2e::RunOptions options = kLogged;
    options.env.push_back("TERMINI=" + testing_support::TestDir() + "/conf/");
    EXPECT_EQ(e2e::Xelcmd({"HALLE1", "aptyp01b"}, options).out, "5214-031");
    EXPECT_EQ(e2e::Xelcmd({"127.0.0.2", "aptyp01b"}, options).status, 6);
}

TEST(IniConnection, TooLongTerminiIsATerminalIniThatCannotBeLoaded) {
    e2e::Sim sim(Terminal("B5D8"));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("terminal.ini", "[HALLE1]\nIP=127.0.0.2\n"));
    e2e::RunOptions options = kLogged;
    options.env.push_back("TERMINI=" + std::string(400, 'd'));
    for (const char* name : {"127.0.0.2", "HALLE1"}) {
        e2e::Result r = e2e::Xelcmd({name, "aptyp01b"}, options);
        EXPECT_EQ(r.status, 35) << name << ": " << r.out;
    }
}

// ----------------------------------------------------------------- ISDN --

namespace {

const char* const kIsdnIni =
    "[FERN1]\r\nKLASSE=ISDN\r\nVORWAHL=0123\r\nNUMMER=456\r\nUEBERHANG=45\r\n"
    "[ROUTER1]\r\nKLASSE=ADPT\r\nIP=127.0.0.5\r\nNUMMER=999\r\n";

std::string IsdnSim(const std::string& adapterFaults = "") {
    return "[terminal F1]\nnumber = 0123456\nstatus = A2D8\nstore = store\n"
           "[adapter A1]\nlisten = 127.0.0.5\nid = 4711\n" +
           adapterFaults;
}

}  // namespace

TEST(IsdnConnection, CommandsRunThroughTheAdapterAndHangUp) {
    ::mkdir("store", 0755);
    const std::string content = "Zeile 1\r\nZeile 2\r\n";
    ASSERT_TRUE(WriteFile("store/DATEN.dat", content));
    e2e::Sim sim(IsdnSim());
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("terminal.ini", kIsdnIni));

    e2e::Result type = e2e::Xelcmd({"FERN1", "aptyp01b"}, kLogged);
    EXPECT_EQ(type.status, 0) << type.out;
    EXPECT_EQ(type.out, "4630-017");
    e2e::Result upload = e2e::Xelcmd({"FERN1", "apupload", "out.txt", "DATEN"}, kLogged);
    EXPECT_EQ(upload.status, 0) << upload.out;
    EXPECT_EQ(ReadFile("out.txt"), content);

    std::string trace = ReadFile(sim.tracePath());
    EXPECT_TRUE(Contains(trace, "A1 > ST")) << trace;
    EXPECT_TRUE(Contains(trace, "A1 > DN")) << trace;
    EXPECT_TRUE(Contains(trace, "F1 > QSTISDNID")) << trace;
    EXPECT_TRUE(Contains(trace, "A1 > CL")) << trace;
    // The dial command as it went out: N=0123456 T=045 from byte 12.
    EXPECT_TRUE(Contains(trace, "4E3D3031323334353620543D303435")) << trace;
}

TEST(IsdnConnection, FailedHangUpGives64) {
    e2e::Sim sim(IsdnSim("fault = CL close\n"));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("terminal.ini", kIsdnIni));
    e2e::Result r = e2e::Xelcmd({"FERN1", "aptyp01b"}, kLogged);
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "Fehler bei der Ausfuehrung:64\n");
}

TEST(IsdnConnection, BusyAdapterLineGives66) {
    e2e::Sim sim(IsdnSim("line = busy\n"));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(WriteFile("terminal.ini", kIsdnIni));
    e2e::Result r = e2e::Xelcmd({"FERN1", "aptyp01b"}, kLogged);
    EXPECT_EQ(r.status, 66);
}
