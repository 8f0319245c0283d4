// SPDX-License-Identifier: MIT
#include "cmd/progress.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "tcpcom/internal.h"

namespace {

constexpr long long kRefreshNs = 200LL * 1000 * 1000;  // five times a second
constexpr char kClearLine[] = "\r\033[K";

void WriteToTerminal(const char* text, int length) {
    for (int done = 0; done < length;) {
        ssize_t n = ::write(STDERR_FILENO, text + done, static_cast<std::size_t>(length - done));
        if (n <= 0) return;  // a line that does not get out is no loss
        done += static_cast<int>(n);
    }
}

}  // namespace

int FormatProgressLine(char* out, int size, const XelbdeProgress& progress, long long elapsedNs) {
    const double seconds = elapsedNs > 0 ? static_cast<double>(elapsedNs) / 1e9 : 0.0;
    const double rate = seconds > 0 ? static_cast<double>(progress.bytesDone) / seconds : 0.0;
    int used = std::snprintf(out, static_cast<std::size_t>(size), "%s %lld Bytes, %ld Bloecke, %.0f KB/s",
                             progress.function, progress.bytesDone, progress.blocks, rate / 1024.0);
    if (progress.bytesTotal > 0 && used > 0 && used < size) {
        const long long left = progress.bytesTotal > progress.bytesDone ? progress.bytesTotal - progress.bytesDone : 0;
        const long long percent = progress.bytesDone * 100 / progress.bytesTotal;
        used += std::snprintf(out + used, static_cast<std::size_t>(size - used), ", %lld%% von %lld Bytes",
                              percent > 100 ? 100 : percent, progress.bytesTotal);
        if (rate > 0 && used < size) {
            const long long eta = static_cast<long long>(static_cast<double>(left) / rate + 0.5);
            used += std::snprintf(out + used, static_cast<std::size_t>(size - used), ", noch %lld:%02lld", eta / 60,
                                  eta % 60);
        }
    }
    return used < size ? used : size - 1;
}

ProgressLine::ProgressLine() {
    if (!::isatty(STDERR_FILENO)) return;
    active_ = true;
    startNs_ = tcpcom::MonotonicNs();
    XelbdeSetProgressCallback(&ProgressLine::Report, this);
}

ProgressLine::~ProgressLine() {
    if (!active_) return;
    XelbdeSetProgressCallback(nullptr, nullptr);
    if (shown_) WriteToTerminal(kClearLine, sizeof kClearLine - 1);
}

void ProgressLine::Report(void* context, const XelbdeProgress* progress) {
    if (context != nullptr && progress != nullptr) static_cast<ProgressLine*>(context)->Show(*progress);
}

void ProgressLine::Show(const XelbdeProgress& progress) {
    if (progress.done) {
        if (shown_) WriteToTerminal(kClearLine, sizeof kClearLine - 1);
        shown_ = false;
        return;
    }
    const long long now = tcpcom::MonotonicNs();
    if (shown_ && now - lastNs_ < kRefreshNs) return;
    lastNs_ = now;
    char line[160] = "\r";
    int length = 1 + FormatProgressLine(line + 1, static_cast<int>(sizeof line) - 1, progress, now - startNs_);
    length += std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length), "\033[K");
    WriteToTerminal(line, length < static_cast<int>(sizeof line) ? length : static_cast<int>(sizeof line) - 1);
    shown_ = true;
}
