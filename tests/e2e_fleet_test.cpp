// SPDX-License-Identifier: MIT
// xelfleet against simulated terminals: the selection, every field of every
// format (csv and JSON read back by Python's own parsers), retries with the
// job log and a resumed round, halting, the inventory, stop signals.
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"
#include "xelbde/xelbde.h"

namespace {

struct FleetRun {
    int status = -1;
    std::string out;
    std::string summary;  // standard error
};

FleetRun RunFleet(std::vector<std::string> args, const e2e::RunOptions& options = {}, const e2e::SignalWhen& signal = {}) {
    args.insert(args.begin(), {"sh", "-c", "exec \"$0\" \"$@\" 2>fleet.err", XELFLEET_PATH});
    e2e::Result r = e2e::Run(args, options, signal);
    return {r.status, r.out, testing_support::ReadFile("fleet.err")};
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    if (!text.empty() && text.back() == separator && separator != '\n') parts.emplace_back();
    return parts;
}

// Lines of tab-separated fields; the fields named in `timed` (start,
// seconds) must look like a time stamp or a number and become "*".
std::vector<std::string> Masked(const std::string& table, std::vector<std::size_t> timed = {4, 5}) {
    static const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    static const std::regex seconds(R"(\d+\.\d{3})");
    std::vector<std::string> lines = Split(table, '\n');
    for (std::size_t l = 1; l < lines.size(); ++l) {
        std::vector<std::string> fields = Split(lines[l], '\t');
        std::string line;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const bool isTimed = std::find(timed.begin(), timed.end(), i) != timed.end() && !fields[i].empty();
            EXPECT_TRUE(!isTimed || std::regex_match(fields[i], i == timed[0] ? iso : seconds)) << lines[l];
            line.append(i ? "\t" : "").append(isTimed ? "*" : fields[i]);  // appended: GCC 12 -O3 warns falsely on + here
        }
        lines[l] = line;
    }
    return lines;
}

// The fields `which` of every line of a tab-separated table, joined by blanks.
std::vector<std::string> Picked(const std::string& table, std::vector<std::size_t> which,
                                std::vector<std::size_t> timed = {4, 5}) {
    std::vector<std::string> picked;
    for (const std::string& line : Masked(table, timed)) {
        const std::vector<std::string> fields = Split(line, '\t');
        std::string row;
        for (std::size_t i : which) row.append(row.empty() ? "" : " ").append(i < fields.size() ? fields[i] : "?");
        picked.push_back(row);
    }
    return picked;
}

// csv or JSON Lines as tab-separated lines with a header, through Python's
// parsers; JSON strings escaped again as the tsv format escapes bytes.
std::string ThroughPython(const std::string& format, const std::string& text) {
    const char* script = R"(import csv, json, sys
esc = lambda s: ''.join('\\\\' if c == '\\' else c if ' ' <= c <= '~' else '\\x%02x' % ord(c) for c in s)
if sys.argv[1] == 'csv':
    for row in csv.reader(sys.stdin): print('\t'.join(row))
for i, line in enumerate(sys.stdin if sys.argv[1] == 'json' else []):
    o = json.loads(line, parse_float=str, parse_int=str)
    if i == 0: print('\t'.join(o))
    print('\t'.join('' if v is None else esc(v) for v in o.values())))";
    return e2e::Run({"python3", "-c", script, format}, {{}, text}).out;
}

std::string Terminals(const std::string& prefix, int count, const std::string& extra = "") {
    std::string ini;
    for (int n = 1; n <= count; ++n) {
        ini += "[" + prefix + std::to_string(n) + "]\nIP=127.0.1." + std::to_string(n) + "\n";
    }
    return ini + extra;
}

std::string Sim(const std::string& prefix, const std::vector<std::string>& faults) {
    std::string config;
    for (std::size_t n = 1; n <= faults.size(); ++n) {
        config += "[terminal " + prefix + std::to_string(n) + "]\nlisten = 127.0.1." + std::to_string(n) + "\n" +
                  faults[n - 1] + "\n";
    }
    return config;
}

}  // namespace

TEST(Fleet, SelectionAndEveryFieldOfEveryFormat) {
    // T1 answers, T2 slowly, T3 never, T4 refuses; the adapter is no
    // terminal. terminal.ini beside werk.ini sends T1 nowhere: the
    // children must read werk.ini.
    e2e::Sim sim(Sim("T", {"", "fault = any delay=300", "fault = any silence", "fault = connect refuse"}));
    ASSERT_TRUE(sim.ready());
    ASSERT_EQ(::mkdir("ini", 0755), 0);
    ASSERT_TRUE(testing_support::WriteFile("ini/werk.ini", Terminals("T", 4, "[R1]\nKLASSE=ADPT\nIP=127.0.2.1\n")));
    ASSERT_TRUE(testing_support::WriteFile("ini/terminal.ini", "[T1]\nIP=127.0.0.99\n"));
    ASSERT_TRUE(testing_support::WriteFile("names", "# from the plan\n\n  T4 \nT1\n"));

    const std::string status = "KorvoStatus: '\\xb5\\xd8' (ASCII) bzw. 0xb5 0xd8 (Hexadezimal)";
    const std::vector<std::string> expected = {
        "terminal\tcode\tname\tmeaning\tstart\tseconds\tattempts\toutput",
        "T1\t0\tok\tsuccess\t*\t*\t1\t" + status,
        "T2\t0\tok\tsuccess\t*\t*\t1\t" + status,
        "T3\t16\texchange-failed\t" + std::string(XelbdeReturnCodeText(16)) + "\t*\t*\t1\tFehler bei der Ausfuehrung:16\\x0a",
        "T4\t7\tconnect-timeout\t" + std::string(XelbdeReturnCodeText(7)) + "\t*\t*\t1\tFehler bei der Ausfuehrung:7\\x0a",
    };
    const std::vector<std::string> all = {"-i", "ini/werk.ini", "--timeout", "1", "-j", "4", "--order", "input"};
    for (const std::string format : {"tsv", "csv", "json", "text"}) {
        std::vector<std::string> args = all;
        args.insert(args.end(), {"--format", format, "--", "aprst00b"});
        FleetRun r = RunFleet(args);
        EXPECT_EQ(r.status, 2) << format;
        EXPECT_EQ(r.summary, "xelfleet: 4 terminals, 2 succeeded, 2 failed (7 connect-timeout: 1, 16 exchange-failed: 1)\n");
        if (format == "text") {
            const std::regex line(R"((T\d)  (\d+)  ([a-z-]+)  (\d+\.\d{3})  (.*))");
            std::smatch m;
            const std::vector<std::string> lines = Split(r.out, '\n');
            ASSERT_EQ(lines.size(), 4u) << r.out;
            for (std::size_t i = 0; i < 4; ++i) {
                const std::vector<std::string> want = Split(expected[i + 1], '\t');
                ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
                EXPECT_EQ(std::vector<std::string>({m[1], m[2], m[3], m[5]}),
                          std::vector<std::string>({want[0], want[1], want[2], want[7]}));
            }
            continue;
        }
        const std::vector<std::string> lines = Masked(format == "tsv" ? r.out : ThroughPython(format, r.out));
        EXPECT_EQ(lines, expected) << format << "\n" << r.out;
        if (format == "tsv") {
            EXPECT_GE(std::stod(Split(Split(r.out, '\n')[2], '\t')[5]), 0.3) << "T2 is slow";
        }
    }

    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string terminals;  // "name code" in order, or the start of the error text
    };
    const std::vector<Case> cases = {
        {{"-i", "ini/werk.ini", "--match", "t[13]"}, "", 1, "T1 0,T3 16,"},
        {{"-i", "ini/werk.ini", "-f", "names"}, "", 1, "T4 7,T1 0,"},
        {{"-i", "ini/werk.ini", "-f", "-", "T4", "t4", "T2"}, "T2\n", 1, "T2 0,T4 7,"},
        {{"--match", "T1"}, "", 1, "T1 7,"},  // the terminal.ini of TERMINI
        {{"-i", "ini/werk.ini", "--match", "X*"}, "", 255, "xelfleet: no terminal selected"},
        {{"T1", "--bogus"}, "", 255, "xelfleet: unknown option --bogus"},
        {{"T1", "--format", "xml"}, "", 255, "xelfleet: --format takes"},
        {{"T1", "--"}, "", 255, "xelfleet: no command"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--timeout", "1", "--order", "input", "--format", "tsv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (c.args.back() != "--") args.insert(args.end(), {"--", "aptyp01b"});
        FleetRun r = RunFleet(args, {{"TERMINI=ini"}, c.input});
        EXPECT_EQ(r.status, c.status) << c.args.back();
        std::string got;
        for (const std::string& line : Picked(r.out, {0, 1})) got += line.rfind("terminal", 0) ? line + "," : "";
        EXPECT_EQ(c.status == 255 ? r.summary.substr(0, c.terminals.size()) : got, c.terminals) << c.args.back();
    }
    FleetRun help = RunFleet({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: xelfleet", 0), 0u);
}

TEST(Fleet, SixtyFourTerminalsOneLineEachAndTheFailuresCounted) {
    std::vector<std::string> faults(64);
    faults[62] = "fault = any silence";
    faults[63] = "fault = connect refuse";
    e2e::Sim sim(Sim("T", faults));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(testing_support::WriteFile("terminal.ini", Terminals("T", 64, "[R1]\nKLASSE=ADPT\nIP=127.0.2.1\n")));
    FleetRun r = RunFleet({"-j", "16", "-i", "terminal.ini", "--timeout", "1", "--format", "tsv", "--", "aptyp01b"});
    EXPECT_EQ(r.status, 2) << r.out;
    std::vector<std::string> lines = Picked(r.out, {0, 1, 7});
    std::sort(lines.begin() + 1, lines.end());
    ASSERT_EQ(lines.size(), 65u) << r.out;
    EXPECT_EQ(lines[1], "T1 0 5214-031");
    EXPECT_EQ(lines[60], "T63 16 Fehler bei der Ausfuehrung:16\\x0a");
    EXPECT_EQ(lines[61], "T64 7 Fehler bei der Ausfuehrung:7\\x0a");
    EXPECT_EQ(r.summary, "xelfleet: 64 terminals, 62 succeeded, 2 failed (7 connect-timeout: 1, 16 exchange-failed: 1)\n");
}

TEST(Fleet, RetriesJobLogAndResume) {
    // R1 loses its first connection, R2 never answers, R4 refuses the query.
    e2e::Sim sim(Sim("R", {"fault = connect#1 close", "fault = any silence", "", "fault = QSVERSION status=42"}));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(testing_support::WriteFile("terminal.ini", Terminals("R", 4)));
    ASSERT_TRUE(testing_support::WriteFile("f.txt", "data\n"));
    const std::vector<std::string> common = {"-i", "terminal.ini", "--timeout", "1", "--format", "tsv",
                                             "--order", "input", "--joblog", "jobs.log"};
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--retry", "2", "--", "aprtvclk"});
    FleetRun r = RunFleet(args);
    EXPECT_EQ(r.status, 2) << r.summary;
    EXPECT_EQ(Picked(r.out, {0, 1, 2, 6}),
              (std::vector<std::string>{"terminal code name attempts", "R1 0 ok 2", "R2 16 exchange-failed 3",
                                        "R3 0 ok 1", "R4 42 terminal-status 1"}));
    std::vector<std::string> log = Picked(testing_support::ReadFile("jobs.log"), {0, 1, 2, 3, 4, 5}, {2, 3});
    std::sort(log.begin() + 1, log.end());
    EXPECT_EQ(log, (std::vector<std::string>{
                       "# terminal attempt start seconds code name", "R1 1 * * 16 exchange-failed", "R1 2 * * 0 ok",
                       "R2 1 * * 16 exchange-failed", "R2 2 * * 16 exchange-failed", "R2 3 * * 16 exchange-failed",
                       "R3 1 * * 0 ok", "R4 1 * * 42 terminal-status"}));

    // Resumed: only what is left; an appending download is never retried.
    args = common;
    args.insert(args.end(), {"--resume", "jobs.log", "--retry", "1", "--", "apdnload", "f.txt", "F", "0"});
    r = RunFleet(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Picked(r.out, {0, 1, 6}), (std::vector<std::string>{"terminal code attempts", "R2 16 1", "R4 0 1"}));
    EXPECT_EQ(r.summary, "xelfleet: apdnload is not tried again: running it twice may do harm\n"
                         "xelfleet: 4 terminals, 1 succeeded, 1 failed (16 exchange-failed: 1), 2 done before\n");
}

TEST(Fleet, HaltSkipsTheRestInEveryFormat) {
    e2e::Sim sim(Sim("H", {"", "fault = connect refuse", "fault = connect refuse", "", "", ""}));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(testing_support::WriteFile("terminal.ini", Terminals("H", 6)));
    for (const std::string format : {"tsv", "json"}) {
        FleetRun r = RunFleet({"-i", "terminal.ini", "-j", "1", "--halt", "2", "--timeout", "1", "--format", format, "--",
                            "aptyp01b"});
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.summary, "xelfleet: 6 terminals, 1 succeeded, 2 failed (7 connect-timeout: 2), 3 skipped\n");
        const std::vector<std::string> lines = Masked(format == "tsv" ? r.out : ThroughPython(format, r.out));
        ASSERT_EQ(lines.size(), 7u) << r.out;
        EXPECT_EQ(lines[3].substr(0, 6), "H3\t7\tc");
        for (int n = 4; n <= 6; ++n) {
            EXPECT_EQ(lines[n], std::string("H").append(std::to_string(n)) +
                                    "\t\tskipped\tnot started: the round halted after its failures (--halt)\t\t\t\t");
        }
    }
}

TEST(Fleet, InventoryOverOneConnectionEach) {
    e2e::Sim sim(Sim("I", {"status = A2D8\nclock = 070203140509\nradio = W\nmemory = 9999\n"
                           "version = KORVO 4630-017 V3.1 \xC3\xA4 rest",
                           "fault = status silence", "fault = connect refuse"}));
    ASSERT_TRUE(sim.ready());
    ASSERT_TRUE(testing_support::WriteFile("terminal.ini", Terminals("I", 3)));
    FleetRun r = RunFleet({"inventory", "-i", "terminal.ini", "--timeout", "1", "--free-memory", "--format", "tsv",
                        "--order", "input"});
    EXPECT_EQ(r.status, 2) << r.summary;
    const std::vector<std::string> lines = Masked(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "terminal\tcode\tname\tmeaning\tstart\tseconds\ttype\tstatus\tversion\tclock\tdate_format\t"
                        "radio\tclock_difference\tfree_memory");
    // The terminal's clock runs from 2007-02-03 14:05:09 since bdesim started.
    struct tm then = {};
    then.tm_year = 107, then.tm_mon = 1, then.tm_mday = 3, then.tm_hour = 14, then.tm_min = 5, then.tm_sec = 9;
    then.tm_isdst = -1;
    const std::vector<std::string> i1 = Split(lines[1], '\t');
    ASSERT_EQ(i1.size(), 14u);
    EXPECT_NEAR(std::stod(i1[12]), static_cast<double>(std::mktime(&then) - std::time(nullptr)), 10);
    EXPECT_EQ(i1[9].substr(0, 14), "2007-02-03T14:");
    EXPECT_EQ(lines[1].substr(0, lines[1].find("\t2007")), "I1\t0\tok\tsuccess\t*\t*\t4630-017\tA2D8\tKORVO 4630-017 V3.1");
    EXPECT_EQ(i1[10] + " " + i1[11], "1 W");
    EXPECT_TRUE(std::regex_match(i1[13], std::regex(R"(\d+)"))) << i1[13];
    EXPECT_EQ(lines[2], "I2\t16\texchange-failed\t" + std::string(XelbdeReturnCodeText(16)) + "\t*\t*\t\t\t\t\t\t\t\t");
    EXPECT_EQ(lines[3].substr(0, 20), "I3\t7\tconnect-timeout");
    sim.Stop();
    EXPECT_EQ(e2e::TraceCounter(sim.trace(), "I1", "connect"), 1);
}

TEST(Fleet, StopSignalEndsTheRoundWithEveryTerminalReported) {
    // -j 2: the first answers at once, the next two never; at the signal the
    // last two are still waiting. A command round passes the signal on to
    // its xelcmd processes, the inventory interrupts its calls.
    struct Case {
        std::vector<std::string> args;
        int signal;
        std::string interrupted;  // code and name of an interrupted terminal
    };
    const std::vector<Case> cases = {
        {{"--", "apupload", "{}.dat", "BOOK", "1"}, SIGTERM, "143 interrupted"},
        {{"inventory"}, SIGINT, "16 interrupted"},
    };
    for (const Case& c : cases) {
        const bool inventory = c.args[0] == "inventory";
        std::string config;
        for (int n = 1; n <= 5; ++n) {
            const std::string name = std::string("S").append(std::to_string(n));
            config += "[terminal " + name + "]\nlisten = 127.0.1." + std::to_string(n) + "\nstore = " + name + "\n";
            if (n == 2 || n == 3) config += inventory ? "fault = status silence\n" : "fault = upload silence\n";
            ::mkdir(name.c_str(), 0777);
            ASSERT_TRUE(testing_support::WriteFile(name + "/BOOK.dat", "4711\n"));
        }
        ASSERT_TRUE(testing_support::WriteFile("terminal.ini", Terminals("S", 5)));
        e2e::Sim sim(config);
        ASSERT_TRUE(sim.ready());
        const std::string kind = inventory ? "status" : "upload";
        e2e::SignalWhen stop{[&] {
                                 return e2e::TraceFrames(sim.trace(), "S2", '>', kind).size() == 1 &&
                                        e2e::TraceFrames(sim.trace(), "S3", '>', kind).size() == 1;
                             },
                             c.signal};
        std::vector<std::string> args = {"-j", "2", "-i", "terminal.ini", "--format", "tsv", "--order", "input"};
        args.insert(inventory ? args.begin() : args.end(), c.args.begin(), c.args.end());
        FleetRun r = RunFleet(args, {}, stop);
        EXPECT_EQ(r.status, 128 + c.signal) << r.summary;
        const std::string interrupted = " " + c.interrupted;
        EXPECT_EQ(Picked(r.out, {0, 1, 2}), (std::vector<std::string>{"terminal code name", "S1 0 ok", "S2" + interrupted,
                                                                     "S3" + interrupted, "S4  skipped", "S5  skipped"}))
            << r.out;
        EXPECT_EQ(r.summary, std::string("xelfleet: 5 terminals, 1 succeeded, 2 failed (")
                                 .append(inventory ? "16" : "143")
                                 .append(" interrupted: 2), 2 skipped, stopped by signal ")
                                 .append(std::to_string(c.signal))
                                 .append("\n"));
        for (std::string kept : {"S2", "S3", "S4", "S5"}) EXPECT_TRUE(testing_support::PathExists(kept + "/BOOK.dat"));
    }
}
