// SPDX-License-Identifier: MIT
// The bench table: runs every measurement of `make bench` and prints one
// table, which it also writes to the file given, with a description of the
// machine. Runs inside a private network namespace with its loopback up
// (bench/run.sh starts it so), where port 23 of every 127.x.y.z is ours.
//
//   benchrun BUILD_DIR OUTPUT_FILE
//
// Each figure is the median of repeated runs; the runs of a comparison are
// interleaved in the same run of this program, so a machine that slows
// down meanwhile slows both sides alike. Everything happens in a fresh
// directory under /tmp, removed at the end; every process started is ended.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Args = std::vector<std::string>;

std::string g_build;
std::string g_work;
std::vector<pid_t> g_servers;
bool g_failed = false;

constexpr long kMiB = 1024 * 1024;
constexpr int kDataPerBlock = 1792;
constexpr int kFleetTerminals = 512;
constexpr int kFleetUploads = 64;
constexpr long kFleetUploadKiB = 256;

double Now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The median of the ratios of the runs made side by side: each pair ran at
// the same time of the run, so a machine that slows down for a while slows
// both of it alike.
double PairedRatio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) ratios.push_back(a[i] / b[i]);
    std::sort(ratios.begin(), ratios.end());
    const std::size_t n = ratios.size();
    return n == 0 ? NAN : n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
}

// Runs the two sides of a comparison, each of them first in turn.
void SideBySide(int rep, const std::function<void()>& a, const std::function<void()>& b) {
    if (rep % 2 == 0) {
        a();
        b();
    } else {
        b();
        a();
    }
}

double Median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "benchrun: %s\n", what.c_str());
    g_failed = true;
}

pid_t Spawn(const Args& args, const std::string& out = "/dev/null") {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) ::dup2(fd, 1);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

struct Outcome {
    double seconds = 0;
    int status = -1;   // exit status, -1 when killed
    long maxRssKb = 0;
    double cpuSeconds = 0;  // user and system time
};

Outcome Wait(pid_t pid, double start) {
    int status = 0;
    rusage usage{};
    Outcome outcome;
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    outcome.seconds = Now() - start;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.maxRssKb = usage.ru_maxrss;
    outcome.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return outcome;
}

Outcome Run(const Args& args, const std::string& out = "/dev/null") {
    const double start = Now();
    return Wait(Spawn(args, out), start);
}

// Runs args and insists on exit status 0.
Outcome RunOk(const Args& args, const std::string& out = "/dev/null") {
    Outcome outcome = Run(args, out);
    if (outcome.status != 0) {
        std::string line;
        for (const std::string& a : args) line += a + " ";
        Fail(line + "exited " + std::to_string(outcome.status));
    }
    return outcome;
}

// Several processes at once; the time until the last has ended. All must exit 0.
double RunTogether(const std::vector<Args>& runs) {
    const double start = Now();
    std::vector<pid_t> pids;
    for (const Args& args : runs) pids.push_back(Spawn(args));
    double seconds = 0;
    for (pid_t pid : pids) {
        Outcome outcome = Wait(pid, start);
        if (outcome.status != 0) Fail(runs.front()[0] + " (one of several) exited " + std::to_string(outcome.status));
        seconds = std::max(seconds, outcome.seconds);
    }
    return seconds;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Written in pieces, so that this program stays small: every process it
// starts is a copy of it until the exec.
void WriteFilled(const std::string& path, long size, char fill) {
    const std::string piece(64 * 1024, fill);
    std::ofstream out(path, std::ios::binary);
    for (long left = size; left > 0; left -= static_cast<long>(piece.size())) {
        out.write(piece.data(), std::min<long>(left, static_cast<long>(piece.size())));
    }
}

bool WaitForFile(const std::string& path, double limitSeconds) {
    const double until = Now() + limitSeconds;
    struct stat st {};
    while (::stat(path.c_str(), &st) != 0) {
        if (Now() > until) return false;
        ::usleep(5000);
    }
    return true;
}

// Time a server process has run on a processor so far, in seconds: the
// CPU figures show each side's own cost, which a loaded machine disturbs
// far less than the elapsed times.
double ServerCpu(std::size_t index) {
    if (index >= g_servers.size()) return NAN;
    const std::string text = ReadFile("/proc/" + std::to_string(g_servers[index]) + "/schedstat");
    return std::strtod(text.c_str(), nullptr) / 1e9;
}

void StopServers() {
    for (pid_t pid : g_servers) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    g_servers.clear();
}

bool StartServer(const Args& args, const std::string& readyFile) {
    g_servers.push_back(Spawn(args));
    if (!WaitForFile(readyFile, 30)) {
        Fail(args[0] + " did not get ready");
        return false;
    }
    return true;
}

std::string Bin(const char* relative) { return g_build + "/" + relative; }

// Processor placement. Left to the scheduler, a client and its terminal
// program share one processor at first and are spread over two later, and
// a lock-step exchange runs four to five times faster in the first case
// than in the second on this kind of machine: one and the same transfer
// measured anything from 20 to 100 MB/s. So the transfers, the floor and
// the one-process runs keep the terminal programs on one processor and the
// clients on another, as across a real link; the fleet, the log and the
// listing use every processor. On a single processor nothing is pinned.
cpu_set_t g_allCpus;
bool g_canPin = false;

void PinSelfTo(int index) {  // index into the allowed processors; -1 = all
    if (!g_canPin) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (index < 0) {
        set = g_allCpus;
    } else {
        for (int cpu = 0, seen = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &g_allCpus) && seen++ == index) CPU_SET(cpu, &set);
        }
    }
    if (::sched_setaffinity(0, sizeof set, &set) != 0) Fail("cannot set the processor affinity");
}

// ------------------------------------------------------------------ table

struct Row {
    std::string figure;
    std::string measured;
    std::string reference;
    std::string ratio;
    std::string target;
    std::string met;
};
std::vector<Row> g_rows;

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void AddRow(const std::string& figure, const std::string& measured, const std::string& reference, double ratio,
            const std::string& target, int met /* 1 yes, 0 no, -1 no target */) {
    g_rows.push_back({figure, measured, reference, std::isnan(ratio) ? "" : Format("%.2f", ratio), target,
                      met < 0 ? "" : (met ? "yes" : "NO")});
}

std::string MachineText() {
    std::string model = "?";
    std::istringstream cpu(ReadFile("/proc/cpuinfo"));
    for (std::string line; std::getline(cpu, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    long memKb = 0;
    std::istringstream mem(ReadFile("/proc/meminfo"));
    for (std::string line; std::getline(mem, line);) {
        if (line.rfind("MemTotal:", 0) == 0) memKb = std::atol(line.c_str() + 9);
    }
    utsname u{};
    ::uname(&u);
    std::ostringstream text;
    text << ::sysconf(_SC_NPROCESSORS_ONLN) << " cores (" << model << "), " << memKb / 1024 / 1024 << " GiB, Linux "
         << u.release << ", " << BENCH_COMPILER << ", loopback in a private network namespace";
    return text.str();
}

// -------------------------------------------------------------- the runs

constexpr int kReps = 3;
constexpr int kTransferReps = 7;

struct Transfer {
    const char* name;
    long bytes;
    Args args;  // after "xelcmd TERMINAL"
};

// The files: programs without ".", data without 0xA6, uploads named by their size in KiB.
void PrepareFiles() {
    WriteFilled(g_work + "/P1M", kMiB, 'p');
    WriteFilled(g_work + "/P16M", 16 * kMiB, 'p');
    WriteFilled(g_work + "/D2M", 2 * kMiB, 'd');
    ::mkdir((g_work + "/store-b").c_str(), 0755);
    WriteFilled(g_work + "/store-b/1024.dat", kMiB, 'u');
    WriteFilled(g_work + "/store-b/16384.dat", 16 * kMiB, 'u');
}

void Transfers() {
    const std::vector<Transfer> transfers = {
        {"apdnp00b 1 MiB", kMiB, {"apdnp00b", "P1M"}},
        {"apdnp00b 16 MiB", 16 * kMiB, {"apdnp00b", "P16M"}},
        {"apupload 1 MiB", kMiB, {"apupload", "up.out", "1024", "0"}},
        {"apupload 16 MiB", 16 * kMiB, {"apupload", "up.out", "16384", "0"}},
        {"apdnload 2 MiB", 2 * kMiB, {"apdnload", "D2M", "D2M", "1"}},
    };
    // terminal names: M the minimal terminal, B and D bdesim (D for the data download)
    // Each transfer is run side by side with a floor run of as many round
    // trips, and with the same transfer against bdesim.
    std::map<std::string, std::vector<double>> speed;  // MB/s, by transfer and terminal ("F": its floor run)
    std::map<const std::vector<double>*, std::vector<double>> cpu;        // the client's CPU seconds of each run
    std::map<const std::vector<double>*, std::vector<double>> serverCpu;  // the terminal's
    auto floorRun = [&](long trips, std::vector<double>& into) {
        const std::string out = g_work + "/floor.txt";
        const Outcome run = RunOk({Bin("bench/minclient"), "pingpong", "127.0.0.2", "23", std::to_string(trips)}, out);
        cpu[&into].push_back(run.cpuSeconds);
        double seconds = 0;
        long done = 0;
        if (std::sscanf(ReadFile(out).c_str(), "%lf %ld", &seconds, &done) != 2 || seconds <= 0) {
            Fail("no result from the floor client");
            seconds = NAN;
        }
        into.push_back(static_cast<double>(done) * kDataPerBlock / seconds / 1e6);
        if (std::getenv("BENCH_VERBOSE") != nullptr) std::fprintf(stderr, "floor %ld %.1f\n", trips, into.back());
    };
    auto transferRun = [&](const Transfer& t, const char* terminal, std::vector<double>& into) {
        const char* who = (std::strcmp(terminal, "B") == 0 && t.args[0] == "apdnload") ? "D" : terminal;
        // The data download checks the free memory first: the file of the run before must go.
        ::unlink((g_work + "/store-d/D2M.dat").c_str());
        Args args = {Bin("cmd/xelcmd"), who};
        args.insert(args.end(), t.args.begin(), t.args.end());
        const std::size_t server = std::strcmp(terminal, "M") == 0 ? 0 : 1;
        const double before = ServerCpu(server);
        const Outcome run = RunOk(args);
        into.push_back(t.bytes / run.seconds / 1e6);
        cpu[&into].push_back(run.cpuSeconds);
        serverCpu[&into].push_back(ServerCpu(server) - before);
        if (std::getenv("BENCH_VERBOSE") != nullptr) std::fprintf(stderr, "%s %s %.1f\n", t.name, terminal, into.back());
    };
    for (int rep = 0; rep < kTransferReps; ++rep) {
        for (const Transfer& t : transfers) {
            const std::string name = t.name;
            // The minimal terminal's run in the middle, next to both it is compared with.
            std::function<void()> floorSide = [&] { floorRun(t.bytes / kDataPerBlock + 1, speed[name + "F"]); };
            std::function<void()> simSide = [&] { transferRun(t, "B", speed[name + "B"]); };
            (rep % 2 == 0 ? floorSide : simSide)();
            transferRun(t, "M", speed[name + "M"]);
            (rep % 2 == 0 ? simSide : floorSide)();
        }
    }
    std::vector<double> floor = speed[std::string(transfers[1].name) + "F"];
    AddRow("floor: round trips of prefix + 1920 against 1920", Format("%.1f MB/s payload", Median(floor)),
           Format("%.0f round trips/s", Median(floor) * 1e6 / kDataPerBlock), NAN, "", -1);
    for (const Transfer& t : transfers) {
        const std::vector<double>& ours = speed[std::string(t.name) + "M"];
        const std::vector<double>& sim = speed[std::string(t.name) + "B"];
        const std::vector<double>& floorRuns = speed[std::string(t.name) + "F"];
        const double toFloor = PairedRatio(ours, floorRuns), toOurs = PairedRatio(sim, ours);
        const bool large = t.bytes >= 16 * kMiB;
        AddRow(std::string(t.name) + ", minimal terminal", Format("%.1f MB/s", Median(ours)),
               "floor (client CPU x" + Format("%.2f", PairedRatio(cpu[&ours], cpu[&floorRuns])) + ")", toFloor,
               large ? ">= 0.95" : "", large ? toFloor >= 0.95 : -1);
        AddRow(std::string(t.name) + ", bdesim", Format("%.1f MB/s", Median(sim)),
               "minimal terminal (server CPU x" + Format("%.2f", PairedRatio(serverCpu[&sim], serverCpu[&ours])) + ")",
               toOurs, ">= 0.90", toOurs >= 0.90);
    }
}

void Process() {
    constexpr int kBatch = 50;
    std::vector<double> ours, minimal;
    std::vector<double> oursCpu, minimalCpu;
    auto batch = [](const Args& args, std::vector<double>& times, std::vector<double>& cpuTimes) {
        const double start = Now();
        double cpuSeconds = 0;
        for (int i = 0; i < kBatch; ++i) cpuSeconds += RunOk(args).cpuSeconds;
        times.push_back((Now() - start) / kBatch);
        cpuTimes.push_back(cpuSeconds / kBatch);
    };
    for (int rep = 0; rep < 2 * kTransferReps; ++rep) {
        SideBySide(rep, [&] { batch({Bin("cmd/xelcmd"), "M", "aptyp01b"}, ours, oursCpu); },
                   [&] { batch({Bin("bench/minclient"), "typ", "127.0.0.2"}, minimal, minimalCpu); });
    }
    const double a = Median(ours), b = Median(minimal), ratio = PairedRatio(ours, minimal);
    AddRow("xelcmd T aptyp01b, one process", Format("%.2f ms", a * 1e3),
           Format("%.2f ms minimal client", b * 1e3) + " (CPU x" + Format("%.2f", PairedRatio(oursCpu, minimalCpu)) + ")",
           ratio, "<= 1.3", ratio <= 1.3);
}

std::string FleetAddress(int n) {
    return "127.0." + std::to_string(1 + (n - 1) / 250) + "." + std::to_string(1 + (n - 1) % 250);
}

// Counts the records of the log and its backup that are whole: eight fields,
// a known source, a newline at the end.
long WholeRecords(const std::string& text, long* broken) {
    long whole = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const long fields = std::count(line.begin(), line.end(), ';');
        if (fields >= 7 && line.size() > 14 && (line.find(";xelbde;") == 14 || line.find(";tcpcom;") == 14)) {
            ++whole;
        } else {
            ++*broken;
        }
    }
    if (!text.empty() && text.back() != '\n') ++*broken;
    return whole;
}

// The inventory of 512 terminals: xelfleet inventory (32 threads in one
// process) against four xelfleet passes for the same fields (a process per
// terminal and query) and against the minimal threaded client making the
// same exchanges; and the inventory's peak resident size.
void Inventory(const std::string& dir) {
    constexpr const char* kThreads = "32";
    const std::string xelfleet = Bin("cmd/xelfleet");
    const std::string ini = dir + "/terminal.ini";
    std::vector<double> ours, minimal, passes, rss;
    for (int rep = 0; rep < kReps; ++rep) {
        SideBySide(
            rep,
            [&] {
                const Outcome run = RunOk({xelfleet, "inventory", "-i", ini, "-j", kThreads, "--format", "tsv"});
                ours.push_back(run.seconds);
                rss.push_back(static_cast<double>(run.maxRssKb));
            },
            [&] { minimal.push_back(RunOk({Bin("bench/minclient"), "inventory", dir + "/addresses", kThreads}).seconds); });
        double four = 0;
        for (const char* word : {"aptyp01b", "aprst00b", "apdmtver", "aprtvclk"}) {
            four += RunOk({xelfleet, "-i", ini, "-j", kThreads, "--", word}).seconds;
        }
        passes.push_back(four);
    }
    const double rate = PairedRatio(minimal, ours), speedUp = PairedRatio(passes, ours);
    AddRow("inventory: 512 terminals, xelfleet inventory -j 32", Format("%.0f terminals/s", kFleetTerminals / Median(ours)),
           Format("%.0f /s minimal threaded client", kFleetTerminals / Median(minimal)), rate, ">= 0.8", rate >= 0.8);
    AddRow("inventory against four xelfleet -j 32 passes", Format("%.2f s", Median(ours)),
           Format("%.2f s the four passes", Median(passes)), speedUp, ">= 3 (faster)", speedUp >= 3);
    AddRow("peak RSS of xelfleet inventory, 512 terminals", Format("%.0f KB", Median(rss)), "", NAN, "< 16 MB",
           Median(rss) < 16 * 1024);
}

void Fleet(bool xargsRuns, bool inventory) {
    const std::string dir = g_work + "/fleet";
    ::mkdir(dir.c_str(), 0755);
    std::string config, ini, names, addresses, uploadNames, uploadAddresses;
    for (int n = 1; n <= kFleetTerminals; ++n) {
        std::string name = "T";  // appended, not "T" + ...: GCC 12 -O3 warns falsely on that form
        name += std::to_string(n);
        config += "[terminal " + name + "]\nlisten = " + FleetAddress(n) + "\nstore = store/" + name + "\n";
        ini += "[" + name + "]\nIP = " + FleetAddress(n) + "\n";
        names += name + "\n";
        addresses += FleetAddress(n) + "\n";
        if (n <= kFleetUploads) {
            ::mkdir((dir + "/store").c_str(), 0755);
            ::mkdir((dir + "/store/" + name).c_str(), 0755);
            WriteFilled(dir + "/store/" + name + "/UP.dat", kFleetUploadKiB * 1024, 'u');
            uploadNames += name + "\n";
            uploadAddresses += FleetAddress(n) + "\n";
        }
    }
    WriteFile(dir + "/bdesim.conf", config);
    WriteFile(dir + "/terminal.ini", ini);
    WriteFile(dir + "/names", names);
    WriteFile(dir + "/addresses", addresses);
    WriteFile(dir + "/upload-names", uploadNames);
    WriteFile(dir + "/upload-addresses", uploadAddresses);
    if (!StartServer({Bin("sim/bdesim"), "--config", dir + "/bdesim.conf", "--ready-file", dir + "/ready"},
                     dir + "/ready")) {
        return;
    }
    ::setenv("TERMINI", dir.c_str(), 1);
    const std::string log = dir + "/fleet.log";
    ::setenv("DEBUG_FILE", log.c_str(), 1);
    ::unlink(log.c_str());
    const std::string xargs = "xargs -P 32 -I{} ";
    const std::string xelcmd = Bin("cmd/xelcmd");
    const std::string minclient = Bin("bench/minclient");
    auto shell = [](const std::string& line) { return Args{"sh", "-c", line}; };
    std::vector<double> ours, minimal, oursUp, minimalUp, simShare;
    for (int rep = 0; rep < (xargsRuns ? kReps : 0); ++rep) {
        SideBySide(
            rep,
            [&] {
                const double before = ServerCpu(0);
                ours.push_back(RunOk(shell(xargs + xelcmd + " {} aptyp01b < " + dir + "/names")).seconds);
                simShare.push_back((ServerCpu(0) - before) / ours.back());
            },
            [&] { minimal.push_back(RunOk(shell(xargs + minclient + " typ {} < " + dir + "/addresses")).seconds); });
        SideBySide(
            rep,
            [&] {
                oursUp.push_back(
                    RunOk(shell("cd " + dir + " && " + xargs + xelcmd + " {} apupload {}.out UP 0 < upload-names"))
                        .seconds);
            },
            [&] {
                minimalUp.push_back(
                    RunOk(shell("cd " + dir + " && " + xargs + minclient + " upload {} 23 {}.min < upload-addresses")).seconds);
            });
    }
    ::setenv("DEBUG_FILE", (g_work + "/xelbde.log").c_str(), 1);
    if (inventory) Inventory(dir);
    ::setenv("TERMINI", (g_work + "/ini").c_str(), 1);
    StopServers();
    if (!xargsRuns) return;
    // Every command leaves its start record and three operations records.
    long broken = 0;
    const long whole = WholeRecords(ReadFile(log), &broken);
    const long expected = 4L * kReps * (kFleetTerminals + kFleetUploads);
    if (whole != expected || broken != 0) {
        Fail("fleet log: " + std::to_string(whole) + " whole records of " + std::to_string(expected) + ", " +
             std::to_string(broken) + " broken");
    }
    const double a = kFleetTerminals / Median(ours), b = kFleetTerminals / Median(minimal);
    const double rate = PairedRatio(minimal, ours);  // times: the inverse of the rates' ratio
    AddRow("fleet: 512 x xelcmd Tn aptyp01b, xargs -P 32", Format("%.0f commands/s", a),
           Format("%.0f /s minimal client", b) + " (bdesim busy " + Format("%.0f", 100 * Median(simShare)) +
               "% of the time)",
           rate, ">= 0.8", rate >= 0.8);
    const double c = kFleetUploads / Median(oursUp), d = kFleetUploads / Median(minimalUp);
    const double upRate = PairedRatio(minimalUp, oursUp);
    AddRow("fleet: 64 x apupload 256 KiB, xargs -P 32", Format("%.0f commands/s", c),
           Format("%.0f /s minimal client", d), upRate, ">= 0.8", upRate >= 0.8);
    AddRow("fleet log: whole records, exits 0", Format("%.0f", static_cast<double>(whole)),
           Format("%.0f expected", static_cast<double>(expected)), NAN, "all, none broken",
           whole == expected && broken == 0 && !g_failed);
}

void Logging() {
    constexpr long kRecords = 20000;
    const std::string logwrite = Bin("bench/logwrite");
    const std::string ours = g_work + "/log-ours.log", bare = g_work + "/log-bare.log";
    std::vector<double> ours1, bare1, ours8, bare8;
    const std::vector<Args> o(8, Args{logwrite, "ours", ours, std::to_string(kRecords / 8), "256"});
    const std::vector<Args> b(8, Args{logwrite, "bare", bare, std::to_string(kRecords / 8)});
    for (int rep = 0; rep < kTransferReps; ++rep) {
        SideBySide(
            rep, [&] { ours1.push_back(RunOk({logwrite, "ours", ours, std::to_string(kRecords), "256"}).seconds); },
            [&] { bare1.push_back(RunOk({logwrite, "bare", bare, std::to_string(kRecords)}).seconds); });
        SideBySide(rep, [&] { ours8.push_back(RunTogether(o)); }, [&] { bare8.push_back(RunTogether(b)); });
        ::unlink(bare.c_str());
    }
    const double o1 = Median(ours1), b1 = Median(bare1), o8 = Median(ours8), b8 = Median(bare8);
    const double r1 = PairedRatio(ours1, bare1), r8 = PairedRatio(ours8, bare8);
    AddRow("log: 1 process, rotating at 256 KB", Format("%.0f records/s", kRecords / o1),
           Format("%.0f /s bare loop", kRecords / b1), r1, "<= 1.2 (cost)", r1 <= 1.2);
    AddRow("log: 8 processes, rotating at 256 KB", Format("%.0f records/s", kRecords / o8),
           Format("%.0f /s bare loop", kRecords / b8), r8, "<= 1.2 (cost)", r8 <= 1.2);
}

// Peak resident size of xelcmd, measured by peakrss, against the minimal
// terminal: each command against itself, the medians of its 1 MiB and its
// 16 MiB runs. Flat means the anonymous memory (what xelcmd allocates) of
// the two lies within 16 pages: the mapped files' share of the resident
// size moves by some 50 pages from run to run with what the page cache
// holds, whatever the file.
void Memory() {
    struct Pair {
        const char* name;
        Args small, large;
    };
    const std::vector<Pair> pairs = {{"apdnp00b", {"apdnp00b", "P1M"}, {"apdnp00b", "P16M"}},
                                     {"apupload", {"apupload", "up.out", "1024", "0"}, {"apupload", "up.out", "16384", "0"}}};
    std::string measured;
    bool flat = true;
    for (const Pair& pair : pairs) {
        std::vector<double> rss[2], anon[2];
        for (int rep = 0; rep < kReps; ++rep) {
            for (int large = 0; large < 2; ++large) {
                Args args = {Bin("bench/peakrss"), Bin("cmd/xelcmd"), "M"};
                const Args& run = large ? pair.large : pair.small;
                args.insert(args.end(), run.begin(), run.end());
                const std::string out = g_work + "/rss.txt";
                RunOk(args, out);
                long total = 0, anonymous = -1;
                if (std::sscanf(ReadFile(out).c_str(), "%ld %ld", &total, &anonymous) < 1) Fail("peakrss printed nothing");
                rss[large].push_back(static_cast<double>(total));
                anon[large].push_back(static_cast<double>(anonymous));
            }
        }
        const double a = Median(rss[0]), b = Median(rss[1]);
        const double anonA = Median(anon[0]), anonB = Median(anon[1]);
        flat = flat && anonA >= 0 && std::fabs(anonB - anonA) <= 64 && a < 4096 && b < 4096;
        if (!measured.empty()) measured += "; ";
        measured += std::string(pair.name) + " " + Format("%.0f", a) + " / " + Format("%.0f KB", b) + " (anonymous " +
                    Format("%.0f", anonA) + " / " + Format("%.0f)", anonB);
    }
    AddRow("peak RSS of xelcmd, 1 MiB / 16 MiB transfers", measured, "", NAN,
           "flat (anonymous within 16 pages), < 4 MB", flat);
}

void Listing() {
    const std::string out = g_work + "/listing.txt";
    RunOk({Bin("bench/logdisplay_bench"), "--benchmark_min_time=0.5"}, out);
    const std::string text = ReadFile(out);
    const std::size_t at = text.find("listing ");
    double ours = 0, awk = 0;
    if (at == std::string::npos || std::sscanf(text.c_str() + at, "listing %lf ms, awk %lf ms", &ours, &awk) != 2) {
        Fail("no result from logdisplay_bench");
        return;
    }
    AddRow("log listing of a 2000 KB log", Format("%.1f ms", ours), Format("%.1f ms awk", awk), ours / awk,
           "< 1 (faster than awk)", ours < awk);
}

std::string Table() {
    std::ostringstream text;
    text << "| figure | measured | against | ratio | target | met |\n|---|---|---|---|---|---|\n";
    for (const Row& r : g_rows) {
        text << "| " << r.figure << " | " << r.measured << " | " << r.reference << " | " << r.ratio << " | "
             << r.target << " | " << r.met << " |\n";
    }
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: benchrun BUILD_DIR OUTPUT_FILE\n");
        return 2;
    }
    char* build = ::realpath(argv[1], nullptr);
    if (build == nullptr) return 2;
    g_build = build;
    std::free(build);
    const std::string output = argv[2];
    // The files live in memory (/dev/shm) where there is such a file system:
    // the writeback of one run's 16 MiB to a disk would slow down the runs
    // after it, and not both sides of a comparison alike.
    char memoryPattern[] = "/dev/shm/xelbench-XXXXXX";
    char diskPattern[] = "/tmp/xelbench-XXXXXX";
    const char* made = ::mkdtemp(memoryPattern);
    if (made == nullptr) made = ::mkdtemp(diskPattern);
    if (made == nullptr) return 1;
    g_work = made;
    if (::chdir(g_work.c_str()) != 0) return 1;
    ::signal(SIGPIPE, SIG_IGN);

    ::mkdir("locks", 0755);
    ::mkdir("ini", 0755);
    WriteFile(g_work + "/ini/terminal.ini", "[M]\nIP = 127.0.0.2\n[B]\nIP = 127.0.0.4\n[D]\nIP = 127.0.0.5\n");
    WriteFile(g_work + "/bdesim.conf",
              "[terminal B]\nlisten = 127.0.0.4\nmemory = 9999\nprograms = separate\nstore = store-b\n"
              "[terminal D]\nlisten = 127.0.0.5\nmemory = 9999\nstore = store-d\n");
    for (const char* name : {"DEBUG_TCPCOM", "XELBDE_TIMEOUT"}) ::unsetenv(name);
    ::setenv("DEBUG_LEVEL", "0", 1);
    ::setenv("DEBUG_SIZE", "100000", 1);
    ::setenv("DEBUG_FILE", (g_work + "/xelbde.log").c_str(), 1);
    ::setenv("XELBDE_LOCKDIR", (g_work + "/locks").c_str(), 1);
    ::setenv("TERMINI", (g_work + "/ini").c_str(), 1);

    // BENCH_ONLY=transfers,process,memory,fleet,inventory,logging,listing runs only
    // those parts (for looking into one of them); BENCH_VERBOSE=1 prints
    // every transfer run.
    const char* only = std::getenv("BENCH_ONLY");
    auto wanted = [only](const char* part) { return only == nullptr || std::strstr(only, part) != nullptr; };
    const double start = Now();
    const std::string loadBefore = ReadFile("/proc/loadavg").substr(0, 14);
    PrepareFiles();
    g_canPin = ::sched_getaffinity(0, sizeof g_allCpus, &g_allCpus) == 0 && CPU_COUNT(&g_allCpus) >= 2;
    PinSelfTo(1);  // the terminal programs
    const bool serversUp =
        StartServer({Bin("bench/minterm"), "127.0.0.2", "23", g_work + "/minterm.ready"}, g_work + "/minterm.ready") &&
        StartServer({Bin("sim/bdesim"), "--config", g_work + "/bdesim.conf", "--ready-file", g_work + "/sim.ready"},
                    g_work + "/sim.ready");
    PinSelfTo(0);  // the clients
    if (serversUp) {
        if (wanted("transfers")) Transfers();
        if (wanted("process")) Process();
        if (wanted("memory")) Memory();
    }
    StopServers();
    PinSelfTo(-1);
    if (wanted("fleet") || wanted("inventory")) Fleet(wanted("fleet"), wanted("inventory"));
    if (wanted("logging")) Logging();
    if (wanted("listing")) Listing();
    StopServers();

    const std::string table = Table();
    std::ostringstream doc;
    doc << "# Bench results\n\nWritten by `make bench` (bench/benchrun.cpp). Machine: " << MachineText()
        << ".\nEach figure is the median of repeated runs; each ratio compares runs interleaved in the same run. "
        << "Transfers are whole `xelcmd` processes (connect, transfer, disconnect) at DEBUG_LEVEL=0; the files, "
        << "logs and lock files are in " << g_work.substr(0, g_work.rfind('/')) << ". "
        << (g_canPin ? "The floor, the transfers and the one-process runs keep the terminal programs on one "
                       "processor and the clients on another; the rest use every processor.\n"
                     : "One processor: clients and terminal programs share it.\n")
        << "CPU figures (in brackets) are the processor time of the client, or of the terminal program, in the "
        << "same pairs of runs: a machine shared with other work disturbs them far less than the elapsed times.\n\n"
        << table << "\nWhole run: " << Format("%.0f s", Now() - start) << (g_failed ? " (WITH FAILURES)" : "")
        << "; load average (1, 5, 15 min) before " << loadBefore << ", after "
        << ReadFile("/proc/loadavg").substr(0, 14) << ".\n";
    std::fputs(table.c_str(), stdout);
    WriteFile(output, doc.str());
    std::string cleanup = "rm -rf " + g_work;
    if (std::system(cleanup.c_str()) != 0) return 1;
    return g_failed ? 1 : 0;
}
