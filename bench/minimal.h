/* SPDX-License-Identifier: MIT */
/* What the minimal client and the minimal terminal share: the frame sizes
 * of the protocol and one send-all loop. Plain C, nothing of the library. */
#ifndef BENCH_MINIMAL_H
#define BENCH_MINIMAL_H

#include <sys/socket.h>
#include <sys/types.h>

enum { kPrefix = 4, kStatusLen = 12, kShortLen = 526, kLongLen = 1920, kData = 81, kDataLen = 1792 };

/* Sends all length bytes: 1, or 0 when the connection failed. */
static inline int SendAll(int fd, const unsigned char* data, int length) {
    int sent = 0;
    while (sent < length) {
        ssize_t n = send(fd, data + sent, (size_t)(length - sent), MSG_NOSIGNAL);
        if (n <= 0) return 0;
        sent += (int)n;
    }
    return 1;
}

#endif
