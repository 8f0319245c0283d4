/* SPDX-License-Identifier: MIT */
/*
 * tcpcom: blocking TCP client sockets with time-outs in seconds and the
 * process-shared log file every module writes through. (The file, text and
 * lock helpers the terminal API library builds on are internal:
 * tcpcom/internal.h.)
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

int TcpcomInitLog(const char* name, int level, int sizeKb);
int TcpcomLog(const char* source, const char* function, int level, int rc, int errnum, const char* text,
              const char* text2);
void TcpcomInitTrace(void);

/* Read access to the log configuration (for the listing and the trace switch). */
int TcpcomLogLevel(void);          /* -1 when no log is initialised */
const char* TcpcomLogFileName(void); /* "" when no log is initialised */
int TcpcomTraceOn(void);           /* the socket layer's trace flag */

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
 * called from a signal handler. From then on every wait of the socket layer
 * (a read, a connect, the pause between connect attempts) ends at once as a
 * time-out, also one that begins only after the request, and a send that a
 * signal interrupts fails. The request is process-wide and stands until
 * TcpcomInterrupt(0) clears it. */
void TcpcomInterrupt(int on);
int TcpcomInterrupted(void);

int TcpcomStartup(void);
int TcpcomLastError(void);

#ifdef __cplusplus
}
#endif

#endif
