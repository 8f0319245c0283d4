// SPDX-License-Identifier: MIT
// The host side of the library: the output files it writes, how it reads a
// file to be sent, how it sets the host clock, and where it reports the
// progress of a transfer. The reader and the clock setter are the only hooks
// tests replace (a reader that fails, a clock setter that records), both
// here and both atomic, so no test ever touches the real clock.
#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

long ReadWithRead(int fd, void* buffer, std::size_t length) { return static_cast<long>(::read(fd, buffer, length)); }

// Sets CLOCK_REALTIME to the local time given. A time that does not exist
// on the host's calendar gives EINVAL.
int SetSystemClock(const struct tm* localTime) {
    struct tm copy = *localTime;
    time_t seconds = std::mktime(&copy);
    if (seconds == static_cast<time_t>(-1)) return EINVAL;
    struct timespec value{};
    value.tv_sec = seconds;
    if (::clock_settime(CLOCK_REALTIME, &value) != 0) return errno != 0 ? errno : EPERM;
    return 0;
}

std::atomic<HostFileReader> g_hostFileReader{&ReadWithRead};
std::atomic<HostClockSetter> g_hostClockSetter{&SetSystemClock};

// Each thread's own progress callback: a thread's transfers report to it.
thread_local XelbdeProgressCallback t_progress = nullptr;
thread_local void* t_progressContext = nullptr;

}  // namespace

Code WriteOutputFile(const char* path, std::span<const unsigned char> data) {
    if (path == nullptr) return Code::kOutputOpen;
    // A regular file, a character device (/dev/null) or a FIFO with a reader.
    int fd = tcpcom::OpenWithRetry(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kShareDenyReadWrite, 0666, nullptr,
                                   kKindOutput);
    if (fd < 0) return Code::kOutputOpen;
    bool written = tcpcom::WriteAll(fd, data.data(), data.size()) == data.size();
    if (CloseIfOpen(fd) != 0) written = false;
    return written ? Code::kOk : Code::kOutputWrite;
}

HostFileReader SetHostFileReader(HostFileReader reader) {
    return g_hostFileReader.exchange(reader != nullptr ? reader : &ReadWithRead);
}

long ReadHostFile(int fd, void* buffer, std::size_t length) { return g_hostFileReader.load()(fd, buffer, length); }

HostClockSetter SetHostClockSetter(HostClockSetter setter) {
    return g_hostClockSetter.exchange(setter != nullptr ? setter : &SetSystemClock);
}

int SetHostClock(const struct tm* localTime) { return g_hostClockSetter.load()(localTime); }

void ReportProgress(ApiFunctionId function, long long bytesDone, long long bytesTotal, long blocks, bool done) {
    if (t_progress == nullptr) return;
    const XelbdeProgress progress{kApiNames[static_cast<std::size_t>(function)], bytesDone, bytesTotal, blocks,
                                  done ? 1 : 0};
    t_progress(t_progressContext, &progress);
}

}  // namespace xelbde

extern "C" void XelbdeSetProgressCallback(XelbdeProgressCallback callback, void* context) {
    xelbde::t_progress = callback;
    xelbde::t_progressContext = callback != nullptr ? context : nullptr;
}
