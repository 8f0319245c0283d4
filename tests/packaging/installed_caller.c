/* SPDX-License-Identifier: MIT */
/* The smallest caller of an installed libxelbde: a call on a terminal that
 * is not connected gives 33, and the code has its text. */
#include <stdio.h>

#include <xelbde/xelbde.h>

int main(void) {
    char rc[3] = {0};
    char type[10];
    APTYP01B("HALLE1    ", type, rc);
    printf("%s %s\n", rc, XelbdeReturnCodeText(XELBDE_CONNECTION_STATE));
    return rc[0] == '3' && rc[1] == '3' ? 0 : 1;
}
