/* SPDX-License-Identifier: MIT */
/* The minimal terminal: the least a terminal can do and still serve xelcmd's
 * type query, program and data downloads and uploads. One connection at a
 * time, blocking sockets, one recv for what arrived and one send per reply;
 * no checks beyond what tells the frames apart. It also serves the raw
 * ping-pong of the floor client: any long frame gets a long reply.
 *
 *   minterm ADDR PORT READY_FILE
 *
 * Listens on ADDR:PORT, writes "ready" to READY_FILE once bound (written
 * beside it and renamed), and serves until SIGTERM. An upload of the file
 * named N (a decimal number) hands out N KiB of 'u'. */
#define _GNU_SOURCE /* accept4 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "minimal.h"

static long long g_uploadLeft = -1; /* -1: no upload under way */

static void SetStatus(unsigned char* reply, const char* status) {
    reply[49] = (unsigned char)status[0];
    reply[50] = (unsigned char)status[1];
}

/* Answers one long request in place: the request becomes its reply. */
static void AnswerLong(unsigned char* f) {
    const int download = memcmp(f + 72, "GFCDNL", 6) == 0;
    const int dirinfo = memcmp(f + 3, "QDIRINFOS", 9) == 0;
    const int ackCode = (f[49] == '4' && f[50] == '2') || (f[49] == '0' && f[50] == '0');
    if (download && dirinfo) { /* the upload reset */
        g_uploadLeft = -1;
        memset(f + kData, ' ', kDataLen);
        SetStatus(f, "00");
    } else if (download) { /* a block: the last one holds the end-of-data byte */
        const unsigned char end = f[78] == '5' ? 0xA6 : '.';
        SetStatus(f, memchr(f + kData, end, kDataLen) != NULL ? "00" : "01");
        memset(f + kData, ' ', kDataLen);
    } else if (dirinfo) { /* the directory: all memory free */
        memset(f + kData, ' ', kDataLen);
        memcpy(f + 93, "9999", 4);
        memcpy(f + 109, "END ", 4);
        SetStatus(f, "00");
    } else if (f[11] == 'D' && ackCode) { /* the final acknowledgement */
        g_uploadLeft = -1;
        SetStatus(f, "00");
    } else if (f[11] == 'D' && f[49] == ' ') { /* an upload block */
        if (g_uploadLeft < 0) g_uploadLeft = 1024LL * atoi((const char*)f + 3); /* the name ends at its blank */
        if (g_uploadLeft >= kDataLen) {
            memset(f + kData, 'u', kDataLen);
            g_uploadLeft -= kDataLen;
            SetStatus(f, "01");
        } else { /* the rest, then the end-of-data byte */
            memset(f + kData, ' ', kDataLen);
            memset(f + kData, 'u', (size_t)g_uploadLeft);
            f[kData + g_uploadLeft] = 0xA6;
            g_uploadLeft = 0;
            SetStatus(f, "00");
        }
    } else {
        SetStatus(f, "99");
    }
    f[1917] = 0xCE;
    f[1918] = 0xCA;
}

static int FrameLength(const unsigned char* frame) {
    if (frame[1] == 0xD8) return kLongLen;
    return frame[3] == 0x69 ? kShortLen : kStatusLen;
}

static void Serve(int fd) {
    static unsigned char in[4 * (kPrefix + kLongLen)];
    int have = 0;
    for (;;) {
        ssize_t n = recv(fd, in + have, sizeof in - (size_t)have, 0);
        if (n <= 0) return;
        have += (int)n;
        int used = 0;
        while (have - used >= kPrefix + 4) {
            unsigned char* frame = in + used + kPrefix;
            const int length = FrameLength(frame);
            if (have - used < kPrefix + length) break;
            if (length == kLongLen) {
                AnswerLong(frame);
            } else {
                frame[1] = frame[length - 3] = 0xCE;
                frame[2] = frame[length - 2] = 0xCA;
                if (length == kStatusLen) {
                    frame[7] = 0xB5;
                    frame[8] = 0xD8;
                } else {
                    frame[9] = frame[10] = '0';
                }
            }
            if (!SendAll(fd, frame, length)) return;
            used += kPrefix + length;
        }
        memmove(in, in + used, (size_t)(have - used));
        have -= used;
    }
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: minterm ADDR PORT READY_FILE\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 ||
        bind(listener, (struct sockaddr*)&address, sizeof address) != 0 || listen(listener, 64) != 0) {
        perror("minterm: listen");
        return 1;
    }
    char temp[4096];
    snprintf(temp, sizeof temp, "%s.tmp", argv[3]);
    FILE* ready = fopen(temp, "w");
    if (ready == NULL || fputs("ready\n", ready) < 0 || fclose(ready) != 0 || rename(temp, argv[3]) != 0) return 1;
    for (;;) {
        int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        g_uploadLeft = -1;
        Serve(fd);
        close(fd);
    }
}
