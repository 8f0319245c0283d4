// Terminal replies: whatever a terminal sends back — short, torn, with wrong
// markers, statuses or data — the commands must neither crash nor read or
// write outside their buffers. The first byte picks the command, the rest is
// everything the terminal will ever send on this connection.
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "xelbde/internal.h"

namespace {

bool Setup() {
    char pattern[] = "/tmp/xelfuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr || ::chdir(pattern) != 0) std::abort();
    ::setenv("XELBDE_TIMEOUT", "1", 1);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = Setup();
    (void)ready;
    if (size < 1 || size > 60000) return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    int big = 1 << 20;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    if (::send(fds[1], data + 1, size - 1, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(size - 1)) {
        ::close(fds[0]);
        ::close(fds[1]);
        return 0;
    }
    ::shutdown(fds[1], SHUT_WR);

    xelbde::InitApiLibrary();
    xelbde::SetSocketHandle("FZ", fds[0]);
    char rc[3] = {};
    char area[2048];
    char one = 0, two = 0;
    switch (data[0] % 10) {
        case 0: APTYP01B("FZ", area, rc); break;
        case 1: APRST00B("FZ", area, rc); break;
        case 2: APDMTVER("FZ", area, sizeof area, rc); break;
        case 3: APRTVCLK("FZ", area, &one, &two, rc); break;
        case 4: APFMT00B("FZ", area, rc); break;
        case 5: APDSPPGE("FZ", "1A2B", "03", "page.bin", rc); break;
        case 6: APDIR00B("FZ", "dir.bin", rc); break;
        case 7: APUPL00B("FZ", "upload.bin", "DATEN", "1", rc); break;
        case 8: {
            static bool written = [] {
                FILE* f = std::fopen("small.dat", "wb");
                if (f) {
                    std::fputs("0123456789", f);
                    std::fclose(f);
                }
                return true;
            }();
            (void)written;
            APDNLOAD("FZ", "small.dat", "DATEN", "1", rc);
            break;
        }
        default: APSCL00B("FZ", "*SYSVAL     ", "1", rc); break;
    }
    xelbde::ReleaseSocketHandle("FZ");
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
