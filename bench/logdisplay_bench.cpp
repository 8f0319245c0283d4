// SPDX-License-Identifier: MIT
// Listing speed of the operations log: XelbdeDisplayLog over a generated
// 2000 KB log with realistic records of every level, against an awk
// one-liner that produces the same rows from the same file. Checks first
// that both outputs are identical, then times both and prints their ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "xelbde/xelbde.h"

namespace {

constexpr const char* kAwkProgram =
    "BEGIN { print \"Terminal   Datum      Uhrzeit  Befehl     Status Parameter\" }"
    " $4 + 0 == 100 && toupper(substr($7, 1, 9)) == \"TERMINAL=\" {"
    "   t = substr($7, 10); n = index(t, \" \");"
    "   if (n) { name = substr(t, 1, n - 1); p = substr(t, n + 1) } else { name = t; p = \"\" }"
    "   if (name == \"\") next;"
    "   printf \"%-10.10s %.2s.%.2s.%.4s %.2s:%.2s:%.2s %-10.10s   %02d   %-81.81s\\n\","
    "     name, substr($1, 7, 2), substr($1, 5, 2), substr($1, 1, 4),"
    "     substr($1, 9, 2), substr($1, 11, 2), substr($1, 13, 2), $3, $5 + 0, substr(p, 1, 80) }";

std::string g_dir;
std::string g_log;
long g_rows = 0;

// A log as a day of real use leaves it at DEBUG_LEVEL=2: entry records and
// dumps of the socket layer around every API call, operations records of
// every command, errors now and then.
void GenerateLog() {
    const char* functions[] = {"APALC00B", "APTYP01B", "APDNLOAD", "APUPL00B", "APRTVCLK", "APDLC00B"};
    const char* params[] = {"Typ=", "Typ=5214-031", "Downloaddatei=daten.txt Terminaldatei=DATEN Replace=1",
                            "Uploaddatei=buchungen.dat Terminaldatei=BUCH Delete=1",
                            "Datum/Zeit=070203140509 Format=1 Funkuhrstatus=W", "Typ="};
    std::ofstream out(g_log, std::ios::binary);
    long size = 0;
    for (long i = 0; size < 2000L * 1024; ++i) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "200612%02ld%02ld%02ld%02ld", 1 + (i / 86400) % 28, (i / 3600) % 24,
                      (i / 60) % 60, i % 60);
        std::ostringstream line;
        switch (i % 8) {
            case 0:
            case 1:
                line << stamp << ";tcpcom;SocketRead;1100;0000;00000;Unterprogramm Start;\n";
                break;
            case 2:
                line << stamp << ";tcpcom;RecvWithTimeout(...) (4), BytesRead = 12;1600;0000;00000;"
                     << "0000000>   20 CE CA 66 D8 64 D8 B5  D8 CE CA 20              | ...f.d.... |;\n";
                break;
            case 3:
                line << stamp << ";xelbde.log;*** NormalizeBdeName ***;1600;0000;00000;"
                     << "0000000>   48 41 4C 4C 45 31 00 00  00 00 00 00 00 00 00 00  |HALLE1..........|;\n";
                break;
            case 7:
                if (i % 64 == 7) {
                    line << stamp << ";xelbde;PortableSetLocalTime;0001;0037;00001;"
                         << "Fehler beim Setzen der Systemuhrzeit (03.02.2007 14:05:09);Operation not permitted\n";
                    break;
                }
                [[fallthrough]];
            default: {
                int f = static_cast<int>(i % 6);
                int rc = (i % 13 == 0) ? 16 : 0;
                line << stamp << ";xelbde;" << functions[f] << ";0100;" << (rc ? "0016" : "0000")
                     << ";00000;Terminal=HALLE" << (i % 5) << " " << params[f] << ";\n";
                ++g_rows;
            }
        }
        std::string text = line.str();
        out << text;
        size += static_cast<long>(text.size());
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

long CountLines(const std::string& path) {
    std::string text = ReadAll(path);
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
}

int RunAwk(const std::string& output) {
    pid_t pid = ::fork();
    if (pid == 0) {
        FILE* out = std::freopen(output.c_str(), "w", stdout);
        if (out == nullptr) ::_exit(127);
        ::execlp("awk", "awk", "-F;", kAwkProgram, g_log.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_XelbdeDisplayLog(benchmark::State& state) {
    std::string output = g_dir + "/listing.txt";
    for (auto _ : state) {
        if (XelbdeDisplayLog("", output.c_str(), "00000000000000", "29991231235959", "", "", "", "*ALL") != 0) {
            state.SkipWithError("listing failed");
        }
    }
    state.counters["rows"] = static_cast<double>(g_rows);
}

void BM_AwkOneLiner(benchmark::State& state) {
    std::string output = g_dir + "/awk.txt";
    for (auto _ : state) {
        if (RunAwk(output) != 0) state.SkipWithError("awk failed");
    }
    state.counters["rows"] = static_cast<double>(g_rows);
}

BENCHMARK(BM_XelbdeDisplayLog)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_AwkOneLiner)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Keeps the mean real time per iteration of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            std::string name = run.benchmark_name();
            times[name.substr(0, name.find('/'))] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/xelbench-XXXXXX";
    g_dir = ::mkdtemp(pattern);
    if (::chdir(g_dir.c_str()) != 0) return 1;
    g_log = g_dir + "/xelbde.log";
    ::setenv("DEBUG_FILE", g_log.c_str(), 1);
    ::setenv("DEBUG_LEVEL", "-1", 1);
    ::setenv("DEBUG_SIZE", "100000", 1);  // the start record must not rotate the generated log away  // errors only: the listing itself adds nothing to the log
    GenerateLog();

    // Both must produce the same rows, or the comparison means nothing.
    std::string listing = g_dir + "/check-listing.txt";
    std::string awk = g_dir + "/check-awk.txt";
    if (XelbdeDisplayLog("", listing.c_str(), "00000000000000", "29991231235959", "", "", "", "*ALL") != 0 ||
        RunAwk(awk) != 0 || ReadAll(listing) != ReadAll(awk) || CountLines(listing) != g_rows + 1) {
        std::fprintf(stderr, "the listing and the awk one-liner disagree (%s, %s)\n", listing.c_str(), awk.c_str());
        return 1;
    }
    std::printf("log: %s, %ld bytes, %ld rows listed\n", g_log.c_str(), static_cast<long>(ReadAll(g_log).size()),
                g_rows);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double ours = reporter.times["BM_XelbdeDisplayLog"];
    double theirs = reporter.times["BM_AwkOneLiner"];
    if (ours > 0) {
        std::printf("listing %.2f ms, awk %.2f ms, awk/listing = %.1f\n", ours, theirs, theirs / ours);
    }
    std::string cleanup = "rm -rf " + g_dir;
    return std::system(cleanup.c_str()) == 0 && ours > 0 && ours < theirs ? 0 : 1;
}
