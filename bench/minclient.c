/* SPDX-License-Identifier: MIT */
/* The minimal clients, plain C without any library of ours:
 *
 *   minclient pingpong ADDR PORT COUNT   the floor: COUNT round trips of the
 *       4-byte prefix plus a 1920-byte long frame (one send) against its
 *       1920-byte reply, TCP_NODELAY; prints "SECONDS ROUNDTRIPS"
 *   minclient typ ADDR [PORT]            one type query as a process: connect,
 *       send the prefix and the 12-byte status frame (16 bytes), read the
 *       12-byte reply, exit 0 when it carries the reply marker
 *   minclient upload ADDR PORT FILE      an upload round of blocks until the
 *       terminal's "00", each block's data written to FILE as it arrives,
 *       with the final acknowledgement; exit 0 on success
 *   minclient inventory FILE THREADS     the inventory's exchanges with every
 *       address of FILE (one a line), THREADS at a time: connect, two type
 *       queries, two "QSVERSION" long frames, close; exit 0 when all
 *       succeeded */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "minimal.h"

static const unsigned char kScreenClear[kPrefix] = {0x1B, '[', '2', 'J'};

static int Connect(const char* host, const char* port) {
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(port));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) return -1;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return -1;
    return fd;
}

static int ReadAll(int fd, unsigned char* data, int length) {
    int got = 0;
    while (got < length) {
        ssize_t n = recv(fd, data + got, (size_t)(length - got), 0);
        if (n <= 0) return 0;
        got += (int)n;
    }
    return 1;
}

/* A long request after the prefix: blanks, the header byte, zeros, marker. */
static void LongRequest(unsigned char* request, const char* program) {
    memcpy(request, kScreenClear, kPrefix);
    unsigned char* f = request + kPrefix;
    memset(f, ' ', kLongLen);
    f[1] = 0xD8;
    memset(f + 14, '0', 6);
    memcpy(f + 72, program, 8);
    f[1917] = 0xCA;
    f[1918] = 0xCE;
}

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int PingPong(const char* host, const char* port, long count) {
    int fd = Connect(host, port);
    if (fd < 0) return 1;
    static unsigned char request[kPrefix + kLongLen], reply[kLongLen];
    LongRequest(request, "GFCPING0");
    const double start = Now();
    for (long i = 0; i < count; ++i) {
        if (!SendAll(fd, request, sizeof request) || !ReadAll(fd, reply, sizeof reply)) return 1;
    }
    printf("%.6f %ld\n", Now() - start, count);
    close(fd);
    return 0;
}

static int TypeQuery(const char* host, const char* port) {
    int fd = Connect(host, port);
    if (fd < 0) return 1;
    static const unsigned char request[16] = {0x1B, '[', '2', 'J', ' ', 0xCA, 0xCE, 0x66,
                                              0xD8, 0x64, 0xD8, 0xBD, 0xF7, 0xCA, 0xCE, ' '};
    unsigned char reply[12];
    if (!SendAll(fd, request, sizeof request) || !ReadAll(fd, reply, sizeof reply)) return 1;
    close(fd);
    return reply[1] == 0xCE && reply[2] == 0xCA ? 0 : 1;
}

static int Upload(const char* host, const char* port, const char* path) {
    int fd = Connect(host, port);
    if (fd < 0) return 1;
    int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return 1;
    static unsigned char request[kPrefix + kLongLen], reply[kLongLen];
    LongRequest(request, "GFCDNL50"); /* the upload reset */
    memcpy(request + kPrefix + 3, "QDIRINFOS", 9);
    if (!SendAll(fd, request, sizeof request) || !ReadAll(fd, reply, sizeof reply)) return 1;
    LongRequest(request, "GFCUPL00");
    memcpy(request + kPrefix + 3, "UP      D", 9);
    do {
        if (!SendAll(fd, request, sizeof request) || !ReadAll(fd, reply, sizeof reply)) return 1;
        memcpy(request + kPrefix + 81, reply + 81, 1792); /* the next request echoes this block */
        if (reply[49] == '0' && reply[50] == '1' && write(out, reply + 81, 1792) != 1792) return 1;
    } while (reply[49] == '0' && reply[50] == '1');
    if (close(out) != 0) return 1;
    memcpy(request + kPrefix, reply, kLongLen); /* the acknowledgement: the reply sent back */
    memcpy(request + kPrefix + 49, "00", 2);
    memcpy(request + kPrefix + 72, "GFCUPL00", 8);
    request[kPrefix + 1917] = 0xCA;
    request[kPrefix + 1918] = 0xCE;
    if (!SendAll(fd, request, sizeof request) || !ReadAll(fd, reply, sizeof reply)) return 1;
    close(fd);
    return reply[49] == '0' && reply[50] == '0' ? 0 : 1;
}

/* The inventory: the addresses, the next one to take, the failures. */
static char (*g_addresses)[16];
static int g_count, g_next, g_failed;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

static int Inventory1(const char* address) {
    static const unsigned char status[16] = {0x1B, '[', '2', 'J', ' ', 0xCA, 0xCE, 0x66,
                                             0xD8, 0x64, 0xD8, 0xBD, 0xF7, 0xCA, 0xCE, ' '};
    unsigned char request[kPrefix + kLongLen], reply[kLongLen];
    int fd = Connect(address, "23");
    if (fd < 0) return 0;
    LongRequest(request, "GFCUPL00");
    memcpy(request + kPrefix + 3, "QSVERSION", 9);
    int ok = 1;
    for (int i = 0; i < 2 && ok; ++i) ok = SendAll(fd, status, sizeof status) && ReadAll(fd, reply, kStatusLen);
    for (int i = 0; i < 2 && ok; ++i) ok = SendAll(fd, request, sizeof request) && ReadAll(fd, reply, kLongLen);
    close(fd);
    return ok;
}

static void* InventoryThread(void* unused) {
    (void)unused;
    for (;;) {
        pthread_mutex_lock(&g_lock);
        int index = g_next < g_count ? g_next++ : -1;
        pthread_mutex_unlock(&g_lock);
        if (index < 0) return NULL;
        if (!Inventory1(g_addresses[index])) {
            pthread_mutex_lock(&g_lock);
            ++g_failed;
            pthread_mutex_unlock(&g_lock);
        }
    }
}

static int Inventory(const char* path, int threads) {
    FILE* in = fopen(path, "r");
    if (in == NULL || threads < 1 || threads > 1024) return 1;
    static char addresses[4096][16];
    g_addresses = addresses;
    while (g_count < 4096 && fscanf(in, "%15s", addresses[g_count]) == 1) ++g_count;
    fclose(in);
    pthread_t ids[1024];
    for (int i = 0; i < threads; ++i) pthread_create(&ids[i], NULL, InventoryThread, NULL);
    for (int i = 0; i < threads; ++i) pthread_join(ids[i], NULL);
    return g_failed == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "pingpong") == 0) return PingPong(argv[2], argv[3], atol(argv[4]));
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "typ") == 0) return TypeQuery(argv[2], argc == 4 ? argv[3] : "23");
    if (argc == 5 && strcmp(argv[1], "upload") == 0) return Upload(argv[2], argv[3], argv[4]);
    if (argc == 4 && strcmp(argv[1], "inventory") == 0) return Inventory(argv[2], atoi(argv[3]));
    fprintf(stderr,
            "usage: minclient pingpong ADDR PORT COUNT | typ ADDR [PORT] | upload ADDR PORT FILE | inventory FILE "
            "THREADS\n");
    return 2;
}
