// xelfleet against simulated terminals: one line per terminal, the summary,
// the exit status; a stop signal passed on to the running xelcmd processes.
#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"
#include "xelbde/xelbde.h"

TEST(Fleet, SixtyFourTerminalsOneLineEachAndTheFailuresCounted) {
    std::string config, ini;
    for (int n = 1; n <= 64; ++n) {
        std::string name = "T", address = "127.0.1.";  // appended: GCC 12 -O3 warns falsely on "T" + ...
        name += std::to_string(n);
        address += std::to_string(n);
        config += "[terminal " + name + "]\nlisten = " + address + "\n";
        if (n == 63) config += "fault = any silence\n";
        if (n == 64) config += "fault = connect refuse\n";
        ini += "[" + name + "]\nIP=" + address + "\n";
    }
    ini += "[R1]\nKLASSE=ADPT\nIP=127.0.2.1\n";  // an adapter is no terminal of the round
    ASSERT_TRUE(testing_support::WriteFile("terminal.ini", ini));
    e2e::Sim sim(config);
    ASSERT_TRUE(sim.ready());

    e2e::Result r = e2e::Run({XELFLEET_PATH, "-j", "16", "-i", "terminal.ini", "--", "aptyp01b"},
                             {{"XELBDE_TIMEOUT=1"}, "", false});
    EXPECT_EQ(r.status, 2) << r.out;
    std::map<std::string, std::string> lines;  // terminal -> the rest of its line
    std::istringstream out(r.out);
    std::string line, summary;
    while (std::getline(out, line)) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            summary = line;
        } else {
            EXPECT_TRUE(lines.emplace(line.substr(0, tab), line.substr(tab + 1)).second) << line;
        }
    }
    ASSERT_EQ(lines.size(), 64u) << r.out;
    EXPECT_EQ(lines["T1"], "0\tsuccess\t5214-031");
    EXPECT_EQ(lines["T63"], "16\t" + std::string(XelbdeReturnCodeText(16)) + "\tFehler bei der Ausfuehrung:16");
    EXPECT_EQ(lines["T64"], "7\t" + std::string(XelbdeReturnCodeText(7)) + "\tFehler bei der Ausfuehrung:7");
    EXPECT_EQ(summary, "xelfleet: 64 terminals, 62 succeeded, 2 failed (7: 1, 16: 1)");
}

TEST(Fleet, StopSignalIsPassedOnAndTheRoundStillReported) {
    // -j 2: T1 answers at once, T2 and T3 never answer an upload block; at
    // the signal T4 and T5 are still waiting.
    std::string config, ini;
    for (int n = 1; n <= 5; ++n) {
        std::string name = "T", address = "127.0.1.";
        name += std::to_string(n);
        address += std::to_string(n);
        config += "[terminal " + name + "]\nlisten = " + address + "\nstore = " + name + "\n";
        if (n == 2 || n == 3) config += "fault = upload silence\n";
        ini += "[" + name + "]\nIP=" + address + "\n";
        ASSERT_TRUE(::mkdir(name.c_str(), 0777) == 0 && testing_support::WriteFile(name + "/BOOK.dat", "4711\n"));
    }
    ASSERT_TRUE(testing_support::WriteFile("terminal.ini", ini));
    e2e::Sim sim(config);
    ASSERT_TRUE(sim.ready());
    e2e::SignalWhen stop{[&sim] {
        return e2e::TraceFrames(sim.trace(), "T2", '>', "upload").size() == 1 &&
               e2e::TraceFrames(sim.trace(), "T3", '>', "upload").size() == 1;
    }};
    e2e::Result r =
        e2e::Run({XELFLEET_PATH, "-j", "2", "-i", "terminal.ini", "--", "apupload", "{}.dat", "BOOK", "1"}, {}, stop);
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.out;
    std::vector<std::string> lines;  // sorted: T2 and T3 end in either order
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    const std::string interrupted = "\t143\tinterrupted by signal 15\tFehler bei der Ausfuehrung:16";
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "T1\t0\tsuccess\t", "T2" + interrupted, "T3" + interrupted,
                         "xelfleet: 5 terminals, 1 succeeded, 2 failed (143: 2), 2 not run, stopped by signal 15"}));
    for (std::string kept : {"T2", "T3", "T4", "T5"}) EXPECT_TRUE(testing_support::PathExists(kept + "/BOOK.dat"));
}
