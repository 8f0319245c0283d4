// SPDX-License-Identifier: MIT
// Clocks end to end. apscl00b really sets bdesim's clock; apsynhst runs
// without the privilege to set the host clock (setpriv drops CAP_SYS_TIME,
// and the test's user namespace holds none for the host's clock either), so
// the host clock is never changed.
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"

using testing_support::ReadFile;

namespace {

const e2e::RunOptions kLogged{{"DEBUG_LEVEL=0", "XELBDE_TIMEOUT=3"}, "", false};
const e2e::RunOptions kUnprivileged{{"DEBUG_LEVEL=0", "XELBDE_TIMEOUT=3"}, "", true};

std::string Terminal(const std::string& keys) { return "[terminal T1]\nlisten = 127.0.0.2\n" + keys; }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string HostTime(time_t seconds, const char* format) {
    struct tm local{};
    localtime_r(&seconds, &local);
    char text[32] = {};
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// "DatumUhrzeit:YYMMDDHHMMSS, ..." shows one of the times from..to.
bool ShowsTimeBetween(const std::string& out, time_t from, time_t to, time_t shift = 0) {
    for (time_t t = from; t <= to; ++t)
        if (out.rfind("DatumUhrzeit:" + HostTime(t + shift, "%y%m%d%H%M%S") + ",", 0) == 0) return true;
    return false;
}

}  // namespace

TEST(SetTerminalClock, GivenTimeIsWhatTheTerminalReportsAfterwards) {
    e2e::Sim sim(Terminal("clock = 990101000000\n"));
    ASSERT_TRUE(sim.ready());
    e2e::Result set = e2e::Xelcmd({"127.0.0.2", "apscl00b", "140509030207"}, kLogged);
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.out, "");
    e2e::Result shown = e2e::Xelcmd({"127.0.0.2", "aprtvclk"}, kLogged);
    EXPECT_EQ(shown.status, 0);
    // The clock runs on from the time set: allow a few seconds.
    bool match = false;
    for (const char* second : {"09", "10", "11", "12"})
        match = match || shown.out == std::string("DatumUhrzeit:0702031405") + second + ", Datumsformat:1, Funkuhrstatus:N";
    EXPECT_TRUE(match) << shown.out;
    EXPECT_TRUE(Contains(ReadFile("xelbde.log"),
                         ";xelbde;APSCL00B;0100;0000;00000;Terminal=127.0.0.2 Uhrzeit=140509030207 Format=1;"));
}

TEST(SetTerminalClock, WithoutATimeTheHostTimeIsSet) {
    e2e::Sim sim(Terminal("clock = 990101000000\n"));
    ASSERT_TRUE(sim.ready());
    time_t before = std::time(nullptr);
    e2e::Result set = e2e::Xelcmd({"127.0.0.2", "apscl00b"}, kLogged);
    EXPECT_EQ(set.status, 0);
    e2e::Result shown = e2e::Xelcmd({"127.0.0.2", "aprtvclk"}, kLogged);
    time_t after = std::time(nullptr);
    EXPECT_TRUE(ShowsTimeBetween(shown.out, before, after)) << shown.out;
    EXPECT_TRUE(Contains(ReadFile("xelbde.log"), "Terminal=127.0.0.2 Uhrzeit=*SYSVAL Format=1;"));
}

TEST(SynchroniseHostClock, WithoutPrivilegeSettingFailsWith37AndItsRecord) {
    e2e::Sim sim(Terminal("clock = host\nradio = W\n"));
    ASSERT_TRUE(sim.ready());
    e2e::Result r = e2e::Xelcmd({"127.0.0.2", "apsynhst"}, kUnprivileged);
    EXPECT_EQ(r.status, 37);
    EXPECT_EQ(r.out, "Fehler bei der Ausfuehrung:37\n");
    std::string log = ReadFile("xelbde.log");
    EXPECT_TRUE(Contains(log, ";xelbde;PortableSetLocalTime;0001;0037;00001;Fehler beim Setzen der Systemuhrzeit ("))
        << log;
    EXPECT_TRUE(Contains(log, ";xelbde;APRTVCLK;0100;0000;")) << log;
    EXPECT_TRUE(Contains(log, ";xelbde;APSYNHST;0100;0037;00000;Terminal=127.0.0.2 MaxDiff=90;")) << log;
}

TEST(SynchroniseHostClock, UnsynchronisedOrDistantTerminalClockGives37) {
    {
        e2e::Sim sim(Terminal("clock = host\nradio = N\n"));
        ASSERT_TRUE(sim.ready());
        e2e::Result r = e2e::Xelcmd({"127.0.0.2", "apsynhst", "5"}, kUnprivileged);
        EXPECT_EQ(r.status, 37);
    }
    {
        e2e::Sim sim(Terminal("clock = host+400\nradio = S\n"));
        ASSERT_TRUE(sim.ready());
        e2e::Result r = e2e::Xelcmd({"127.0.0.2", "apsynhst", "5"}, kUnprivileged);
        EXPECT_EQ(r.status, 37);
    }
    std::string log = ReadFile("xelbde.log");
    EXPECT_TRUE(Contains(log, ";APSYNHST;0100;0037;00000;Terminal=127.0.0.2 MaxDiff=5 Fehler=Funkuhr nicht synchron;"))
        << log;
    EXPECT_TRUE(Contains(log, ";APSYNHST;0100;0037;00000;Terminal=127.0.0.2 MaxDiff=5 Fehler=max. erlaubter "
                              "Zeitunterschieder ueberschritten;"))
        << log;
    EXPECT_FALSE(Contains(log, "PortableSetLocalTime")) << log;
}
