/* SPDX-License-Identifier: MIT */
/*
 * A tour of the terminal API from C: connect to a terminal, read its type
 * and version, set its clock to the host's time, upload one of its files
 * and disconnect, checking the return code of every call. The exit status
 * is the failing code.
 *
 * Usage: xeltour [TERMINAL [TERMINAL-FILE [HOST-FILE]]]
 *        (defaults HALLE1, BOOK, book.dat)
 * Build: cc xeltour.c $(pkg-config --cflags --libs xelbde) -o xeltour
 * Try:   make examples   (in the source tree: runs it against a simulated
 *        terminal; examples/run.sh BUILD_DIR c runs this one alone)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <xelbde/xelbde.h>

/* The fixed-width fields: a terminal field of 15 characters (a name counts
 * with its first 10, a dotted address with up to 15), blank-padded. */
static char terminal[16];
static const char* terminalName;  /* as given, for messages */
static int connected = 0;

/* Shows the code of the last call; any code but "00" disconnects and ends
 * the program with that code. */
static void Check(const char* function, const char rc[2]) {
    int code = XelbdeReturnCode(rc);
    printf("%s: %.2s\n", function, rc);
    if (code == XELBDE_OK) return;
    printf("%s (%s)\n", XelbdeReturnCodeText(code), XelbdeReturnCodeName(code));
    if (!connected) {
        fprintf(stderr,
                "xeltour: terminal %s not reached. Give its address, or name it in terminal.ini (in the\n"
                "directory TERMINI names, else the current one). To try this program against a simulated\n"
                "terminal, run `make examples` in the source tree.\n",
                terminalName);
    } else {
        char ignored[3] = {0};
        APDLC00B(terminal, NULL, ignored);
    }
    exit(code);
}

int main(int argc, char** argv) {
    const char* name = argc > 1 ? argv[1] : "HALLE1";
    const char* terminalFile = argc > 2 ? argv[2] : "BOOK";  /* terminated text, at most 8 */
    const char* hostFile = argc > 3 ? argv[3] : "book.dat";  /* terminated text */
    char rc[3] = {0};  /* two digits; the third byte makes it a text */
    char type[10];     /* zero-padded model designation */
    char version[65] = {0};

    terminalName = name;
    snprintf(terminal, sizeof terminal, "%-15.15s", name);

    APALC00B(terminal, NULL, rc);  /* no type: NULL */
    Check("APALC00B", rc);
    connected = 1;

    APTYP01B(terminal, type, rc);
    Check("APTYP01B", rc);
    printf("type: %.10s\n", type);

    APDMTVER(terminal, version, sizeof version - 1, rc);  /* the length by value */
    Check("APDMTVER", rc);
    for (size_t end = strlen(version); end > 0 && version[end - 1] == ' '; --end) version[end - 1] = '\0';
    printf("version: %s\n", version);

    APSCL00B(terminal, "*SYSVAL     ", "1", rc);  /* the host's local time */
    Check("APSCL00B", rc);
    printf("clock set to the host's time\n");

    APUPL00B(terminal, hostFile, terminalFile, "0", rc);  /* "0": keep the terminal's file */
    Check("APUPL00B", rc);
    printf("uploaded %s into %s\n", terminalFile, hostFile);

    connected = 0;
    APDLC00B(terminal, NULL, rc);
    Check("APDLC00B", rc);
    return 0;
}
