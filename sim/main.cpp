// SPDX-License-Identifier: MIT
// bdesim: simulated terminals and ISDN adapters for end-to-end runs of
// xelcmd and the XELBDE library. See sim/README.md.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <optional>
#include <vector>

#include "sim/config.h"
#include "sim/server.h"

namespace {

// The usage text, with the fault selectors between its two parts.
constexpr const char* kUsage = R"(Usage:
  bdesim --config FILE [--port N] [--ready-fd N] [--ready-file PATH]
         [--trace FILE] [--seed N] [--check]
  bdesim --listen ADDR[:PORT] [--name T1] [--KEY VALUE ...] [options above]
  bdesim --help
  bdesim --version

Simulates terminals and ISDN adapters, each listening on its own address
(default port 23), one connection at a time (further connections wait).

Options:
  --config FILE      terminals and adapters (format below)
  --port N           listen on port N everywhere instead; 0 = any free port
  --ready-fd N       when all listeners are bound, write "ready NAME=ADDR:PORT ..."
                     to descriptor N and close it
  --ready-file PATH  write the same line to PATH (atomically)
  --trace FILE       frame trace: "NAME > KIND HEX" received, "NAME < KIND HEX"
                     sent, "NAME * text" events, "NAME ! fault ..." faults,
                     "NAME = KIND COUNT" counters at exit
  --seed N           seed for faults with chance=
  --check            check the configuration and exit
  --listen ADDR[:PORT], --name NAME, --KEY VALUE
                     one terminal from the command line; KEY is any terminal
                     key below (--fault may be repeated)
Exit status: 0 after SIGTERM/SIGINT, 1 listener not bound, 2 bad arguments.

Configuration file: "KEY = VALUE" lines, "#" or ";" comments, sections
"[terminal NAME]" and "[adapter NAME]"; "seed = N" may precede them. Relative
paths are relative to the file's directory.

Terminal keys:
  listen = ADDR[:PORT]   own listener (else reachable only by number)
  number = DIGITS        number an adapter dials to reach the terminal
  status = B5D8          status bytes 7-8 of the status frame (4 hex digits)
  version = TEXT         QSVERSION text at byte 81 ("_" = blank, max 128)
  clock = host | host+S | host-S | YYMMDDHHMMSS (fixed, does not run)
  dateformat = 1         byte 222 of QSVERSION (QSETCLOCK replaces it)
  radio = N              byte 224 of QSVERSION: W or S = synchronised ("_" = blank)
  memory = 2048          total memory, units of 256 bytes (0-9999)
  freemem = TEXT         QRDFORMAT bytes 93-96 (default: computed free units)
  readers = FILE         reader table (default byte k = (k + k/256) mod 256)
  hexcase = upper|lower  QMU page text case
  program = running|stopped
  programs = counted|separate  programs in memory and directory, or apart
  store = DIR            file store (default: temporary, removed at exit)
  fault = FAULT          fault injection (repeatable)
Adapter keys:
  listen = ADDR[:PORT] (required), line = free|busy, id = TEXT, fault = FAULT

Error statuses: 99 unknown command, 98 malformed request, 97 memory full,
96 object not found, 95 store error. Adapters refuse with 99.

Fault FAULT: SELECTOR[#N[+]] ACTION... [for=K] [chance=P]
)";
constexpr const char* kUsageTail = R"(  #N        only the N-th match (counted from 1 since start); #N+ from the
            N-th on; none = every match; for=K: K matches from the N-th
  frame actions: silence | close | reset | marker[=start|end] | cut=N |
            stall=N | trickle=MS | delay=MS | status=XX ("_" = blank; 4 hex
            digits for status frames; the terminal then changes nothing) | busy
  connect actions: close | reset | silence | refuse[=MS] | noaccept[=MS]
  e.g.  QSVERSION#2 silence    upload#3 status=07    ST busy
        download#2 cut=100     any delay=1500        connect refuse=2000
)";

bool ParseInt(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && value >= low && value <= high;
}

// "  SELECTOR  " and the name of every kind a fault selects, in lines of at
// most 79 characters.
std::string SelectorLines() {
    std::string text = "  SELECTOR ";
    for (const bdesim::KindRow& row : bdesim::Selectors()) {
        std::size_t column = text.size() - (text.rfind('\n') + 1);  // npos + 1 is 0
        if (column + 1 + row.name.size() > 79) text.append("\n").append(11, ' ');
        (text += ' ') += row.name;
    }
    text += '\n';
    return text;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "bdesim: %s\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bdesim::Config config;
    bdesim::Options options;
    std::string configPath;
    long port = -1;
    bool check = false;
    std::string name = "T1";
    std::vector<std::pair<std::string, std::string>> terminalKeys;
    std::optional<unsigned long> seed;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs((kUsage + SelectorLines() + kUsageTail).c_str(), stdout);
            return 0;
        }
        if (arg == "--version" && argc == 2) {  // with a value it is the terminal's version text
            std::printf("bdesim %s\n", XELBDE_VERSION);
            return 0;
        }
        if (arg == "--check") {
            check = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) return Fail("unexpected argument \"" + arg + "\" (see --help)");
        if (i + 1 >= argc) return Fail(arg + " needs a value");
        const char* value = argv[++i];
        std::string key = arg.substr(2);
        long number = 0;
        if (key == "config") {
            configPath = value;
        } else if (key == "port") {
            if (!ParseInt(value, 0, 65535, port)) return Fail("--port takes 0 to 65535");
        } else if (key == "ready-fd") {
            if (!ParseInt(value, 0, 1 << 20, number)) return Fail("--ready-fd takes a descriptor number");
            options.readyFd = static_cast<int>(number);
        } else if (key == "ready-file") {
            options.readyFile = value;
        } else if (key == "trace") {
            options.tracePath = value;
        } else if (key == "seed") {
            if (!ParseInt(value, 0, 2147483647L, number)) return Fail("--seed takes a number");
            seed = static_cast<unsigned long>(number);
        } else if (key == "name") {
            name = value;
        } else if (bdesim::IsTerminalKey(key)) {
            terminalKeys.emplace_back(key, value);
        } else {
            return Fail("unknown option " + arg + " (see --help)");
        }
    }

    std::string error;
    if (!configPath.empty() && !bdesim::LoadConfigFile(configPath, config, error)) return Fail(error);
    if (!terminalKeys.empty()) {
        bdesim::TerminalConfig terminal;
        terminal.name = name;
        for (const auto& [key, value] : terminalKeys) {
            if (!bdesim::SetTerminalKey(terminal, key, value, ".", error)) return Fail(error);
        }
        config.terminals.push_back(terminal);
    }
    if (seed) config.seed = seed;
    if (port >= 0) {
        for (auto& t : config.terminals) {
            if (t.listen) t.listen->port = static_cast<int>(port);
        }
        for (auto& a : config.adapters) {
            if (a.listen) a.listen->port = static_cast<int>(port);
        }
    }
    if (!bdesim::CheckConfig(config, error)) return Fail(error);
    if (check) {
        std::printf("configuration ok: %zu terminal(s), %zu adapter(s)\n", config.terminals.size(),
                    config.adapters.size());
        return 0;
    }

    // SIGTERM and SIGINT are blocked except while bdesim waits for events, so
    // a stop request is never lost between two polls.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    bdesim::Server server;
    int setup = server.Setup(config, options);
    if (setup != 0) {
        server.Shutdown();
        return setup;
    }
    server.Run();
    server.Shutdown();
    return 0;
}
