// SPDX-License-Identifier: MIT
// 128 threads of one process, each with a terminal of its own (more threads
// than any fixed table of the library has room for waiting), call the
// library at once against bdesim: connect through terminal.ini, query,
// download, upload, disconnect. Every call must end 00, every file must come
// back as it went out, and the log, rotated many times over at a small
// DEBUG_SIZE, must hold only whole records and one start record for the
// process. Built with ThreadSanitizer (make test-tsan) it also shows races.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"
#include "xelbde/xelbde.h"

namespace {

using testing_support::ReadFile;
using testing_support::WriteFile;

constexpr int kThreads = 128;
constexpr const char* kStartRecord = ";tcpcom;TcpcomInitLog;1600;";

// Holds the threads until the test lets them go, all at once.
class Gate {
  public:
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        open_.wait(lock, [this] { return isOpen_; });
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            isOpen_ = true;
        }
        open_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable open_;
    bool isOpen_ = false;
};

// Counts threads that reached a point; the test waits for all of them.
class Arrivals {
  public:
    void Arrive() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++count_;
        }
        changed_.notify_all();
    }
    void WaitFor(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return count_ >= n; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

[[gnu::format(printf, 1, 2)]] std::string Numbered(const char* format, ...) {
    char text[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// An operations record of a terminal T000-T127 whole, with return code 0:
// "YYYYMMDDhhmmss;xelbde;APxxxxxx;0100;0000;00000;Terminal=Tnnn[ text];".
bool IsWholeRecordWithCode0(std::string_view line) {
    auto take = [&line](std::size_t n, auto accepts) {
        if (line.size() < n) return false;
        for (std::size_t i = 0; i < n; ++i) {
            if (!accepts(line[i])) return false;
        }
        line.remove_prefix(n);
        return true;
    };
    auto literal = [&line](std::string_view text) {
        if (line.substr(0, text.size()) != text) return false;
        line.remove_prefix(text.size());
        return true;
    };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    auto nameChar = [&digit](char c) { return digit(c) || (c >= 'A' && c <= 'Z'); };
    if (!take(14, digit) || !literal(";xelbde;AP") || !take(6, nameChar) ||
        !literal(";0100;0000;00000;Terminal=T") || !take(3, digit)) {
        return false;
    }
    if (line.empty() || line.back() != ';') return false;
    line.remove_suffix(1);
    return line.empty() || (line.front() == ' ' && line.find(';') == std::string_view::npos);
}

// What one thread's calls ended with, in call order.
struct Outcome {
    std::vector<std::string> codes;
    void Add(const char* api, const char rc[3]) { codes.push_back(std::string(api) + "=" + std::string(rc, 2)); }
};

}  // namespace

TEST(Threads, HundredTwentyEightTerminalsAtOnceEndEveryCallAndKeepEveryLogRecordWhole) {
    ::setenv("DEBUG_LEVEL", "0", 1);
    ::setenv("DEBUG_SIZE", "16", 1);
    // Terminal i listens on 127.0.1.(i + 1); a terminal serves one
    // connection at a time, like a real one.
    std::string ini, config;
    for (int i = 0; i < kThreads; ++i) {
        ini += Numbered("[T%03d]\n", i) + Numbered("IP=127.0.1.%d\n", i + 1);
        config += Numbered("[terminal T%03d]\n", i) + Numbered("listen = 127.0.1.%d\n", i + 1);
    }
    ASSERT_TRUE(WriteFile("terminal.ini", ini));
    ::setenv("TERMINI", testing_support::TestDir().c_str(), 1);
    e2e::Sim sim(config);
    ASSERT_TRUE(sim.ready());

    Gate connect, work;
    Arrivals connected;
    std::vector<Outcome> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            const std::string name = Numbered("T%03d", i);
            const std::string object = Numbered("F%03d", i);
            const std::string down = Numbered("dn%03d.dat", i);
            const std::string up = Numbered("up%03d.dat", i);
            const std::string dir = Numbered("dir%03d.bin", i);
            Outcome& out = outcomes[static_cast<std::size_t>(i)];
            char rc[3] = {};
            connect.Wait();
            APALC00B(name.c_str(), nullptr, rc);
            out.Add("APALC00B", rc);
            connected.Arrive();
            work.Wait();
            char type[10], version[128], dateTime[12], format, radio;
            APTYP01B(name.c_str(), type, rc);
            out.Add("APTYP01B", rc);
            APDMTVER(name.c_str(), version, sizeof version, rc);
            out.Add("APDMTVER", rc);
            APRTVCLK(name.c_str(), dateTime, &format, &radio, rc);
            out.Add("APRTVCLK", rc);
            APDNLOAD(name.c_str(), down.c_str(), object.c_str(), "1", rc);
            out.Add("APDNLOAD", rc);
            APUPL00B(name.c_str(), up.c_str(), object.c_str(), "1", rc);
            out.Add("APUPL00B", rc);
            APDIR00B(name.c_str(), dir.c_str(), rc);
            out.Add("APDIR00B", rc);
            APDLC00B(name.c_str(), nullptr, rc);
            out.Add("APDLC00B", rc);
        });
    }
    for (int i = 0; i < kThreads; ++i) {
        // Two blocks each, different for every thread.
        ASSERT_TRUE(WriteFile(Numbered("dn%03d.dat", i), std::string(2500, static_cast<char>('A' + i % 26)) +
                                                              Numbered("thread %d\n", i)));
    }

    // All connect at once: the log is started by one of them, once.
    connect.Open();
    connected.WaitFor(kThreads);
    const std::vector<std::string> first = Lines(ReadFile("xelbde.log"));
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first[0].find(kStartRecord), std::string::npos) << first[0];
    int starts = 0;
    for (const std::string& line : first) starts += line.find(kStartRecord) != std::string::npos;
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(first.size(), 1u + kThreads) << "the start record and one record per connect";
    EXPECT_FALSE(testing_support::PathExists("xelbd_.log")) << "16 KB hold the connects without rotation";

    work.Open();
    for (std::thread& thread : threads) thread.join();

    const std::vector<std::string> expected = {"APALC00B=00", "APTYP01B=00", "APDMTVER=00", "APRTVCLK=00",
                                               "APDNLOAD=00", "APUPL00B=00", "APDIR00B=00", "APDLC00B=00"};
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(outcomes[static_cast<std::size_t>(i)].codes, expected) << "thread " << i;
        EXPECT_TRUE(ReadFile(Numbered("up%03d.dat", i)) == ReadFile(Numbered("dn%03d.dat", i))) << "thread " << i;
    }

    // Both generations, rotated many times: whole records only, each ending
    // with its line feed, all operations records of the terminals with 0.
    int records = 0;
    for (const char* generation : {"xelbde.log", "xelbd_.log"}) {
        const std::string text = ReadFile(generation);
        ASSERT_FALSE(text.empty()) << generation;
        EXPECT_EQ(text.back(), '\n') << generation;
        for (const std::string& line : Lines(text)) {
            EXPECT_TRUE(IsWholeRecordWithCode0(line)) << generation << ": " << line;
            ++records;
        }
    }
    EXPECT_GT(records, 100);
    EXPECT_LT(records, kThreads * 8) << "the log was rotated at its small size";
}

// XelbdeCancel stops the call of one terminal's connection only; the mark
// is gone with that call, so the disconnect afterwards runs as usual.
TEST(Threads, CancelEndsTheCallOfOneTerminalOnly) {
    ::setenv("XELBDE_TIMEOUT", "60", 1);
    e2e::Sim sim("[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION#1 delay=60000\n"
                 "[terminal T2]\nlisten = 127.0.0.3\nfault = QSVERSION#1 delay=1000\n");
    ASSERT_TRUE(sim.ready());
    Outcome slow, other;
    auto run = [](const char* name, Outcome& out) {
        char rc[3] = {};
        char version[64];
        APALC00B(name, nullptr, rc);
        out.Add("APALC00B", rc);
        APDMTVER(name, version, sizeof version, rc);
        out.Add("APDMTVER", rc);
    };
    std::thread first(run, "127.0.0.2", std::ref(slow));
    std::thread second(run, "127.0.0.3", std::ref(other));
    while (e2e::TraceFrames(sim.trace(), "T1", '>', "QSVERSION").empty() ||
           e2e::TraceFrames(sim.trace(), "T2", '>', "QSVERSION").empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    XelbdeCancel("127.0.0.2");
    first.join();
    second.join();
    XelbdeCancel("127.0.0.3");  // no call running there: nothing happens
    char rc[3] = {};
    for (Outcome* out : {&slow, &other}) {
        APDLC00B(out == &slow ? "127.0.0.2" : "127.0.0.3", nullptr, rc);
        out->Add("APDLC00B", rc);
    }
    EXPECT_EQ(slow.codes, (std::vector<std::string>{"APALC00B=00", "APDMTVER=16", "APDLC00B=00"}));
    EXPECT_EQ(other.codes, (std::vector<std::string>{"APALC00B=00", "APDMTVER=00", "APDLC00B=00"}));
    EXPECT_NE(ReadFile("xelbde.log").find(";xelbde;APDMTVER;0001;0016;00000;Abbruch durch XelbdeCancel;"),
              std::string::npos);
}
