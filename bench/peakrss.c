/* Runs a command and prints its peak resident size in KB, then exits with
 * its status. Being small itself, it keeps the size its child starts from
 * (a fork is a copy of its parent until the exec) below the child's own.
 *
 *   peakrss COMMAND [ARG...] */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: peakrss COMMAND [ARG...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 127;
    printf("%ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
