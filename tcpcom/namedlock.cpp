// SPDX-License-Identifier: MIT
// The named locks XELBDE1..XELBDE4, shared by the threads and processes of
// one user.
//
// Each name is a lock file "xelbde-NAME.lock" in the lock directory: by
// default one of the calling user's own (see LockPlace below), else
// XELBDE_LOCKDIR, which a site may point at a directory several users
// share. The file is created mode 0666 whatever the umask, so that in such a
// shared directory every user may use it. The file is never reached through
// a symbolic link, must be a regular file, and only a file this process
// created has its mode changed; an existing file is opened without O_CREAT
// (see OpenSharedFile). A wait takes an open-file-description write lock
// (F_OFD_SETLK) on the whole file, polling until the limit. Such a lock
// conflicts between descriptors even inside one process, and the kernel
// drops it when the last descriptor of its holder goes away, in particular
// when the holding process dies: a lock is never left abandoned, the next
// waiter simply gets it.
//
// One handle may be shared by the threads of a process (the registry lock is
// created once per process). A file lock cannot tell those threads apart, so
// an in-process gate records which thread holds a handle: other threads wait
// for the gate first, the owning thread may wait again (counted, released by
// as many releases), and only the owning thread may release. The gate has
// room for any number of handles and waiters; every wait is bounded by its
// time limit, and ends when an interruption is asked for (TcpcomInterrupt).
// A lock that is free is taken even then: the clean-up of a call still runs.
//
// The library itself takes its locks through ProcessLock: one handle per
// name and process, its lock file opened at the first use and kept open, so
// that a command does not open and close a lock file at every use.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

#include "tcpcom/internal.h"
#include "tcpcom/tcpcom.h"

namespace {

constexpr auto kPollPause = std::chrono::milliseconds(2);
constexpr auto kInterruptLook = std::chrono::milliseconds(10);

// Set when the default lock directory was not safe to use, until the
// library has written its record about it (TakeLockPlaceNotice); the
// directory's name is written before.
std::atomic<bool> g_placeNotice{false};
char g_unsafeDirectory[4096];

// One handle of this process that a thread holds or is taking.
struct GateSlot {
    std::thread::id owner;
    int depth = 0;
};

// The threads waiting for one handle. Each handle has its own, and a
// release wakes one of them: with many threads on many locks, waking every
// waiter of every lock at each release cost more than the calls themselves.
struct Waiters {
    std::condition_variable released;
    int count = 0;
};

struct Gate {
    std::mutex mutex;
    std::unordered_map<int, GateSlot> slots;  // by descriptor
    std::unordered_map<int, Waiters> waiting;  // by descriptor; an entry stays where it is while it has waiters

    GateSlot* Find(int fd) {
        auto it = slots.find(fd);
        return it != slots.end() ? &it->second : nullptr;
    }
    // The handle is free again: one of its waiters (if any) takes it.
    void Free(int fd) {
        slots.erase(fd);
        auto it = waiting.find(fd);
        if (it != waiting.end()) it->second.released.notify_one();
    }
};

Gate& TheGate() {
    static Gate gate;
    return gate;
}

bool FileLock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file
    lock.l_pid = 0;  // required for OFD locks
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

constexpr std::size_t kLockPathMax = 4096;

// Where the lock files live. XELBDE_LOCKDIR when set, as it is (a site may
// share one directory between users on purpose). Otherwise a directory of
// the calling user's own: $XDG_RUNTIME_DIR when it is one, else
// ${TMPDIR:-/tmp}/xelbde-UID, made 0700. A default that another user owns
// or others may write is not used: anyone who could hold or spoil a lock
// file there could stop this user's calls. The tables these locks guard
// belong to one process, so the process then takes locks of its own.
struct LockPlace {
    bool processOnly = false;  // locks of this process alone
    char directory[kLockPathMax] = "";
};

bool OwnDirectory(const struct stat& status) {
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The default place, decided once per set of variables (a stat and
// perhaps a mkdir each time would cost every call).
struct DefaultPlace {
    std::mutex mutex;
    std::string runtime;
    std::string temporary;
    bool decided = false;
    bool usable = false;
    LockPlace place;
};

bool ChooseDefault(LockPlace* place) {
    static DefaultPlace cache;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* temporary = std::getenv("TMPDIR");
    if (runtime == nullptr) runtime = "";
    if (temporary == nullptr || temporary[0] == '\0') temporary = "/tmp";
    std::lock_guard<std::mutex> guard(cache.mutex);
    if (cache.decided && cache.runtime == runtime && cache.temporary == temporary) {
        *place = cache.place;
        return cache.usable;
    }
    LockPlace chosen;
    bool usable = false;
    struct stat status {};
    if (runtime[0] == '/' && ::stat(runtime, &status) == 0 && OwnDirectory(status)) {
        usable = std::snprintf(chosen.directory, sizeof chosen.directory, "%s", runtime) <
                 static_cast<int>(sizeof chosen.directory);
    } else {
        const int n = std::snprintf(chosen.directory, sizeof chosen.directory, "%s/xelbde-%u", temporary,
                                    static_cast<unsigned>(::geteuid()));
        if (n > 0 && n < static_cast<int>(sizeof chosen.directory)) {
            if (::mkdir(chosen.directory, 0700) != 0 && errno != EEXIST) {
                usable = false;  // missing or unusable: no lock can be had
            } else if (::lstat(chosen.directory, &status) == 0 && OwnDirectory(status)) {
                usable = true;
            } else {
                chosen.processOnly = true;
                usable = true;
                std::snprintf(g_unsafeDirectory, sizeof g_unsafeDirectory, "%s", chosen.directory);
                g_placeNotice.store(true);
            }
        }
    }
    cache.runtime = runtime;
    cache.temporary = temporary;
    cache.decided = true;
    cache.usable = usable;
    cache.place = chosen;
    *place = chosen;
    return usable;
}

// The lock file of a name; false when none can be had. For locks of the
// process alone the name is that of the process-wide anonymous file.
bool LockPath(const char* name, char (&path)[kLockPathMax], bool* processOnly) {
    *processOnly = false;
    const char* dir = std::getenv("XELBDE_LOCKDIR");
    LockPlace place;
    if (dir == nullptr || dir[0] == '\0') {
        if (!ChooseDefault(&place)) return false;
        if (place.processOnly) {
            *processOnly = true;
            int length = std::snprintf(path, sizeof path, "process:%s", name);
            return length >= 0 && static_cast<size_t>(length) < sizeof path;
        }
        dir = place.directory;
    }
    int length = std::snprintf(path, sizeof path, "%s/xelbde-%s.lock", dir, name);
    return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

// A new open file description of the process's own anonymous lock file of
// a name, so that its locks conflict with those of every other handle of
// the name as lock files' locks do.
int OpenProcessLock(const char* name) {
    static std::mutex guard;
    static auto* files = new std::unordered_map<std::string, int>;
    std::lock_guard<std::mutex> lock(guard);
    auto found = files->find(name);
    if (found == files->end()) {
        const int made = ::memfd_create("xelbde-lock", MFD_CLOEXEC);
        if (made < 0) return -1;
        found = files->emplace(name, made).first;
    }
    const int file = found->second;
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file);
    return ::open(self, O_RDWR | O_CLOEXEC);
}

// The process-wide handles of ProcessLock, by lock file.
struct KeptLock {
    std::string name;
    std::string path;
    pid_t pid = 0;
    MutexHandle handle{-1};
};

}  // namespace

extern "C" int MutexCreate(const char* name, MutexHandle* handle) {
    if (handle == nullptr) return 0;
    handle->fd = -1;
    if (name == nullptr || name[0] == '\0') return 0;
    char path[kLockPathMax];
    bool processOnly = false;
    if (!LockPath(name, path, &processOnly)) return 0;
    if (processOnly) {
        handle->fd = OpenProcessLock(name);
        return handle->fd >= 0 ? 1 : 0;
    }
    int created = 0;
    int fd = OpenSharedFile(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666, &created);
    if (fd < 0) return 0;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return 0;
    }
    // Only a file of our own making gets its mode: the umask must not keep
    // other users out of it.
    if (created) (void)::fchmod(fd, 0666);
    handle->fd = fd;
    return 1;
}

extern "C" int MutexWait(MutexHandle* handle, int milliseconds) {
    if (handle == nullptr || handle->fd < 0) return 0;
    const int fd = handle->fd;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0);
    const std::thread::id self = std::this_thread::get_id();
    Gate& gate = TheGate();

    std::unique_lock<std::mutex> guard(gate.mutex);
    for (;;) {
        GateSlot* held = gate.Find(fd);
        if (held == nullptr) break;
        if (held->owner == self) {
            ++held->depth;
            return 1;
        }
        // Looked at again every few milliseconds, so that an interruption ends the wait.
        const auto slice = std::min(deadline, std::chrono::steady_clock::now() + kInterruptLook);
        Waiters& waiters = gate.waiting[fd];
        ++waiters.count;
        const bool timedOut = waiters.released.wait_until(guard, slice) == std::cv_status::timeout;
        if (--waiters.count == 0) gate.waiting.erase(fd);
        if (timedOut && gate.Find(fd) != nullptr &&
            (TcpcomInterrupted() || std::chrono::steady_clock::now() >= deadline)) {
            return 0;
        }
    }
    // Reserve the handle for this thread while polling the file lock outside the gate.
    gate.slots[fd] = GateSlot{self, 1};
    guard.unlock();

    for (;;) {
        if (FileLock(fd, F_WRLCK)) return 1;
        const int error = errno;
        if ((error != EAGAIN && error != EACCES && error != EINTR) || std::chrono::steady_clock::now() >= deadline ||
            TcpcomInterrupted()) {
            break;
        }
        std::this_thread::sleep_for(kPollPause);
    }
    guard.lock();
    gate.Free(fd);
    return 0;
}

extern "C" int MutexRelease(MutexHandle* handle) {
    if (handle == nullptr || handle->fd < 0) return 0;
    Gate& gate = TheGate();
    std::lock_guard<std::mutex> guard(gate.mutex);
    GateSlot* slot = gate.Find(handle->fd);
    if (slot == nullptr || slot->owner != std::this_thread::get_id()) return 0;
    if (--slot->depth > 0) return 1;
    const bool unlocked = FileLock(handle->fd, F_UNLCK);
    gate.Free(handle->fd);
    return unlocked ? 1 : 0;
}

extern "C" void MutexClose(MutexHandle* handle) {
    if (handle == nullptr || handle->fd < 0) return;
    Gate& gate = TheGate();
    {
        std::lock_guard<std::mutex> guard(gate.mutex);
        gate.Free(handle->fd);
    }
    ::close(handle->fd);  // drops the file lock if this handle held it
    handle->fd = -1;
}

namespace tcpcom {

const char* TakeLockPlaceNotice() { return g_placeNotice.exchange(false) ? g_unsafeDirectory : nullptr; }

::MutexHandle* ProcessLock(const char* name) {
    static std::mutex guard;
    // Never destroyed, and a deque keeps each handle where it is: callers
    // hold on to the pointers.
    static auto* kept = new std::deque<KeptLock>;
    if (name == nullptr || name[0] == '\0') return nullptr;
    char path[kLockPathMax];
    bool processOnly = false;
    if (!LockPath(name, path, &processOnly)) return nullptr;
    const pid_t self = ::getpid();
    std::lock_guard<std::mutex> lock(guard);
    KeptLock* slot = nullptr;
    for (KeptLock& entry : *kept) {
        if (entry.name == name) slot = &entry;
    }
    if (slot == nullptr) {
        slot = &kept->emplace_back();
        slot->name = name;
    }
    if (slot->handle.fd >= 0 && slot->pid == self && slot->path == path) return &slot->handle;
    if (slot->handle.fd >= 0) {
        // A forked process must not share its parent's open lock file, whose
        // lock the parent may hold: the child closes its copy and opens its
        // own. A changed lock directory closes the old handle.
        if (slot->pid == self) {
            MutexClose(&slot->handle);
        } else {
            ::close(slot->handle.fd);
            slot->handle.fd = -1;
        }
    }
    if (MutexCreate(name, &slot->handle) != 1) return nullptr;
    slot->path = path;
    slot->pid = self;
    return &slot->handle;
}

}  // namespace tcpcom
