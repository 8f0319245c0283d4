/* SPDX-License-Identifier: MIT */
/*
 * XELBDE: the terminal API library.
 *
 * Every API function takes fixed-width text fields (blank-padded, or
 * terminated texts where noted) and reports its result as two decimal digits
 * ("00" to "99", no terminator) in its last parameter, rc. A caller that wants
 * a text passes three bytes with a zero in the third. Numeric inputs are
 * passed by value; everything else by reference.
 *
 * Every command runs between APALC00B (connect) and APDLC00B (disconnect)
 * for the same terminal name. Each call leaves one record in the operations
 * log (level 100) when DEBUG_LEVEL admits it.
 *
 * Thread safety: the connection registry, the initialisation and the
 * terminal table are guarded by system-wide named locks (each wait at most
 * 60 s). Nothing serialises two calls on the same terminal's connection.
 */
#ifndef XELBDE_XELBDE_H
#define XELBDE_XELBDE_H

#include <stdint.h>

/* The version of this header; the project's version is read from here. */
#define XELBDE_VERSION_MAJOR 1
#define XELBDE_VERSION_MINOR 0
#define XELBDE_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library loaded, "MAJOR.MINOR.PATCH" (it may be newer
 * than the header a program was built with). */
const char* XelbdeVersion(void);

/* The return codes. XelbdeReturnCodeText gives each one's meaning; any other
 * value from 0 to 99 is a status the terminal or adapter reported. */
enum XelbdeReturnCode {
    XELBDE_OK = 0,
    XELBDE_INTERNAL = 1,
    XELBDE_SOCKET_STARTUP = 3,
    XELBDE_UNRESOLVED = 5,
    XELBDE_NO_ADDRESS = 6,
    XELBDE_CONNECT_TIMEOUT = 7,
    XELBDE_DOWNLOAD_FILE_MISSING = 10,
    XELBDE_SEND_FILE_OPEN = 11,
    XELBDE_NO_FREE_MEMORY = 13,
    XELBDE_CLOSE_OR_CREATE = 14,
    XELBDE_UPLOAD_WRITE = 15,
    XELBDE_EXCHANGE_FAILED = 16,
    XELBDE_OUTPUT_OPEN = 17,
    XELBDE_OUTPUT_WRITE = 18,
    XELBDE_UPLOAD_MALFORMED = 19,
    XELBDE_TABLE_LOCK_CREATE = 21,
    XELBDE_INIT_LOCK = 23,
    XELBDE_LOOKUP_LOCK_WAIT = 24,
    XELBDE_LOOKUP_LOCK_RELEASE = 25,
    XELBDE_LOOKUP_NOT_FOUND = 26,
    XELBDE_ENTER_LOCK_WAIT = 27,
    XELBDE_ENTER_LOCK_RELEASE = 28,
    XELBDE_TABLE_FULL = 29,
    XELBDE_REMOVE_LOCK_WAIT = 30,
    XELBDE_REMOVE_LOCK_RELEASE = 31,
    XELBDE_REMOVE_NOT_FOUND = 32,
    XELBDE_CONNECTION_STATE = 33,
    XELBDE_BAD_TERMINAL_DATA = 34,
    XELBDE_TERMINAL_INI = 35,
    XELBDE_ALREADY_REGISTERED = 36,
    XELBDE_CLOCK = 37,
    XELBDE_ADAPTER_ID = 62,
    XELBDE_ADAPTER_DIAL = 63,
    XELBDE_ADAPTER_HANGUP = 64,
    XELBDE_ADAPTER_LINE_STATE = 65,
    XELBDE_NO_ADAPTER = 66,
    XELBDE_ISDN_ENTRY_MISSING = 67,
    XELBDE_ADAPTER_BUSY = 68,
    XELBDE_ISDN_IDENTIFICATION = 69
};

/* Meaning of a return code, in English; "status reported by the terminal"
 * for the codes the library does not set itself, "not a return code" for a
 * number outside 0 to 99. */
const char* XelbdeReturnCodeText(int code);
/* Short stable name of a return code for scripts and logs: lower-case words
 * joined by "-" ("ok", "connect-timeout", "exchange-failed", ...; the names
 * of the enumeration above without XELBDE_); "terminal-status" for the codes
 * the library does not set itself, "not-a-code" outside 0 to 99. */
const char* XelbdeReturnCodeName(int code);
/* The number in the two-digit field rc that every call fills ("00" to
 * "99"); -1 when rc is NULL or either byte is not a digit. */
int XelbdeReturnCode(const char rc[2]);

/* Connection */
void APALC00B(const char* terminal, const char* type, char* rc);
void APDLC00B(const char* terminal, const char* type, char* rc);

/* Query and control */
void APCNL00B(const char* terminal, char* rc);
void APSTR00B(const char* terminal, char* rc);
void APDMTVER(const char* terminal, char* version, uint32_t length, char* rc);
void APFMT00B(const char* terminal, char* freeMemory /* 4 characters, or NULL */, char* rc);
void APRTVCLK(const char* terminal, char* dateTime /* 12 */, char* dateFormat /* 1 */, char* radioClock /* 1 */,
              char* rc);
void APRDRTYP(const char* terminal, const char* outputFile, char* rc);
void APTYP01B(const char* terminal, char* type /* 10 */, char* rc);
void APRST00B(const char* terminal, char* status /* 2 */, char* rc);
void APSYSINI(const char* terminal, char* rc);

/* Clocks */
void APSCL00B(const char* terminal, const char* time /* HHMMSSDDMMYY or "*SYSVAL     " */,
              const char* format /* 1 */, char* rc);
void APSYNHST(const char* terminal, uint32_t maxDiff, char* rc);

/* Download */
void APDNP00B(const char* terminal, const char* program, const char* type, const char* klass, char* rc);
void APDNLOAD(const char* terminal, const char* downloadFile, const char* terminalFile, const char* replace,
              char* rc);
void APSYSDNL(const char* terminal, const char* osFile, char* rc);

/* Upload, directory, delete, memory page */
void APUPL00B(const char* terminal, const char* uploadFile, const char* terminalFile, const char* deleteFlag,
              char* rc);
void APDIR00B(const char* terminal, const char* outputFile, char* rc);
void APDEL00B(const char* terminal, const char* terminalFile, char* rc);
void APDSPPGE(const char* terminal, const char* segment, const char* offset, const char* outputFile, char* rc);

/* Progress of a transfer (APDNLOAD, APDNP00B, APSYSDNL, APUPL00B), reported
 * after every block and once more when the transfer ends, whatever its
 * outcome (done = 1). */
typedef struct XelbdeProgress {
    const char* function;   /* "APDNLOAD", "APDNP00B", "APSYSDNL" or "APUPL00B" */
    long long bytesDone;    /* data bytes moved so far */
    long long bytesTotal;   /* the file's size for downloads; -1 for uploads (unknown before the end) */
    long blocks;            /* blocks exchanged so far */
    int done;               /* 1 on the last report of the transfer */
} XelbdeProgress;
typedef void (*XelbdeProgressCallback)(void* context, const XelbdeProgress* progress);
/* Registers the callback for the transfers the calling thread makes (NULL:
 * none, the default). The callback runs on that thread between blocks; it
 * must not call the library. */
void XelbdeSetProgressCallback(XelbdeProgressCallback callback, void* context);

/* Interruption, for programs that end on a signal. XelbdeInterrupt(1) is
 * safe to call from a signal handler; the request is process-wide and stands
 * until XelbdeInterrupt(0) clears it. While it stands:
 *  - every wait of every call of every thread ends at once: a reply, a
 *    connect, a named lock that another holds (taking a free one never
 *    waits), a busy file;
 *  - no call sends a new request: the running call ends through its failure
 *    path, and every call writes its code and its record as usual (16 for a
 *    cut exchange, with a level-1 record "Abbruch durch Signal");
 *  - APALC00B opens no connection and ends with 16;
 *  - the clean-up exchanges still go out, each awaiting its reply at most
 *    the smaller of the time-out and 2 s: the ISDN hang-up "CL" (APDLC00B,
 *    a failed dial-up) and the failure reset of an upload, which leaves the
 *    host file as it was;
 *  - APDLC00B still closes the connection.
 * A program that goes on after an interruption calls XelbdeInterrupt(0)
 * first. */
void XelbdeInterrupt(int on);

/* Cancels the call running on the connection of that terminal (the name as
 * the calls give it), from any thread of the process: the call ends through
 * its failure path (16, with a level-1 record "Abbruch durch XelbdeCancel")
 * at its next wait or before its next request; clean-up exchanges still go
 * out as after an interruption. The mark clears when that call ends; with
 * no call running on the connection, or no connection, it does nothing.
 * Not for signal handlers (it takes the registry's lock). */
void XelbdeCancel(const char* terminal);

/* Operations log listing: 0 on success, 1 or -1 on failure. */
int XelbdeDisplayLog(const char* terminal, const char* outputFile, const char* from, const char* to,
                     const char* function, const char* reserved1, const char* reserved2, const char* selection);

#ifdef __cplusplus
}
#endif

#endif
