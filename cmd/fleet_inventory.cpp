// SPDX-License-Identifier: MIT
// The inventory: type, status bytes, version, clock (with its difference to
// the host's) and, when asked, the free memory of every terminal, over one
// connection each, gathered by N threads of this process through the
// library (no process per query).
//
// A stop signal asks the library to interrupt (XelbdeInterrupt): the running
// calls end with 16 and their terminals are reported as interrupted; no
// thread takes a further terminal, and those not taken are skipped.
#include <atomic>
#include <cctype>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "cmd/fleet.h"
#include "tcpcom/internal.h"
#include "xelbde/frames.h"
#include "xelbde/internal.h"
#include "xelbde/xelbde.h"

namespace fleet {
namespace {

// The version text: the reply's data up to the clock that the same reply
// carries after it.
constexpr std::size_t kVersionArea = xelbde::LongFrame::kDateTime - xelbde::LongFrame::kData;

// The columns after the attempt's, in this order.
enum InventoryColumn { kType, kStatus, kVersion, kClock, kDateFormat, kRadio, kDifference, kFreeMemory, kCount };
constexpr Column kColumns[] = {
    kAttemptColumns[0], kAttemptColumns[1], kAttemptColumns[2], kAttemptColumns[3], kAttemptColumns[4],
    kAttemptColumns[5], {"type", false, true}, {"status", false, true}, {"version", false, true},
    {"clock", false, true}, {"date_format", false, false}, {"radio", false, false},
    {"clock_difference", true, true}, {"free_memory", false, true},
};
constexpr std::size_t kFirst = std::size(kAttemptColumns);
static_assert(std::size(kColumns) == kFirst + kCount);

std::atomic<int> g_stopSignal{0};

// Asks every call of the process to end, once, from the signal handler.
void Interrupt(int signal) {
    int none = 0;
    if (g_stopSignal.compare_exchange_strong(none, signal)) XelbdeInterrupt(1);
}

// The two digits the library wrote into a return-code field (with its zero after them).
int CodeOf(const char rc[3]) { return tcpcom::StrtolInt(rc); }

std::string Trimmed(std::string text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The queries of one connected terminal, into its row; stops at the first
// that fails and returns its code.
int Gather(const char* terminal, bool freeMemory, Row* row) {
    char rc[3] = {};
    char type[10] = {};
    APTYP01B(terminal, type, rc);
    if (CodeOf(rc) != 0) return CodeOf(rc);
    (*row)[kType] = std::string(type, ::strnlen(type, sizeof type));

    char status[2] = {};
    APRST00B(terminal, status, rc);
    if (CodeOf(rc) != 0) return CodeOf(rc);
    char hex[5];
    std::snprintf(hex, sizeof hex, "%02X%02X", static_cast<unsigned char>(status[0]),
                  static_cast<unsigned char>(status[1]));
    (*row)[kStatus] = hex;

    char version[kVersionArea] = {};
    APDMTVER(terminal, version, sizeof version, rc);
    if (CodeOf(rc) != 0) return CodeOf(rc);
    std::size_t length = 0;  // up to the first unprintable byte
    while (length < sizeof version && version[length] >= 0x20 && version[length] <= 0x7E) ++length;
    (*row)[kVersion] = Trimmed(std::string(version, length));

    char clock[12] = {};
    char format = ' ', radio = ' ';
    APRTVCLK(terminal, clock, &format, &radio, rc);
    const time_t host = std::time(nullptr);  // when the reply came
    if (CodeOf(rc) != 0) return CodeOf(rc);
    struct tm terminalTime{};
    if (xelbde::ReadTerminalTime(clock, &terminalTime) == xelbde::Code::kOk) {
        const time_t seconds = std::mktime(&terminalTime);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &terminalTime);
        (*row)[kClock] = text;
        (*row)[kDifference] = std::to_string(static_cast<long long>(seconds - host));
    } else {
        (*row)[kClock] = std::string(clock, sizeof clock);  // as it came, escaped by the printer
    }
    (*row)[kDateFormat] = std::string(1, format);
    (*row)[kRadio] = std::string(1, radio);

    if (freeMemory) {
        char memory[4] = {};
        APFMT00B(terminal, memory, rc);
        if (CodeOf(rc) != 0) return CodeOf(rc);
        (*row)[kFreeMemory] = Trimmed(std::string(memory, sizeof memory));
    }
    return 0;
}

// One terminal: connect, gather, disconnect; its attempt and its row.
std::pair<Attempt, Row> Query(const std::string& terminal, bool freeMemory) {
    Attempt attempt;
    attempt.outcome = Outcome::kCode;
    attempt.start = WallClock();
    const double started = Monotonic();
    Row values(kCount);
    char rc[3] = {};
    APALC00B(terminal.c_str(), nullptr, rc);
    attempt.code = CodeOf(rc);
    if (attempt.code == 0) {
        attempt.code = Gather(terminal.c_str(), freeMemory, &values);
        APDLC00B(terminal.c_str(), nullptr, rc);
        if (attempt.code == 0) attempt.code = CodeOf(rc);
    }
    attempt.seconds = Monotonic() - started;
    const int stop = g_stopSignal.load();
    if (stop != 0 && attempt.code != 0) attempt.outcome = Outcome::kInterrupted;
    Row row = AttemptRow(terminal, attempt, stop);
    row.insert(row.end(), values.begin(), values.end());
    return {attempt, std::move(row)};
}

}  // namespace

std::span<const Column> InventoryColumns(bool freeMemory) {
    return std::span<const Column>(kColumns).first(std::size(kColumns) - (freeMemory ? 0 : 1));
}

void RunInventory(const std::vector<std::string>& terminals, int threads, bool freeMemory, Printer* printer,
                  Tally* tally) {
    HandleStopSignals(Interrupt);

    std::atomic<std::size_t> next{0};
    std::mutex output;
    auto work = [&] {
        for (std::size_t index; g_stopSignal.load() == 0 && (index = next++) < terminals.size();) {
            auto [attempt, row] = Query(terminals[index], freeMemory);
            std::lock_guard<std::mutex> lock(output);
            tally->Count(attempt);
            printer->Put(index, std::move(row));
        }
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < threads && static_cast<std::size_t>(i) < terminals.size(); ++i) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();

    tally->stopSignal = g_stopSignal.load();
    for (std::size_t index = next.load(); index < terminals.size(); ++index) {
        const Attempt skipped;
        tally->Count(skipped);
        Row row = AttemptRow(terminals[index], skipped, tally->stopSignal);
        row.resize(row.size() + kCount);
        printer->Put(index, std::move(row));
    }
}

}  // namespace fleet
