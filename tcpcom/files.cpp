// File helpers: the share-mode open that waits for busy files, the opens
// and removals for shared directories, and the write-all loop.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"

namespace {

constexpr int kOpenAttempts = 101;
constexpr long kOpenRetryPauseNs = 50L * 1000 * 1000;
// A busy file is tried again for as long as 101 attempts 50 ms apart take,
// but at first much sooner: the log's writers hold it for microseconds,
// and a writer that slept 50 ms after each collision would spend most of
// its time asleep. The pauses double from this up to 50 ms.
constexpr long kFirstBusyPauseNs = 100L * 1000;
constexpr long kBusyWaitNs = kOpenAttempts * kOpenRetryPauseNs;
constexpr int kBusyYields = 4;  // before the first pause, the processor is handed on this often
// Rounds of "open the existing file, else create it exclusively" before a
// name that keeps appearing and vanishing (a dangling symbolic link does)
// is opened the plain way.
constexpr int kCreateRounds = 8;

void PauseNs(long ns) {
    timespec pause{ns / 1000000000L, ns % 1000000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

void PauseBeforeRetry() { PauseNs(kOpenRetryPauseNs); }

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

// The file held is the one the path names; its size and mode in *held.
// Only what is compared or reported is asked for: a status that includes
// the change time marks it as seen, and the kernel then stamps the next
// write to the file with a fine-grained time, which costs that write an
// inode update (the log would pay that at every record).
bool NamesHeldFile(const char* path, int fd, tcpcom::FileStatus* held) {
    constexpr unsigned kHeldMask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE;
    struct statx a {};
    struct statx b {};
    if (::statx(fd, "", AT_EMPTY_PATH, kHeldMask, &a) != 0 || ::statx(AT_FDCWD, path, 0, STATX_INO, &b) != 0) {
        return false;
    }
    if (held != nullptr) {
        held->size = static_cast<long long>(a.stx_size);
        held->mode = a.stx_mode;
    }
    return a.stx_ino == b.stx_ino && a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor;
}

// One attempt: open, lock, make sure the path still names the locked file,
// then truncate when asked. Truncation waits for the lock so that a file
// another process holds is never cut under it. A file that lost its name
// while this call waited for it (another writer replaced or removed it) is
// no use: the attempt fails with ESTALE and the caller opens the name again.
int OpenOnce(const char* path, int flags, int share, int mode, tcpcom::FileStatus* status) {
    const bool truncate = (flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY;
    int fd = OpenSharedFile(path, flags & ~O_TRUNC, mode, nullptr);
    if (fd < 0) return -1;
    bool ok = TakeShareLock(fd, share);
    if (ok && share != kShareDenyNone && !NamesHeldFile(path, fd, status)) {
        ok = false;
        errno = ESTALE;
    }
    if (!ok || (truncate && ::ftruncate(fd, 0) != 0)) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" int OpenSharedFile(const char* path, int flags, int mode, int* created) {
    if (created != nullptr) *created = 0;
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    flags |= O_CLOEXEC;
    if ((flags & O_CREAT) == 0 || (flags & O_EXCL) != 0) {
        int fd = ::open(path, flags, mode);
        if (fd >= 0 && created != nullptr && (flags & O_EXCL) != 0) *created = 1;
        return fd;
    }
    // In a sticky shared directory the kernel may refuse an O_CREAT open of
    // an existing file owned by another user (fs.protected_regular), root
    // included: open what exists without O_CREAT, create only what is
    // missing, and exclusively, so that of two processes creating the same
    // file one creates it and the other opens it.
    for (int round = 0; round < kCreateRounds; ++round) {
        int fd = ::open(path, flags & ~O_CREAT, mode);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = ::open(path, flags | O_EXCL, mode);
        if (fd >= 0) {
            if (created != nullptr) *created = 1;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return ::open(path, flags, mode);
}

extern "C" int PathNamesFile(const char* path, int fd) {
    return path != nullptr && NamesHeldFile(path, fd, nullptr) ? 1 : 0;
}

extern "C" int OpenWithRetry(const char* path, int flags, int share, int mode) {
    return tcpcom::OpenWithRetry(path, flags, share, mode, nullptr);
}

namespace tcpcom {

int OpenWithRetry(const char* path, int flags, int share, int mode, FileStatus* status) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int fd = -1;
    const long long deadline = tcpcom::MonotonicNs() + kBusyWaitNs;
    long pause = kFirstBusyPauseNs;
    int yields = 0;
    for (int stale = 0; stale < kOpenAttempts;) {
        fd = OpenOnce(path, flags, share, mode, status);
        if (fd >= 0) return fd;
        int error = errno;
        if (error == ESTALE) {  // the name moved on: open it again at once
            ++stale;
            continue;
        }
        if (error != EACCES && error != EMFILE) break;
        const long long left = deadline - tcpcom::MonotonicNs();
        if (left <= 0) break;
        if (yields < kBusyYields) {
            // The holder may be waiting for this processor: let it finish first.
            ++yields;
            ::sched_yield();
        } else {
            PauseNs(left < pause ? static_cast<long>(left) : pause);
            if (pause < kOpenRetryPauseNs) pause = pause * 2 < kOpenRetryPauseNs ? pause * 2 : kOpenRetryPauseNs;
        }
        errno = error;
    }
    if (fd < 0 && errno == ESTALE) errno = EACCES;
    return fd;
}

}  // namespace tcpcom

namespace {

// The wait for a file another open holds: as long as OpenWithRetry waits
// for a busy file, 50 ms between looks.
class BusyWait {
  public:
    // False once the time is up; otherwise pauses before the next look.
    bool Again() {
        if (tcpcom::MonotonicNs() >= deadline_) return false;
        PauseBeforeRetry();
        return true;
    }

  private:
    long long deadline_ = tcpcom::MonotonicNs() + kBusyWaitNs;
};

// Opens an existing file at path for a share lock, never through a link in
// its last component and never waiting for a FIFO or device.
int OpenExisting(const char* path) { return ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }

bool IsRegular(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

extern "C" int HoldFileWhenFree(const char* path) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    // A device node, FIFO or directory of that name is refused unopened.
    if (struct stat named {}; ::lstat(path, &named) == 0 && !S_ISREG(named.st_mode) && !S_ISLNK(named.st_mode)) {
        errno = EPERM;
        return -1;
    }
    BusyWait wait;
    do {
        const int fd = OpenExisting(path);
        if (fd < 0) {
            if (errno == EMFILE) continue;
            return -1;  // none there (ENOENT), a link (ELOOP), or not ours to open
        }
        if (!IsRegular(fd)) {
            ::close(fd);
            errno = EPERM;
            return -1;
        }
        if (TakeShareLock(fd, kShareDenyReadWrite)) {
            if (PathNamesFile(path, fd) == 1) return fd;
            ::close(fd);  // the name moved on while we waited: look at what it names now
            continue;
        }
        ::close(fd);
    } while (wait.Again());
    errno = EWOULDBLOCK;
    return -1;
}

extern "C" int CreateHeldFile(const char* path, int mode) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    BusyWait wait;
    do {
        // O_EXCL creates nothing through a link, dangling or not.
        const int fd = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (TakeShareLock(fd, kShareDenyReadWrite) && PathNamesFile(path, fd) == 1) return fd;
            ::close(fd);  // another caller took it for a leftover and removed it: start again
            continue;
        }
        if (errno == EMFILE) continue;
        if (errno != EEXIST) return -1;
        const int old = OpenExisting(path);
        if (old < 0) {
            if (errno == ENOENT) continue;  // gone meanwhile: create it now
            if (errno == ELOOP) errno = EEXIST;
            return -1;
        }
        if (!IsRegular(old)) {
            ::close(old);
            errno = EEXIST;
            return -1;
        }
        // Held by nobody: left behind by a process that ended. Removed, then made anew.
        const bool leftover = TakeShareLock(old, kShareDenyReadWrite);
        if (leftover) RemoveHeldFile(path, old);
        ::close(old);
        if (leftover) continue;
    } while (wait.Again());
    errno = EWOULDBLOCK;
    return -1;
}

namespace {

// The last component of path, and the directory that holds it named as
// the directory itself ("logs/." for "logs/x", "." for "x"); false when that
// name does not fit.
const char* LastComponent(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool DirectoryOf(const char* path, char (&directory)[PATH_MAX]) {
    const int n = std::snprintf(directory, sizeof directory, "%.*s.", static_cast<int>(LastComponent(path) - path), path);
    return n > 0 && n < static_cast<int>(sizeof directory);
}

}  // namespace

extern "C" int SyncDirectoryOf(const char* path) {
    char directory[PATH_MAX];
    if (path == nullptr || !DirectoryOf(path, directory)) return 0;
    const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced ? 1 : 0;
}

extern "C" int SameFileOrName(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return 0;
    struct stat sa {};
    struct stat sb {};
    bool hasA = ::stat(a, &sa) == 0;
    bool hasB = ::stat(b, &sb) == 0;
    if (!hasA && !hasB) {
        // Neither exists yet: the same name in the same directory.
        char dirA[PATH_MAX];
        char dirB[PATH_MAX];
        if (std::strcmp(LastComponent(a), LastComponent(b)) != 0 || !DirectoryOf(a, dirA) || !DirectoryOf(b, dirB)) {
            return 0;
        }
        hasA = ::stat(dirA, &sa) == 0;
        hasB = ::stat(dirB, &sb) == 0;
    }
    return hasA && hasB && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino ? 1 : 0;
}

extern "C" int RemoveHeldFile(const char* path, int fd) {
    if (PathNamesFile(path, fd) != 1) {
        errno = ESTALE;
        return 0;
    }
    // Only regular files are removed: never a device node or a FIFO.
    if (struct stat held {}; ::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
        errno = EPERM;
        return 0;
    }
    return ::unlink(path) == 0 || errno == ENOENT ? 1 : 0;
}

extern "C" int CloseIfOpen(int fd) {
    if (fd < 0) return 0;
    return ::close(fd);
}

namespace tcpcom {

std::size_t WriteAll(int fd, const void* data, std::size_t length, off_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = offset < 0 ? ::write(fd, bytes + done, length - done)
                               : ::pwrite(fd, bytes + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace tcpcom
