/* SPDX-License-Identifier: MIT */
/* Prints the return codes the library sets itself as manual-page
 * paragraphs, each with its name and meaning, from the library's own table
 * (XelbdeReturnCodeName, XelbdeReturnCodeText), so the manuals cannot drift
 * from it. */
#include <stdio.h>
#include <string.h>

#include "xelbde/xelbde.h"

int main(void) {
    const char* reported = "status reported by the terminal";
    for (int code = 0; code <= 99; ++code) {
        const char* text = XelbdeReturnCodeText(code);
        if (text == NULL || strcmp(text, reported) == 0) continue;
        printf(".TP\n.BR %02d \" (%s)\"\n", code, XelbdeReturnCodeName(code));
        if (text[0] == '.' || text[0] == '\'') fputs("\\&", stdout);  /* not a request */
        for (const char* c = text; *c != '\0'; ++c) {
            if (*c == '\\') {
                fputs("\\e", stdout);
            } else {
                putchar(*c);
            }
        }
        putchar('\n');
    }
    return 0;
}
