/* SPDX-License-Identifier: MIT */
// What bdesim simulates: terminals, ISDN adapters and their faults, read
// from the configuration file and the command line.
#ifndef SIM_CONFIG_H
#define SIM_CONFIG_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace bdesim {

// Every kind of exchange bdesim tells apart, in the order of its table
// (kKinds in terminal.cpp): what the trace and the counters show and what a
// fault selects. any and connect only select; malformed is only shown.
enum class Kind : std::uint8_t {
    kStatus, kSysInit, kVersion, kFreeMemory, kReaders, kCancel, kStart, kSetClock, kDirectory, kIsdnId,
    kPage, kUpload, kAck, kUploadReset, kDelete, kDownload, kUnknown, kLineStatus, kIdentify, kDial, kHangUp,
    kAny, kConnect, kMalformed
};
inline constexpr std::size_t kKindCount = static_cast<std::size_t>(Kind::kMalformed) + 1;

// One fault line: which exchanges it picks and what it does to them.
struct Fault {
    std::string text;            // the line as written (for the trace)
    Kind selector = Kind::kAny;  // the kind of exchange it picks, or connect: connections
    long first = 1;              // the first matching exchange it applies to (from 1)
    long count = -1;             // how many consecutive matches, -1 = all from `first` on
    int chance = 100;            // percent

    // Actions on a frame exchange.
    bool silence = false;
    bool close = false;
    bool reset = false;
    bool busy = false;
    bool markerStart = false;
    bool markerEnd = false;
    long cut = -1;    // bytes, then close
    long stall = -1;  // bytes, then nothing
    long trickleMs = 0;
    long delayMs = 0;
    bool hasStatus = false;
    std::string status;  // 2 characters, or for status frames also 2 bytes from 4 hex digits

    // Actions on connections.
    bool refuse = false;
    bool noaccept = false;
    long windowMs = -1;  // -1 = for good

    long seen = 0;  // matching exchanges so far (run time)

    bool InWindow(long n) const { return n >= first && (count < 0 || n < first + count); }
};

struct Listen {
    std::string address;  // dotted IPv4
    int port = 23;
};

struct TerminalConfig {
    std::string name;
    std::optional<Listen> listen;
    std::string number;  // dialled through an adapter
    std::array<std::uint8_t, 2> status = {0xB5, 0xD8};
    std::string version = "KORVO 5214-031 BDESIM 1.0";
    bool clockFixed = false;
    long long clockOffset = 0;  // seconds added to the host clock
    std::time_t fixedTime = 0;
    char dateFormat = '1';
    char radio = 'N';
    int memory = 2048;  // units of 256 bytes
    std::optional<std::string> freeMemory;  // 4 characters at 93-96 of QRDFORMAT
    std::string readersFile;
    bool hexLower = false;
    bool programRunning = true;
    bool programsCounted = true;  // programs count against memory and show in the directory
    std::string store;  // empty: a temporary store
    std::vector<Fault> faults;
};

struct AdapterConfig {
    std::string name;
    std::optional<Listen> listen;
    bool busy = false;
    std::string id = "0";
    std::vector<Fault> faults;
};

struct Config {
    std::vector<TerminalConfig> terminals;
    std::vector<AdapterConfig> adapters;
    std::optional<unsigned long> seed;
};

// Parsers; each returns false with a message in error.
bool ParseFault(const std::string& text, Fault& fault, std::string& error);
bool SetTerminalKey(TerminalConfig& terminal, const std::string& key, const std::string& value,
                    const std::string& baseDir, std::string& error);
bool IsTerminalKey(const std::string& key);
bool LoadConfigFile(const std::string& path, Config& config, std::string& error);
// Checks the whole configuration (names, listeners, numbers, chance/seed).
bool CheckConfig(const Config& config, std::string& error);

}  // namespace bdesim

#endif
