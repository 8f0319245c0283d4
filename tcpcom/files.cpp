// File and text helpers: the share-mode open that waits for busy files, and
// the small in-place text routines the configuration reader and the command
// table use.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "tcpcom/tcpcom.h"

namespace {

constexpr int kOpenAttempts = 101;
constexpr long kOpenRetryPauseNs = 50L * 1000 * 1000;

void PauseBeforeRetry() {
    timespec pause{0, kOpenRetryPauseNs};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// Takes the share-mode lock on a freshly opened descriptor. The lock belongs
// to the open file description (flock), so it conflicts with every other
// open of the file, in this process or another. Returns false with errno set
// to EACCES when the file is held elsewhere, like a share violation.
bool TakeShareLock(int fd, int share) {
    int operation = 0;
    if (share == kShareDenyReadWrite) {
        operation = LOCK_EX;
    } else if (share == kShareDenyWrite) {
        operation = LOCK_SH;
    } else {
        return true;
    }
    for (;;) {
        if (::flock(fd, operation | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) errno = EACCES;
        return false;
    }
}

// One attempt: open, lock, then truncate when asked. Truncation waits for the
// lock so that a file another process holds is never cut under it.
int OpenOnce(const char* path, int flags, int share, int mode) {
    const bool truncate = (flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY;
    int fd = ::open(path, (flags & ~O_TRUNC) | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (!TakeShareLock(fd, share) || (truncate && ::ftruncate(fd, 0) != 0)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" int OpenWithRetry(const char* path, int flags, int share, int mode) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int fd = -1;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        fd = OpenOnce(path, flags, share, mode);
        if (fd >= 0) return fd;
        int error = errno;
        if (error != EACCES && error != EMFILE) break;
        PauseBeforeRetry();
        errno = error;
    }
    return fd;
}

extern "C" int CloseIfOpen(int fd) {
    if (fd < 0) return 0;
    return ::close(fd);
}

extern "C" char* TrimLeft(char* text) {
    if (text == nullptr) return text;
    size_t skip = std::strspn(text, " \t");
    if (skip > 0) std::memmove(text, text + skip, std::strlen(text + skip) + 1);
    return text;
}

extern "C" char* TrimRight(char* text) {
    if (text == nullptr) return text;
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
    text[length] = '\0';
    return text;
}

// Compares n characters with only a to z folded to upper case. The texts are
// equal as soon as both end at the same place; a text that ends earlier
// differs there, so neither is read past its terminator.
extern "C" int CompareNoCase(const char* a, const char* b, int n) {
    if (n <= 0) return 1;
    if (a == nullptr || b == nullptr) return a == b ? 1 : 0;
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; };
    for (int i = 0; i < n; ++i) {
        if (upper(a[i]) != upper(b[i])) return 0;
        if (a[i] == '\0') return 1;
    }
    return 1;
}
