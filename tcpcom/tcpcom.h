/*
 * tcpcom: blocking TCP client sockets with time-outs in seconds, the
 * process-shared log file every module writes through, and the small file,
 * text and lock helpers the terminal API library builds on.
 *
 * Thread safety: the log configuration is process-wide; TcpcomInitLog sets
 * it under a lock and publishes it only after its start record is written,
 * so threads may start logging at once. Starting the log again with another
 * file while other threads write is not supported. Each record is formatted
 * in a buffer of its own call and appended under the file's exclusive lock.
 * The named locks (Mutex*) are safe between threads and processes.
 */
#ifndef TCPCOM_TCPCOM_H
#define TCPCOM_TCPCOM_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- log --- */

/* Levels writers use. A record is written when its level is <= the configured level. */
enum TcpcomLogLevel {
    kLogError = 1,       /* errors of every module */
    kLogOperation = 100, /* one record per API call: the operations log */
    kLogEntry = 1100,    /* "Unterprogramm Start" of the socket layer */
    kLogDump = 1600      /* hexadecimal dumps, start record, wait results */
};

enum { kLogNameMax = 260, kLogLineMax = 2000 };

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

int TcpcomInitLog(const char* name, int level, int sizeKb);
int TcpcomLog(const char* source, const char* function, int level, int rc, int errnum, const char* text,
              const char* text2);
int LogWriteString(const char* line);
/* Builds the record line "f1;f2;...;f7;f8\n" into buf with bounded appends; returns its length. */
size_t LogFormatRecord(const LogRecord* record, char* buf, size_t size);
void LogHexDump(const char* source, const void* data, int length, const char* title);
void TcpcomInitTrace(void);

/* Read access to the log configuration (for the listing and the trace switch). */
int TcpcomLogLevel(void);          /* -1 when no log is initialised */
const char* TcpcomLogFileName(void); /* "" when no log is initialised */
int TcpcomTraceOn(void);           /* the socket layer's trace flag */

/* ------------------------------------------------- files, text, locks --- */

/* Share modes of OpenWithRetry: advisory locks taken right after open. */
enum TcpcomShare {
    kShareDenyNone = 0,
    kShareDenyWrite = 1,       /* shared lock */
    kShareDenyReadWrite = 2    /* exclusive lock */
};

/* open(2) with a share mode, retried while the file is held elsewhere (EACCES)
 * or descriptors are exhausted (EMFILE): 101 attempts, 50 ms apart.
 * O_TRUNC in flags truncates only after the lock is held. With a share mode
 * the descriptor returned is the file the path names once the lock is held
 * (a file replaced or removed meanwhile is opened again by its name).
 * O_CREAT opens go through OpenSharedFile. Returns fd or -1. */
int OpenWithRetry(const char* path, int flags, int share, int mode);
/* open(2) for files in directories other users share: with O_CREAT (and no
 * O_EXCL) an existing file is opened without O_CREAT and a missing one is
 * created with O_EXCL, so the kernel's protection of sticky directories
 * (fs.protected_regular) never refuses another user's file and two creators
 * end up holding the same file. *created (may be NULL) tells whether this
 * call created it. Returns fd or -1. */
int OpenSharedFile(const char* path, int flags, int mode, int* created);
/* 1 when path names the file open on fd (same device and inode). */
int PathNamesFile(const char* path, int fd);
/* Removes the file at path unless another open holds it under a share mode:
 * waits like OpenWithRetry while it is held, then removes it. 0 (errno
 * EACCES) when it stayed held all that time; else 1, also when the file was
 * missing or could not be removed (the open that follows tells). */
int RemoveFileWhenFree(const char* path);
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

/* ------------------------------------------------------------- sockets --- */

enum TcpcomCode {
    kTcpOk = 0,
    kTcpStartupFailed = 3,
    kTcpUnresolved = 5,
    kTcpNoSocket = 6,
    kTcpConnectTimeout = 7,
    kTcpCloseFailed = 14,
    kTcpReadTimeout = 15,
    kTcpSendFailed = 16,
    kTcpNodelayFailed = 17,
    kTcpUnknownService = 23
};

/* Public operations: every argument by reference. */
int SocketClientOpen(int* sock, const char* host, const int* port, const int* timeoutSeconds);
int SocketClose(const int* sock);
int SocketRead(const int* sock, void* buffer, int* length, const int* timeoutSeconds);
int SocketWrite(const int* sock, const void* data, int* length);
int SocketSetNodelay(const int* sock, const int* flag);
int SocketServiceName(const char* service, int* port);

/* By-value front ends used by the terminal API library. */
int TcpcomOpen(int* sock, const char* host, int port, int timeoutSeconds);
int TcpcomClose(int sock);
int TcpcomRead(int sock, void* buffer, int length, int* received, int timeoutSeconds);
int TcpcomWrite(int sock, const void* data, int length, int* sent);
int TcpcomServicePort(const char* service, int* port);

/* Interruption, for programs that end on a signal: TcpcomInterrupt(1) may be
 * called from a signal handler. From then on a wait or send of the socket
 * layer that a signal interrupts fails (a wait as a time-out) instead of
 * going on, and the transfers stop at their next block, each through its
 * failure path. TcpcomInterrupt(0) clears the request. */
void TcpcomInterrupt(int on);
int TcpcomInterrupted(void);

/* Internal operations, also used by the connection code. */
int ResolveHostAddress(const char* name, uint32_t* address); /* network byte order; 1 when resolved */
int SelectOneFds(int sock, int seconds);                      /* 0 only on time-out */
int RecvWithTimeout(int sock, void* buffer, int size, int flags, int seconds);
int TcpcomStartup(void);
int TcpcomLastError(void);

#ifdef __cplusplus
}
#endif

#endif
