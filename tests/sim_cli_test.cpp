// SPDX-License-Identifier: MIT
// bdesim as a program: usage, configuration errors, free ports and the
// ready file, outside any network namespace (port 0 only).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/e2e.h"
#include "tests/support/testing.h"

namespace {

using testing_support::ReadFile;
using testing_support::WriteFile;

e2e::Result Bdesim(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BDESIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::Run(argv);
}

std::string Readme() { return ReadFile(XELBDE_SOURCE_DIR "/sim/README.md"); }

TEST(SimCommandLine, HelpDocumentsFlagsKeysAndFaults) {
    e2e::Result r = Bdesim({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"--config", "--version", "--port", "--ready-fd", "--ready-file", "--trace", "--seed", "--listen",
                             "status = B5D8", "memory =", "store =", "[adapter NAME]", "silence", "trickle=MS",
                             "refuse[=MS]", "upload", "99 unknown command"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
}

TEST(SimCommandLine, EverySelectorOfTheHelpIsAcceptedAndDocumented) {
    std::string help = Bdesim({"--help"}).out;
    std::size_t begin = help.find("  SELECTOR ");
    ASSERT_NE(begin, std::string::npos);
    std::istringstream list(help.substr(begin + 11, help.find("  #N", begin) - begin - 11));
    std::string readme = Readme();
    std::size_t section = readme.find("## Faults");
    std::string faults = readme.substr(section, readme.find("Actions for frames") - section);
    std::vector<std::string> args = {"--listen", "127.0.0.1", "--check"};
    for (std::string selector; list >> selector;) {
        EXPECT_NE(faults.find("`" + selector + "`"), std::string::npos) << selector;
        args.insert(args.end(), {"--fault", selector + " silence"});
    }
    EXPECT_GT(args.size(), 40u);
    EXPECT_EQ(Bdesim(args).status, 0);
}

TEST(SimCommandLine, VersionAloneIsTheProgramsWithAValueTheTerminals) {
    e2e::Result r = Bdesim({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "bdesim " XELBDE_VERSION "\n");
    EXPECT_EQ(Bdesim({"--listen", "127.0.0.1", "--version", "KORVO_1", "--check"}).status, 0);
}

TEST(SimCommandLine, CheckAcceptsAGoodConfiguration) {
    ASSERT_TRUE(WriteFile("good.conf",
                          "seed = 3\n[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION#2+ delay=10 chance=50\n"
                          "[terminal F1]\nnumber = 12\n[adapter A1]\nlisten = 127.0.0.5:2323\nline = busy\n"));
    e2e::Result r = Bdesim({"--config", "good.conf", "--check"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "configuration ok: 2 terminal(s), 1 adapter(s)\n");
}

TEST(SimCommandLine, TheExampleOfTheReadmeIsAValidConfiguration) {
    std::string readme = Readme();
    std::size_t begin = readme.find("    seed = 7");
    std::size_t end = readme.find("Terminal keys:");
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    std::string example;
    std::size_t at = begin;
    while (at < end) {
        std::size_t eol = readme.find('\n', at);
        std::string line = readme.substr(at, eol - at);
        example += (line.rfind("    ", 0) == 0 ? line.substr(4) : line) + "\n";
        at = eol + 1;
    }
    ASSERT_TRUE(WriteFile("example.conf", example));
    e2e::Result r = Bdesim({"--config", "example.conf", "--check"});
    EXPECT_EQ(r.status, 0) << example;
    EXPECT_EQ(r.out, "configuration ok: 2 terminal(s), 1 adapter(s)\n");
}

TEST(SimCommandLine, BadConfigurationsAreRefusedWithExitStatus2) {
    const char* bad[] = {
        "[terminal T1]\nlisten = 127.0.0.300\n",
        "[terminal T1]\nlisten = 127.0.0.2\nstatus = B5D\n",
        "[terminal T1]\nlisten = 127.0.0.2\nmemory = 10000\n",
        "[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION#0 silence\n",
        "[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION\n",
        "[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION explode\n",
        "[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION silence cut=3\n",
        "[terminal T1]\nlisten = 127.0.0.2\nfault = connect delay=5\n",
        "[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION refuse\n",
        "[terminal T1]\nlisten = 127.0.0.2\nfault = QSVERSION busy\n",
        "[terminal T1]\n",
        "[terminal T1]\nlisten = 127.0.0.2\n[terminal T1]\nlisten = 127.0.0.3\n",
        "[terminal T1]\nlisten = 127.0.0.2\n[adapter A1]\nlisten = 127.0.0.2\n",
        "[adapter A1]\n",
        "[gadget G]\n",
        "listen = 127.0.0.2\n",
        "",
    };
    for (const char* text : bad) {
        ASSERT_TRUE(WriteFile("bad.conf", text));
        e2e::Result r = Bdesim({"--config", "bad.conf", "--check"});
        EXPECT_EQ(r.status, 2) << text;
    }
    EXPECT_EQ(Bdesim({"--config", "missing.conf"}).status, 2);
    EXPECT_EQ(Bdesim({"--listen"}).status, 2);
    EXPECT_EQ(Bdesim({"--frobnicate", "1"}).status, 2);
    EXPECT_EQ(Bdesim({"--listen", "127.0.0.1", "--name", "a b", "--check"}).status, 2);
    EXPECT_EQ(Bdesim({"--listen", "127.0.0.1", "--fault", "upload#2+ cut=10 stall=3", "--check"}).status, 2);
    EXPECT_EQ(Bdesim({"--listen", "127.0.0.1", "--fault", "upload#2+ cut=10", "--check"}).status, 0);
}

TEST(SimCommandLine, AnyFreePortIsPrintedAndWrittenToTheReadyFile) {
    e2e::Sim sim("", {"--listen", "127.0.0.1", "--port", "0", "--ready-file", "ready.txt"});
    ASSERT_TRUE(sim.ready());
    std::string line = sim.readyLine();
    ASSERT_EQ(line.rfind("ready T1=127.0.0.1:", 0), 0u) << line;
    int port = std::stoi(line.substr(line.rfind(':') + 1));
    EXPECT_GT(port, 0);
    EXPECT_EQ(ReadFile("ready.txt"), line + "\n");

    e2e::RawClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", port));
    std::string reply = client.Exchange(e2e::StatusRequest(), 12);
    ASSERT_EQ(reply.size(), 12u);
    EXPECT_EQ(reply.substr(7, 2), "\xB5\xD8");
}

TEST(SimCommandLine, ListenerThatCannotBeBoundGivesExitStatus1) {
    // 192.0.2.1 is not an address of this host.
    e2e::Result r = Bdesim({"--listen", "192.0.2.1", "--port", "0"});
    EXPECT_EQ(r.status, 1);
}

}  // namespace
