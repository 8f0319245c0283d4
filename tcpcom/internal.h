/* SPDX-License-Identifier: MIT */
// The inside of tcpcom that the terminal API library and the front end
// build on, not part of the installed interface: the log's record and
// writer, the share-mode opens, text helpers and named locks (C functions),
// and for C++ code one write-all loop and the number conversions the design
// relies on, each named after the C library behaviour it reproduces.
#ifndef TCPCOM_INTERNAL_H
#define TCPCOM_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <sys/types.h>

#include "tcpcom/tcpcom.h"

extern "C" {

/* One record as TcpcomLog fills it before formatting. */
typedef struct LogRecord {
    time_t time;
    char timestamp[15]; /* "%Y%m%d%H%M%S" or "?" */
    char source[31];
    char function[71];
    int level;
    char levelText[16];
    int rc;
    char rcText[16];
    int errnum;
    char errnumText[16];
    char text[201];
    char text2[101];
} LogRecord;

int LogWriteString(const char* line);
/* The backup a full log is renamed to: the character before the last "."
 * of the whole path becomes "_" (xelbde.log -> xelbd_.log; ".log" ->
 * "_.log"); when that gives no name distinct from the log (no ".", or a
 * "_" there already), the log's name followed by "_". */
void LogBackupName(const char* name, char* backup, size_t size);
/* 1 when path is the log named logName or its backup (SameFileOrName). */
int IsLogOrBackup(const char* path, const char* logName);
/* Builds the record line "f1;f2;...;f7;f8\n" into buf with bounded appends; returns its length. */
size_t LogFormatRecord(const LogRecord* record, char* buf, size_t size);
void LogHexDump(const char* source, const void* data, int length, const char* title);

/* ------------------------------------------------- files, text, locks --- */

/* Share modes of OpenWithRetry: advisory locks taken right after open. */
enum TcpcomShare {
    kShareDenyNone = 0,
    kShareDenyWrite = 1,       /* shared lock */
    kShareDenyReadWrite = 2    /* exclusive lock */
};

/* Kinds of file an open by name takes (OpenByName; OpenWithRetry of the
 * tcpcom namespace): a file of another kind is closed again and refused
 * with EPERM. A FIFO is taken only when opened write-only, and then only
 * with a reader (without one the open fails with ENXIO at once). */
enum TcpcomFileKinds {
    kKindRegular = 1,
    kKindCharDevice = 2,
    kKindFifo = 4,
    kKindOutput = kKindRegular | kKindCharDevice | kKindFifo, /* what an output target may be */
    kKindAny = 0xFF                                           /* no check */
};

/* open(2) with a share mode, retried while the file is held elsewhere (its
 * share lock taken) or descriptors are exhausted (EMFILE): 101 attempts,
 * 50 ms apart; errno EACCES when it stayed held, EINTR when an interrupt
 * (TcpcomInterrupted) ended the wait. Any other failure of the open
 * (EACCES, EPERM, ENOENT, ...) ends it at once. O_TRUNC in flags truncates
 * a regular file only after the lock is held (nothing else is cut). With a
 * share mode the descriptor returned is the file the path names once the
 * lock is held (a file replaced or removed meanwhile is opened again by its
 * name). The file is opened by OpenByName. Returns fd or -1. */
int OpenWithRetry(const char* path, int flags, int share, int mode);
/* The open of a file by its name for the libraries and the front end:
 * open(2), with these differences.
 * - A symbolic link as the last component of path is followed, when its
 *   directory may be written by others than its owner (group or world,
 *   sticky or not), only when the link belongs to the caller (effective
 *   uid) or to the directory's owner; any other fails with EACCES. The
 *   check is made on the link that is then followed (no race with a link
 *   replaced meanwhile). O_NOFOLLOW in flags follows none.
 * - Nothing is created through a link: O_CREAT (without O_EXCL) opens an
 *   existing file without O_CREAT and creates a missing one with O_EXCL,
 *   so the kernel's protection of sticky directories (fs.protected_regular)
 *   never refuses another user's file and two creators end up holding the
 *   same file; a dangling link gives ENOENT. *created (may be NULL) tells
 *   whether this call created the file.
 * - The file is opened without blocking (a FIFO never waits for its other
 *   end) and must be of one of kinds; the blocking mode flags ask for is
 *   set again before the descriptor is returned (a regular file, which
 *   ignores that mode, is left non-blocking).
 * Returns fd or -1. */
int OpenByName(const char* path, int flags, int mode, int kinds, int* created);
/* OpenByName of a file of any kind (for files in directories other users share). */
int OpenSharedFile(const char* path, int flags, int mode, int* created);
/* 1 when path names the file open on fd (same device and inode). */
int PathNamesFile(const char* path, int fd);
/* Holds the existing regular file at path under an exclusive share lock,
 * waiting like OpenWithRetry while another open holds it. The descriptor,
 * or -1 with errno: EWOULDBLOCK when it stayed held all that time, EINTR
 * when an interrupt ended the wait, EPERM when path names a device, FIFO
 * or directory (not opened), ENOENT when there is none, ELOOP for a
 * symbolic link (never followed), or the open's own error. */
int HoldFileWhenFree(const char* path);
/* Creates path as a new regular file (exclusively: never through a link)
 * and holds it under an exclusive share lock. A regular file of that name
 * that no open holds (left behind by a process that died) is removed and
 * made anew; one another open holds is waited for like a busy file. The
 * descriptor, or -1 with errno: EWOULDBLOCK when the file stayed held,
 * EINTR when an interrupt ended the wait, EEXIST when something other
 * than a regular file has the name. */
int CreateHeldFile(const char* path, int mode);
/* fsync(2) of the directory that holds path: 1 when done. */
int SyncDirectoryOf(const char* path);
/* 1 when a and b name the same file (same device and inode), or, when
 * neither exists, the same name in the same directory. */
int SameFileOrName(const char* a, const char* b);
/* Removes the name of the file open (and held) on fd, only when path still
 * names that file: 1 when removed, 0 otherwise (errno ESTALE when the name
 * names another file or none). */
int RemoveHeldFile(const char* path, int fd);
int CloseIfOpen(int fd);
char* TrimLeft(char* text);
char* TrimRight(char* text);
int CompareNoCase(const char* a, const char* b, int n);

/* System-wide named locks (one lock file per name in the lock directory, an
 * open-file-description lock on it). The kernel drops a lock when its holder
 * dies, so no lock is ever left abandoned. */
typedef struct MutexHandle {
    int fd;
} MutexHandle;

int MutexCreate(const char* name, MutexHandle* handle); /* 1 on success */
int MutexWait(MutexHandle* handle, int milliseconds);   /* 1 only when the lock was taken */
int MutexRelease(MutexHandle* handle);                  /* non-zero on success */
void MutexClose(MutexHandle* handle);

/* Internal operations, also used by the connection code. */
int ResolveHostAddress(const char* name, uint32_t* address); /* network byte order; 1 when resolved */
int SelectOneFds(int sock, int seconds);                      /* 0 on time-out or interruption */
/* Reads until size bytes arrived, the peer ended, an error came or the
 * time-out ran out: the count, or -1 when nothing became readable in time. */
int RecvWithTimeout(int sock, void* buffer, int size, int seconds);

}  // extern "C"

namespace tcpcom {

// The monotonic clock in nanoseconds: every wait and rate is measured on it,
// so that a host clock being set never stretches or cuts one.
inline long long MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// A decimal number read from the start of a text the way the C library's
// conversions read one: optional white space (" \t\n\v\f\r"), an optional
// sign, digits up to the first non-digit.
struct Decimal {
    bool found = false;           // at least one digit
    bool negative = false;
    bool overflow = false;        // the digits exceed 64 bits
    std::uint64_t magnitude = 0;  // modulo 2^64: the low bits stay exact
    std::size_t length = 0;       // characters taken, white space included
};
struct DecimalRule {
    bool sign = true;                       // a sign may come first
    std::size_t width = ~std::size_t{0};    // at most this many sign and digit characters ("%4ld")
};
Decimal ScanDecimal(std::string_view text, DecimalRule rule = {});

// strtol(text, 10) clamped to the int range (atoi without its overflow):
// no digits give 0.
int StrtolInt(std::string_view text);
// The value as a "%d" conversion stores its low 8 bits (an address byte).
inline unsigned char LowByte(const Decimal& d) {
    return static_cast<unsigned char>((d.negative ? 0u - d.magnitude : d.magnitude) & 0xFFu);
}

// Writes all length bytes (at offset when one is given, else at the file
// position), retrying after interruptions and partial writes. Returns the
// count written: length, or less with errno set (EIO when the file took
// nothing without an error).
std::size_t WriteAll(int fd, const void* data, std::size_t length, off_t offset = -1);

// OpenWithRetry of a file of the kinds given (TcpcomFileKinds), and for a
// share mode that denies something the size and mode of the file opened,
// taken when its name was checked (left alone otherwise).
struct FileStatus {
    long long size = 0;
    unsigned mode = 0;
};
int OpenWithRetry(const char* path, int flags, int share, int mode, FileStatus* status, int kinds = kKindAny);

// The handle of this process for the named lock: created at its first use
// and kept open, so that each use waits on it and releases it without
// opening the lock file again. A forked process, or a lock directory
// changed since, gets a handle of its own. nullptr when it cannot be
// created (as MutexCreate fails). Never closed by the caller.
::MutexHandle* ProcessLock(const char* name);
// Once after the default lock directory was found unsafe (another user
// owns it, or others may write it) and the process took locks of its own
// instead: that directory, for the library's record about it; else nullptr.
const char* TakeLockPlaceNotice();

// The cancel mark of one connection: set from any thread to make the call
// running on it stop at its next wait, cleared when that call ends. A set
// mark keeps its wake descriptor readable, so a wait that began before it
// was set still ends at once. The caller serialises Prepare, Set and Close.
class CancelMark {
  public:
    CancelMark() = default;
    ~CancelMark();
    CancelMark(const CancelMark&) = delete;
    CancelMark& operator=(const CancelMark&) = delete;

    // Makes the wake descriptor; done before any wait watches the mark.
    bool Prepare();
    void Set();
    // Clears the mark and closes the wake descriptor: no wait watches it.
    void Close();
    bool IsSet() const { return set_.load(std::memory_order_acquire); }
    int wake() const { return wake_.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> set_{false};
    std::atomic<int> wake_{-1};
};

// What ends a wait of the socket layer before its time runs out: the
// process-wide interruption (TcpcomInterrupt), unless a clean-up exchange
// must still be completed after it, and the cancel mark of the connection.
struct Stops {
    bool interrupt = true;
    const CancelMark* cancel = nullptr;
};
bool StopRequested(const Stops& stops);

// SocketRead, its records included, with the stops its waits answer to.
int ReadSocket(const int* sock, void* buffer, int* length, const int* timeoutSeconds, const Stops& stops);

// Sleeps ms milliseconds or until an interruption is requested; false then.
bool PauseUnlessInterrupted(long long ms);

}  // namespace tcpcom

#endif
