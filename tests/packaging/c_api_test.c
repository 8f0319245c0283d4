/* SPDX-License-Identifier: MIT */
/* A C program against the shared libxelbde: the public header compiles as
 * C (C99, pedantic), and the program's own helpers named like the library's
 * inner ones (TrimLeft, TrimRight, CompareNoCase, MutexCreate) neither clash
 * with the library's at link time nor take their place inside it.
 * Runs in a fresh directory: it writes a terminal.ini there. */
#include <stdio.h>
#include <string.h>

#include "xelbde/xelbde.h"

/* The program's own helpers, with signatures of its own. Each counts its
 * calls: the library calling one of them would show in the count. */
char* TrimLeft(char* text);
char* TrimRight(char* text);
int CompareNoCase(const char* a, const char* b);
int MutexCreate(int lock);

static int ownCalls = 0;

char* TrimLeft(char* text) { ++ownCalls; return text; }
char* TrimRight(char* text) { ++ownCalls; return text; }
int CompareNoCase(const char* a, const char* b) { ++ownCalls; return strcmp(a, b) == 0; }
int MutexCreate(int lock) { ++ownCalls; return lock; }

static int failures = 0;

static void Expect(const char* what, const char rc[2], const char* expected) {
    if (memcmp(rc, expected, 2) != 0) {
        printf("%s: rc %.2s, expected %s\n", what, rc, expected);
        ++failures;
    }
}

int main(void) {
    char rc[3] = {0};
    char type[10];
    enum XelbdeReturnCode code = XELBDE_NO_ADDRESS;
    FILE* ini = fopen("terminal.ini", "w");
    if (ini == NULL) return 2;
    /* Blanks around every line: the library trims them with its own TrimLeft. */
    fputs("  [HALLE1]  \n  IP = 127.0.0.2  \n", ini);
    fclose(ini);

    TrimLeft(rc);
    if (!CompareNoCase("a", "a")) return 2;

    /* Not in terminal.ini: no address (the ini is read, locks are taken). */
    APALC00B("NOSUCH    ", NULL, rc);
    Expect("APALC00B NOSUCH", rc, "06");
    /* Not connected. */
    APTYP01B("HALLE1    ", type, rc);
    Expect("APTYP01B HALLE1", rc, "33");
    if (XelbdeReturnCodeText((int)code) == NULL || strlen(XelbdeReturnCodeText((int)code)) == 0) {
        printf("XelbdeReturnCodeText(%d) is empty\n", (int)code);
        ++failures;
    }
    /* The rc field as a number, and the version the header and the library give. */
    {
        static const struct { const char* rc; int code; } fields[] = {{"06", 6}, {"99", 99}, {"7 ", -1}, {"", -1}};
        char version[32];
        size_t i;
        for (i = 0; i < sizeof fields / sizeof fields[0]; ++i) {
            if (XelbdeReturnCode(fields[i].rc) != fields[i].code) {
                printf("XelbdeReturnCode(\"%s\") = %d, expected %d\n", fields[i].rc, XelbdeReturnCode(fields[i].rc), fields[i].code);
                ++failures;
            }
        }
        if (XelbdeReturnCode(rc) != (int)XELBDE_CONNECTION_STATE || XelbdeReturnCode(NULL) != -1) ++failures;
        snprintf(version, sizeof version, "%d.%d.%d", XELBDE_VERSION_MAJOR, XELBDE_VERSION_MINOR, XELBDE_VERSION_PATCH);
        if (strcmp(XelbdeVersion(), version) != 0) {
            printf("XelbdeVersion() = %s, the header says %s\n", XelbdeVersion(), version);
            ++failures;
        }
    }
    if (ownCalls != 2) {
        printf("the program's own helpers were called %d times, expected 2 (the program's own calls)\n", ownCalls);
        ++failures;
    }
    printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
