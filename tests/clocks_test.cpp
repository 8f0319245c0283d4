// SPDX-License-Identifier: MIT
// Setting the terminal clock and synchronising the host clock from it,
// against a scripted terminal. The host clock is never touched: every test
// that can reach the clock setter replaces it first (ClockSync fixture).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "tests/queries_test_support.h"
#include "xelbde/internal.h"

namespace {

using query_tests::BadMarkerReply;
using query_tests::LogRecords;
using query_tests::LongReplyWith;
using testing_support::PeerAction;
using testing_support::ScriptedPeer;

std::string Rc(const char* field) { return std::string(field, 2); }

std::string LocalTimeText(time_t seconds, const char* format) {
    struct tm local{};
    localtime_r(&seconds, &local);
    char text[32] = {};
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// ----------------------------------------------------------- APSCL00B --

struct ClockTerminal {
    explicit ClockTerminal(std::string reply = LongReplyWith("00"))
        : peer([reply](int, const std::string&) { return PeerAction::Reply(reply); }) {
        peer.Register("T1");
    }
    std::string LastRequest() const { return peer.requests().back(); }
    ScriptedPeer peer;
};

TEST(SetTerminalClock, GivenTimeIsSentUncheckedAtBytes81To95) {
    ClockTerminal terminal;
    char rc[3] = {};
    for (const char* time : {"235959311207", "99XX99999999"}) {
        APSCL00B("T1", time, "1", rc);
        EXPECT_EQ(Rc(rc), "00");
        std::string frame = terminal.LastRequest();
        EXPECT_EQ(frame.substr(3, 9), "QSETCLOCK");
        EXPECT_EQ(frame.substr(49, 2), "  ");
        EXPECT_EQ(frame.substr(72, 8), "GFCUPL00");
        EXPECT_EQ(frame.substr(81, 15), std::string("1:") + time + " ");
    }
}

TEST(SetTerminalClock, SysvalWithItsFiveBlanksSendsTheHostLocalTime) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    ClockTerminal terminal;
    char rc[3] = {};
    time_t before = std::time(nullptr);
    APSCL00B("T1", "*SYSVAL     ", "1", rc);
    time_t after = std::time(nullptr);
    EXPECT_EQ(Rc(rc), "00");
    std::string sent = terminal.LastRequest().substr(81, 15);
    bool matches = false;
    for (time_t t = before; t <= after; ++t)
        matches = matches || sent == "1:" + LocalTimeText(t, "%H%M%S%d%m%y") + " ";
    EXPECT_TRUE(matches) << sent;
    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "Terminal=T1 Uhrzeit=*SYSVAL Format=1");
}

TEST(SetTerminalClock, ShortTextsAreNotTheSpecialValueAndNeverReadPastTheirEnd) {
    ClockTerminal terminal;
    char rc[3] = {};
    // Heap copies of exactly their length, so a read past the end shows up
    // under the address sanitizer.
    for (std::string text : {"*SYSVAL", "1234"}) {
        std::unique_ptr<char[]> exact(new char[text.size() + 1]);
        std::memcpy(exact.get(), text.c_str(), text.size() + 1);
        APSCL00B("T1", exact.get(), "1", rc);
        EXPECT_EQ(Rc(rc), "00");
        std::string padded = text + std::string(12 - text.size(), ' ');
        EXPECT_EQ(terminal.LastRequest().substr(81, 15), "1:" + padded + " ");
    }
}

TEST(SetTerminalClock, StatusAndExchangeFailures) {
    ScriptedPeer peer([](int index, const std::string&) {
        return PeerAction::Reply(index == 0 ? LongReplyWith("05") : BadMarkerReply());
    });
    peer.Register("T1");
    char rc[3] = {};
    APSCL00B("T1", "120000010107", "1", rc);
    EXPECT_EQ(Rc(rc), "05");
    APSCL00B("T1", "120000010107", "1", rc);
    EXPECT_EQ(Rc(rc), "16");
    APSCL00B("T9", "120000010107", "1", rc);
    EXPECT_EQ(Rc(rc), "33");
}

// ----------------------------------------------------------- APSYNHST --

// What the replaced clock setter was given.
struct SetterLog {
    int calls = 0;
    struct tm last{};
    int result = 0;
};
SetterLog g_setter;

int RecordingSetter(const struct tm* time) {
    ++g_setter.calls;
    g_setter.last = *time;
    return g_setter.result;
}

// A terminal whose clock reply the test sets before each call.
class ClockSync : public ::testing::Test {
  protected:
    void SetUp() override {
        xelbde::SetHostClockSetter(&RecordingSetter);
        g_setter = {};
    }
    void TearDown() override { peer_.reset(); }

    void Connect() {
        peer_ = std::make_unique<ScriptedPeer>([this](int, const std::string&) {
            std::lock_guard<std::mutex> lock(mutex_);
            return PeerAction::Reply(reply_);
        });
        peer_->Register("T1");
    }
    void SetTerminalClock(const std::string& yymmddhhmmss, char radio = 'W') {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = LongReplyWith("00", 209, yymmddhhmmss);
        reply_[222] = '1';
        reply_[224] = radio;
    }
    // The terminal's clock at host time + offset seconds.
    void SetTerminalClockFromHost(time_t base, long offset) {
        SetTerminalClock(LocalTimeText(base + offset, "%y%m%d%H%M%S"));
    }
    std::string Sync(uint32_t maxDiff) {
        char rc[3] = {};
        APSYNHST("T1", maxDiff, rc);
        return Rc(rc);
    }

    std::unique_ptr<ScriptedPeer> peer_;
    std::mutex mutex_;
    std::string reply_;
};

TEST_F(ClockSync, UnsynchronisedRadioClockGives37BeforeTheDateIsLookedAt) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    Connect();
    for (char radio : {' ', 'X', 'w'}) {
        SetTerminalClock("000000000000", radio);
        EXPECT_EQ(Sync(90), "37") << radio;
    }
    EXPECT_EQ(g_setter.calls, 0);
    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[1].function, "APSYNHST");
    EXPECT_EQ(records[1].text, "Terminal=T1 MaxDiff=90 Fehler=Funkuhr nicht synchron");
}

TEST_F(ClockSync, InvalidTerminalDateGives34) {
    Connect();
    for (const char* bad : {"070200140509", "070003140509", "070203240509", "070203146009", "070203140560",
                            "07AB03140509", "0702XX140509"}) {
        SetTerminalClock(bad, 'S');
        EXPECT_EQ(Sync(0x7FFFFFFF), "34") << bad;
    }
    EXPECT_EQ(g_setter.calls, 0);
}

TEST_F(ClockSync, SetterReceivesTheNormalisedTerminalTime) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    Connect();
    struct Case {
        const char* terminal;
        int year, month, day, hour, minute, second;
    };
    // Day 31 of April rolls over into May; years below 80 are 20xx; an hour
    // of two letters is 0.
    for (Case c : {Case{"070431120000", 107, 4, 1, 12, 0, 0}, Case{"800101000000", 80, 0, 1, 0, 0, 0},
                   Case{"791231235959", 179, 11, 31, 23, 59, 59}, Case{"070203XX0509", 107, 1, 3, 0, 5, 9}}) {
        SetTerminalClock(c.terminal);
        int before = g_setter.calls;
        EXPECT_EQ(Sync(0x7FFFFFFF), "00") << c.terminal;
        ASSERT_EQ(g_setter.calls, before + 1);
        const struct tm& t = g_setter.last;
        EXPECT_EQ(std::vector<int>({t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}),
                  std::vector<int>({c.year, c.month, c.day, c.hour, c.minute, c.second}))
            << c.terminal;
    }
    // Every call leaves APRTVCLK's record and then its own.
    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[0].function, "APRTVCLK");
    EXPECT_EQ(records[0].text, "Terminal=T1 Datum/Zeit=070431120000 Format=1 Funkuhrstatus=W");
    EXPECT_EQ(records[1].function, "APSYNHST");
    EXPECT_EQ(records[1].rc, "0000");
    EXPECT_EQ(records[1].text, "Terminal=T1 MaxDiff=2147483647");
}

TEST_F(ClockSync, MaxDiffBoundaries) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    Connect();
    // A terminal running ahead by exactly the limit can only come closer
    // while the call runs; one behind by a second more can only drift
    // further: both sides of the boundary hold however the seconds tick.
    time_t now = std::time(nullptr);
    SetTerminalClockFromHost(now, 5400);
    EXPECT_EQ(Sync(90), "00");
    SetTerminalClockFromHost(now, -5401);
    EXPECT_EQ(Sync(90), "37");
    SetTerminalClockFromHost(std::time(nullptr), -1);
    EXPECT_EQ(Sync(0), "37");

    // MaxDiff 0 passes only equal clocks; retried while the host's second
    // moved on during the call.
    bool equalPassed = false;
    for (int attempt = 0; attempt < 10 && !equalPassed; ++attempt) {
        time_t start = std::time(nullptr);
        SetTerminalClockFromHost(start, 0);
        std::string code = Sync(0);
        if (std::time(nullptr) == start) {
            EXPECT_EQ(code, "00");
            equalPassed = true;
        }
    }
    EXPECT_TRUE(equalPassed);

    // 2^31 and above count as negative limits: nothing passes.
    for (uint32_t huge : {0x80000000u, 0xFFFFFFFFu}) {
        SetTerminalClockFromHost(std::time(nullptr), 0);
        EXPECT_EQ(Sync(huge), "37") << huge;
    }
    auto records = LogRecords("0100");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().text,
              "Terminal=T1 MaxDiff=4294967295 Fehler=max. erlaubter Zeitunterschieder ueberschritten");
    EXPECT_EQ(records.back().rc, "0037");
}

TEST_F(ClockSync, FailingSetterGives37AndAnErrorRecordWithTheTerminalTime) {
    Connect();
    g_setter.result = EPERM;
    SetTerminalClock("070431120000");
    EXPECT_EQ(Sync(0x7FFFFFFF), "37");
    auto errors = LogRecords("0001");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].function, "PortableSetLocalTime");
    EXPECT_EQ(errors[0].rc, "0037");
    EXPECT_EQ(errors[0].errnum, "00001");
    EXPECT_EQ(errors[0].text, "Fehler beim Setzen der Systemuhrzeit (01.05.2007 12:00:00)");
    EXPECT_EQ(errors[0].text2, std::strerror(EPERM));
}

TEST_F(ClockSync, ClockQueryFailureIsPassedOnWithBothRecords) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    char rc[3] = {};
    APSYNHST("T1", 90, rc);  // never connected
    EXPECT_EQ(Rc(rc), "33");
    Connect();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = LongReplyWith("42");
    }
    EXPECT_EQ(Sync(90), "42");
    auto records = LogRecords("0100");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].function + records[0].rc, "APRTVCLK0033");
    EXPECT_EQ(records[1].function + records[1].rc + records[1].text, "APSYNHST0033Terminal=T1 MaxDiff=90");
    EXPECT_EQ(records[3].function + records[3].rc, "APSYNHST0042");
    EXPECT_EQ(g_setter.calls, 0);
}

TEST(ParseTwoDigits, BlanksDigitsAndLetters) {
    struct Case {
        const char* text;
        int value;
    };
    for (Case c : {Case{"07", 7}, Case{" 7", 7}, Case{"5X", 5}, Case{"AB", 0}, Case{"-1", 0}, Case{"99", 99}}) {
        int value = -1;
        EXPECT_EQ(xelbde::ParseTwoDigits(c.text, 2, &value, false), xelbde::Code::kOk);
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(xelbde::ParseTwoDigits(c.text, 2, &value, true),
                  c.value == 0 ? xelbde::Code::kBadTerminalData : xelbde::Code::kOk);
    }
}

}  // namespace
