// xelfleet against 64 simulated terminals, one of them silent and one
// refusing connections: one line per terminal, the summary, the exit status.
#include <map>
#include <sstream>
#include <string>

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
