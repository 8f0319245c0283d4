// SPDX-License-Identifier: MIT
// Start-up of the XELBDE log from the environment and the library's dumps.
//   DEBUG_LEVEL  0 -> 100 (operations log), 1 -> 1000, 2 -> 9999 (everything),
//                anything else or unset -> 1 (errors only)
//   DEBUG_FILE   log file name, default "xelbde.log" in the working directory
//   DEBUG_SIZE   size limit in KB, unset or 0 -> 2000
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr const char* kDefaultLogFile = "xelbde.log";
constexpr int kDefaultSizeKb = 2000;

// The log is started once per process, by whichever thread comes first;
// the others wait for it. The file name is chosen at the first attempt and
// never written again, so it can be read without the lock afterwards.
std::mutex g_startMutex;
std::atomic<bool> g_logInitialised{false};
bool g_fileNameChosen = false;
char g_logFileName[kLogNameMax + 1];

int ConfiguredLevel() {
    const char* text = std::getenv("DEBUG_LEVEL");
    const int value = text != nullptr ? tcpcom::StrtolInt(text) : -1;
    switch (value) {
        case 0: return 100;
        case 1: return 1000;
        case 2: return 9999;
        default: return 1;
    }
}

}  // namespace

namespace {

// DEBUG_FILE, or the default name. Called with g_startMutex held.
void ChooseFileName() {
    if (g_fileNameChosen) return;
    const char* file = std::getenv("DEBUG_FILE");
    std::snprintf(g_logFileName, sizeof g_logFileName, "%.*s", kLogNameMax, file != nullptr ? file : kDefaultLogFile);
    g_fileNameChosen = true;
}

}  // namespace

int XelbdeInitLog() {
    if (g_logInitialised.load(std::memory_order_acquire)) return 1;
    std::lock_guard<std::mutex> guard(g_startMutex);
    if (g_logInitialised.load(std::memory_order_relaxed)) return 1;
    ChooseFileName();
    const int level = ConfiguredLevel();
    const char* sizeText = std::getenv("DEBUG_SIZE");
    int sizeKb = sizeText != nullptr ? tcpcom::StrtolInt(sizeText) : 0;
    if (sizeKb == 0) sizeKb = kDefaultSizeKb;
    if (TcpcomInitLog(g_logFileName, level, sizeKb) != 1) return 0;
    g_logInitialised.store(true, std::memory_order_release);
    return 1;
}

void XelbdeTrace(const void* data, int length, const char* title) {
    XelbdeInitLog();
    LogHexDump(g_logFileName, data, length, title);
}

const char* XelbdeLogFileName() {
    if (!g_logInitialised.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(g_startMutex);
        ChooseFileName();
    }
    return g_logFileName;
}

}  // namespace xelbde
