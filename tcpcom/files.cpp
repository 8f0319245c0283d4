// SPDX-License-Identifier: MIT
// File helpers: the one open of a file by its name (symbolic links in
// directories other users may write followed only when trusted, never a
// wait for a FIFO, the kinds of file a caller takes), the share-mode open
// that waits for busy files, the opens and removals for shared directories,
// and the write-all loop.
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
#include <utility>

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
// is given up as missing: nothing is ever created through a link.
constexpr int kCreateRounds = 8;
// Symbolic links followed for one name at most, as the kernel allows.
constexpr int kMaxLinks = 40;

// Pauses, but no longer once an interrupt is requested (a signal that
// requests one cuts the pause short).
void PauseNs(long ns) {
    timespec pause{ns / 1000000000L, ns % 1000000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR && TcpcomInterrupted() == 0) {
    }
}

// A descriptor closed when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// The file type bits of what fd refers to (0 when unknown). Only the type
// is asked for: a status that includes the change time marks the file as
// seen, which costs its next write an inode update (see NamesHeldFile).
unsigned FileType(int fd) {
    struct statx status {};
    return ::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &status) == 0 ? status.stx_mode & S_IFMT : 0u;
}

// open(2) of path with the rule for symbolic links in its last component.
// A name that is no link is opened at once (O_NOFOLLOW). A link in a
// directory only its owner may write is followed by the kernel as ever. In
// a directory others may write too (group or world, sticky or not), only a
// link of the caller or of the directory's owner is followed: anyone
// else's may have been planted to make the caller write through it. There
// the link itself is opened (O_PATH), its owner checked and its text read
// from that very inode, so that an entry replaced in between is never
// followed; the text is then opened the same way from that directory.
// Nothing is created through a link.
int OpenFollowingTrustedLinks(const char* path, int flags, int mode) {
    char name[PATH_MAX];
    if (std::snprintf(name, sizeof name, "%s", path) >= static_cast<int>(sizeof name)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    Descriptor base;  // the directory a followed link's text is read from
    int from = AT_FDCWD;
    for (int links = 0;; ++links) {
        int fd = ::openat(from, name, flags | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != ELOOP || (flags & O_NOFOLLOW) != 0) return fd;
        if (links >= kMaxLinks) return -1;  // ELOOP
        // The last component is a link: open its directory and the link itself.
        char* slash = std::strrchr(name, '/');
        const char* last = slash != nullptr ? slash + 1 : name;
        if (slash != nullptr) *slash = '\0';
        Descriptor directory(::openat(from, slash == nullptr ? "." : (slash == name ? "/" : name),
                                      O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct statx where {};
        if (directory.get() < 0 || ::statx(directory.get(), "", AT_EMPTY_PATH, STATX_MODE | STATX_UID, &where) != 0) {
            return -1;
        }
        flags &= ~(O_CREAT | O_EXCL);
        if ((where.stx_mode & (S_IWGRP | S_IWOTH)) == 0) return ::openat(directory.get(), last, flags, mode);
        Descriptor link(::openat(directory.get(), last, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct statx what {};
        if (link.get() < 0 || ::statx(link.get(), "", AT_EMPTY_PATH, STATX_TYPE | STATX_UID, &what) != 0) return -1;
        if (!S_ISLNK(what.stx_mode)) {
            // Replaced by something else meanwhile: open that by its name.
            std::memmove(name, last, std::strlen(last) + 1);
        } else if (what.stx_uid != ::geteuid() && what.stx_uid != where.stx_uid) {
            errno = EACCES;  // as the kernel refuses such a link in a sticky directory
            return -1;
        } else {
            const ssize_t n = ::readlinkat(link.get(), "", name, sizeof name);
            if (n < 0) return -1;
            if (n == 0 || n == static_cast<ssize_t>(sizeof name)) {
                errno = n == 0 ? ENOENT : ENAMETOOLONG;
                return -1;
            }
            name[n] = '\0';
        }
        base = std::move(directory);
        from = base.get();
    }
}

// Whether a file of the type given (S_IFREG, ...), opened with flags, is of
// one of the kinds asked for. A FIFO only when opened write-only: the
// non-blocking open succeeded, so it has a reader.
bool OfKind(unsigned type, int flags, int kinds) {
    switch (type) {
        case S_IFREG:
            return (kinds & kKindRegular) != 0;
        case S_IFCHR:
            return (kinds & kKindCharDevice) != 0;
        case S_IFIFO:
            return (kinds & kKindFifo) != 0 && (flags & O_ACCMODE) == O_WRONLY;
        default:
            return false;
    }
}

// The end of OpenByName for the file open on fd without blocking, of the
// type given (0: not looked at, for kKindAny): closed and refused with
// EPERM when of none of the kinds, else given back the blocking mode flags
// ask for. A regular file ignores that mode (open(2)) and keeps it as it
// is, which spares the log's writers a call at every record. fd or -1.
int TakeKind(int fd, unsigned type, int flags, int kinds) {
    if (kinds != kKindAny && !OfKind(type, flags, kinds)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    if ((flags & O_NONBLOCK) == 0 && type != S_IFREG && ::fcntl(fd, F_SETFL, flags) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The open with O_CREAT of OpenByName: in a sticky shared directory the
// kernel may refuse an O_CREAT open of an existing file owned by another
// user (fs.protected_regular), root included: open what exists without
// O_CREAT, create only what is missing, and exclusively, so that of two
// processes creating the same file one creates it and the other opens it.
int OpenOrCreate(const char* path, int flags, int mode, int* created) {
    if ((flags & O_CREAT) == 0 || (flags & O_EXCL) != 0) {
        int fd = OpenFollowingTrustedLinks(path, flags, mode);
        if (fd >= 0 && created != nullptr && (flags & O_EXCL) != 0) *created = 1;
        return fd;
    }
    for (int round = 0; round < kCreateRounds; ++round) {
        int fd = OpenFollowingTrustedLinks(path, flags & ~O_CREAT, mode);
        if (fd >= 0 || errno != ENOENT) return fd;
        fd = OpenFollowingTrustedLinks(path, flags | O_EXCL, mode);
        if (fd >= 0) {
            if (created != nullptr) *created = 1;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = ENOENT;  // a dangling link: what it names is missing
    return -1;
}

void PauseBeforeRetry() { PauseNs(kOpenRetryPauseNs); }

// Takes the share-mode lock on a freshly opened descriptor. The lock belongs
// to the open file description (flock), so it conflicts with every other
// open of the file, in this process or another. Returns false with errno set
// to EWOULDBLOCK when the file is held elsewhere (busy).
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

// One attempt: open (as OpenByName does), lock, make sure the path still
// names the locked file, check its kind, then truncate when asked. The
// kind is read with the name's check, which reads the file's type anyway.
// Truncation waits for the lock so that a file another process holds is
// never cut under it; only a regular file is cut (a device or FIFO has
// nothing to cut). A file that lost its name while this call waited for it
// (another writer replaced or removed it) is no use: the attempt fails
// with ESTALE and the caller opens the name again.
int OpenOnce(const char* path, int flags, int share, int mode, tcpcom::FileStatus* status, int kinds) {
    const bool truncate = (flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY;
    flags = (flags & ~O_TRUNC) | O_CLOEXEC;
    int fd = OpenOrCreate(path, flags | O_NONBLOCK, mode, nullptr);
    if (fd < 0) return -1;
    const bool looked = share != kShareDenyNone;  // the name is checked, with the file's type
    tcpcom::FileStatus held;
    bool ok = TakeShareLock(fd, share);
    if (ok && looked && !NamesHeldFile(path, fd, &held)) {
        ok = false;
        errno = ESTALE;
    }
    if (!ok) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    if (looked && status != nullptr) *status = held;
    const unsigned type = looked ? held.mode & S_IFMT : (kinds != kKindAny || truncate ? FileType(fd) : 0u);
    fd = TakeKind(fd, type, flags, kinds);
    if (fd >= 0 && truncate && type == S_IFREG && ::ftruncate(fd, 0) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" int OpenByName(const char* path, int flags, int mode, int kinds, int* created) {
    if (created != nullptr) *created = 0;
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    // Opened without blocking, so that a FIFO never waits for its other
    // end; the caller's blocking mode is restored once the kind is known.
    flags |= O_CLOEXEC;
    const int fd = OpenOrCreate(path, flags | O_NONBLOCK, mode, created);
    if (fd < 0) return -1;
    return TakeKind(fd, kinds != kKindAny ? FileType(fd) : 0u, flags, kinds);
}

extern "C" int OpenSharedFile(const char* path, int flags, int mode, int* created) {
    return OpenByName(path, flags, mode, kKindAny, created);
}

extern "C" int PathNamesFile(const char* path, int fd) {
    return path != nullptr && NamesHeldFile(path, fd, nullptr) ? 1 : 0;
}

extern "C" int OpenWithRetry(const char* path, int flags, int share, int mode) {
    return tcpcom::OpenWithRetry(path, flags, share, mode, nullptr, kKindAny);
}

namespace tcpcom {

int OpenWithRetry(const char* path, int flags, int share, int mode, FileStatus* status, int kinds) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int fd = -1;
    const long long deadline = tcpcom::MonotonicNs() + kBusyWaitNs;
    long pause = kFirstBusyPauseNs;
    int yields = 0;
    for (int stale = 0; stale < kOpenAttempts;) {
        fd = OpenOnce(path, flags, share, mode, status, kinds);
        if (fd >= 0) return fd;
        int error = errno;
        if (error == ESTALE) {  // the name moved on: open it again at once
            ++stale;
            continue;
        }
        // Only a busy file (held elsewhere) and exhausted descriptors are
        // waited for; a refusal (EACCES from the open and the like) is final.
        if (error != EWOULDBLOCK && error != EMFILE) break;
        const long long left = deadline - tcpcom::MonotonicNs();
        if (left <= 0) break;
        if (yields < kBusyYields) {
            // The holder may be waiting for this processor: let it finish first.
            ++yields;
            ::sched_yield();
        } else {
            if (TcpcomInterrupted() != 0) {
                errno = EINTR;
                return -1;
            }
            PauseNs(left < pause ? static_cast<long>(left) : pause);
            if (pause < kOpenRetryPauseNs) pause = pause * 2 < kOpenRetryPauseNs ? pause * 2 : kOpenRetryPauseNs;
        }
        errno = error;
    }
    if (fd < 0 && (errno == ESTALE || errno == EWOULDBLOCK)) errno = EACCES;  // held elsewhere all along
    return fd;
}

}  // namespace tcpcom

namespace {

// The wait for a file another open holds: as long as OpenWithRetry waits
// for a busy file, 50 ms between looks, ended by an interrupt request.
class BusyWait {
  public:
    // False once the time is up or an interrupt is requested; otherwise
    // pauses before the next look.
    bool Again() {
        if (TcpcomInterrupted() != 0 || tcpcom::MonotonicNs() >= deadline_) return false;
        PauseBeforeRetry();
        return true;
    }
    // The errno of a wait that ended without the file: EINTR when
    // interrupted, else EWOULDBLOCK (still held).
    static int Failure() { return TcpcomInterrupted() != 0 ? EINTR : EWOULDBLOCK; }

  private:
    long long deadline_ = tcpcom::MonotonicNs() + kBusyWaitNs;
};

// Opens an existing file at path for a share lock, never through a link in
// its last component and never waiting for a FIFO or device.
int OpenExisting(const char* path) { return ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); }

bool IsRegular(int fd) { return FileType(fd) == S_IFREG; }

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
    errno = BusyWait::Failure();
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
    errno = BusyWait::Failure();
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
