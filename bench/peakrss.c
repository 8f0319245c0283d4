/* SPDX-License-Identifier: MIT */
/* Runs a command and prints its peak resident size and its peak anonymous
 * resident size (what it allocated, without the mapped files) in KB, then
 * exits with its status.
 *
 * The kernel's own peak (ru_maxrss) comes from resident-page counters that
 * it keeps in per-processor batches, so two runs of the same command differ
 * by up to a few hundred KB there. Instead the child's page tables are read
 * every 2 ms (/proc/PID/smaps_rollup, exact at the moment it is read) and
 * the largest reading is printed; ru_maxrss only where that file cannot be
 * read (the anonymous size is then -1). Being small itself, this program keeps the size its child starts
 * from (a fork is a copy of its parent until the exec) below the child's.
 *
 *   peakrss COMMAND [ARG...] */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* The "Rss:" and "Anonymous:" figures of smaps_rollup in KB (-1 unread). */
static void ReadRss(pid_t pid, long* rss, long* anon) {
    *rss = *anon = -1;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/smaps_rollup", (int)pid);
    FILE* file = fopen(path, "r");
    if (file == NULL) return;
    char line[256];
    while (fgets(line, sizeof line, file) != NULL) {
        if (strncmp(line, "Rss:", 4) == 0 && sscanf(line + 4, "%ld", rss) != 1) *rss = -1;
        if (strncmp(line, "Anonymous:", 10) == 0 && sscanf(line + 10, "%ld", anon) != 1) *anon = -1;
    }
    fclose(file);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: peakrss COMMAND [ARG...]\n");
        return 2;
    }
    int ready[2];  /* closed on exec: the child's own image is in place */
    if (pipe(ready) != 0 || fcntl(ready[1], F_SETFD, FD_CLOEXEC) != 0) return 127;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    close(ready[1]);
    char byte;
    while (pid > 0 && read(ready[0], &byte, 1) > 0) {
    }
    close(ready[0]);

    long peak = -1, peakAnon = -1;
    int status = 0;
    struct rusage usage;
    const struct timespec pause = {0, 2000000};
    for (;;) {
        pid_t done = pid < 0 ? -1 : wait4(pid, &status, WNOHANG, &usage);
        if (done != 0) {
            if (done != pid) return 127;
            break;
        }
        long rss, anon;
        ReadRss(pid, &rss, &anon);
        if (rss > peak) peak = rss;
        if (anon > peakAnon) peakAnon = anon;
        nanosleep(&pause, NULL);
    }
    printf("%ld %ld\n", peak > 0 ? peak : usage.ru_maxrss, peakAnon);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
