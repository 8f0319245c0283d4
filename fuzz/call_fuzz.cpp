// SPDX-License-Identifier: MIT
// Whole API calls against a terminal that answers from the input: every API
// function, with its arguments, on a connection registered directly, opened
// through terminal.ini (a terminal of its own or ISDN dial-up through the
// adapters, and the hang-up) or through the resolver, at every debug level,
// with the trace file, with host-file reads and host-clock settings that
// fail. Whatever the terminal does, a call must neither crash nor touch
// memory outside its areas, must end with a two-digit code, and must leave
// no descriptor open.
//
// The input:
//   byte 0   the call (one of the 20 API functions)
//   byte 1   bits 0-1  log level: 1, 100, 1000, 9999 (DEBUG_LEVEL unset, 0, 1, 2)
//            bits 2-3  connection: 0-1 a socketpair registered under the name;
//                      2 APALC00B through terminal.ini, the call, APDLC00B;
//                      3 the same without terminal.ini (dotted addresses)
//            bit 4     reading the file to send fails after some bytes
//            bit 5     setting the host clock fails
//            bits 6-7  log size 2000, 1 or 3 KB; or no log and DEBUG_TCPCOM
//   byte 2   bits 0-2  the terminal name (from the connection's table)
//            bits 3-4  the terminal.ini (two files, a directory, none)
//            bits 5-7  which output areas the caller leaves out (NULL)
//   24 bytes the call's arguments (see RunCall)
//   the rest the script the terminal and adapters answer from (fuzz_peer.h)
//
// The host clock is never set: the library's clock setter is replaced by one
// that only records. Every file is in the scratch directory. Connections go
// to 127.0.0.2-4 inside a private network namespace the target enters at
// start; where none can be had, the connect modes fall back to the socketpair.
#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_peer.h"
#include "fuzz/fuzz_support.h"
#include "xelbde/internal.h"

namespace {

using fuzz_support::ScratchPath;

constexpr std::size_t kHeaderLen = 3;
constexpr std::size_t kArgumentsLen = 24;
constexpr const char* kRegisteredName = "FZ";
constexpr int kDescriptorsChecked = 64;
constexpr int kTracedRequests = 8;  // requests answered in a traced conversation

// -------------------------------------------------------------- set-up --

bool WriteText(const std::string& path, const char* text) {
    return fuzz_support::WriteFile(path, text, std::strlen(text));
}

// A user and network namespace of our own, its loopback up: port 23 of every
// 127.x address is ours and nothing can leave the machine. Must run before
// any thread is started.
bool EnterPrivateNetwork() {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
        char map[64];
        std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(uid));
        bool mapped = WriteText("/proc/self/setgroups", "deny") && WriteText("/proc/self/uid_map", map);
        std::snprintf(map, sizeof map, "0 %u 1", static_cast<unsigned>(gid));
        mapped = mapped && WriteText("/proc/self/gid_map", map);
        if (!mapped) return false;
    } else if (::unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return up;
}

// The terminal.ini files the input chooses between: their directories are
// what TERMINI names.
constexpr const char* kIniFull =
    "; terminals of their own and ISDN terminals behind two adapters\n"
    "[T1]\nIP=127.0.0.2\n"
    "[I1]\nKLASSE=ISDN\nVORWAHL=0711\nNUMMER=123456\nDURCHWAHL=12\nTERMINALID=42\nUEBERHANG=5\n"
    "[I2]\nKLASSE=isdn\nNUMMER=98765\n"
    "[A1]\nKLASSE=ADPT\nIP=127.0.0.3\nNUMMER=999\nTERMINALID=7\n"
    "[A2]\nKLASSE=ADPT\nIP=127.000.000.004\nVORWAHL=0711\n"
    "[BAD]\nIP=256.256.256.256\n";
constexpr const char* kIniOther =
    "[A9]\r\nKLASSE=ADPT\r\nIP=300.1.1\r\n"
    "[A2]\r\nKLASSE=ADPT\r\nIP=127.0.0.4\r\nDURCHWAHL=77\r\n"
    "[I1]\r\nKLASSE=ISDN\r\nVORWAHL=0711-\r\nNUMMER=1234567890123456\r\nUEBERHANG=\r\n"
    "[I2]\r\nKLASSE=ISDN\r\nTERMINALID=x1\r\nUEBERHANG=1234\r\n"
    "[A1]\r\nKLASSE=ADPT\r\nIP=127.0.0.3\r\n"
    "[T1]\r\nIP=127.0.0.2\r\n";

std::string g_iniDirectories[4];  // two files, a directory named terminal.ini, no file

// Files the calls name, all in the scratch directory.
std::string g_sendFiles[7];    // downloads: small, one block, several, empty, missing, a directory, NULL
std::string g_outputFiles[5];  // outputs: a file, in a missing directory, empty name, a directory, NULL
std::string g_uploadFiles[3];  // upload targets: a file, in a missing directory, NULL

const char* Choose(const std::string* table, std::size_t count, unsigned value) {
    const std::string& chosen = table[value % count];
    return chosen == "\x01null" ? nullptr : chosen.c_str();
}

void MakeFiles() {
    const std::string& scratch = fuzz_support::Scratch();
    for (int i = 0; i < 3; ++i) {
        g_iniDirectories[i] = ScratchPath(("ini" + std::to_string(i)).c_str());
        ::mkdir(g_iniDirectories[i].c_str(), 0700);
    }
    g_iniDirectories[3] = ScratchPath("noini");
    ::mkdir(g_iniDirectories[3].c_str(), 0700);
    WriteText(g_iniDirectories[0] + "/terminal.ini", kIniFull);
    WriteText(g_iniDirectories[1] + "/terminal.ini", kIniOther);
    ::mkdir((g_iniDirectories[2] + "/terminal.ini").c_str(), 0700);

    const std::string block(1792, 'B');
    WriteText(ScratchPath("small.dat"), "0123456789");
    WriteText(ScratchPath("block.dat"), block.c_str());
    WriteText(ScratchPath("blocks.dat"), (block + block + block + "tail").c_str());
    WriteText(ScratchPath("empty.dat"), "");
    const std::string null = "\x01null";
    const std::string sends[] = {ScratchPath("small.dat"), ScratchPath("block.dat"), ScratchPath("blocks.dat"),
                                 ScratchPath("empty.dat"), ScratchPath("missing.dat"), scratch, null};
    std::copy(std::begin(sends), std::end(sends), g_sendFiles);
    const std::string outputs[] = {ScratchPath("out.bin"), ScratchPath("nodir/out.bin"), "", scratch, null};
    std::copy(std::begin(outputs), std::end(outputs), g_outputFiles);
    const std::string uploads[] = {ScratchPath("up.dat"), ScratchPath("nodir/up.dat"), null};
    std::copy(std::begin(uploads), std::end(uploads), g_uploadFiles);
}

// ------------------------------------------------------ the host hooks --

int g_clockError = 0;
long g_readBudget = -1;  // bytes the next reads may give before failing; -1: never fail

int RecordClock(const struct tm*) { return g_clockError; }

long ReadThenFail(int fd, void* buffer, std::size_t length) {
    if (g_readBudget == 0) {
        errno = EIO;
        return -1;
    }
    if (g_readBudget > 0 && length > static_cast<std::size_t>(g_readBudget)) {
        length = static_cast<std::size_t>(g_readBudget);
    }
    const long n = static_cast<long>(::read(fd, buffer, length));
    if (n > 0 && g_readBudget > 0) g_readBudget -= n;
    return n;
}

// ------------------------------------------------------ the arguments --

class Arguments {
  public:
    explicit Arguments(const uint8_t* bytes) : bytes_(bytes) {}
    uint8_t Byte() { return at_ < kArgumentsLen ? bytes_[at_++] : 0; }
    unsigned Word() {
        const unsigned low = Byte();
        return low | static_cast<unsigned>(Byte()) << 8;
    }
    uint32_t Long() { return Word() | static_cast<uint32_t>(Word()) << 16; }
    // A text of up to max bytes (any bytes, terminated), or NULL for a
    // length byte of 0xFF.
    const char* Text(std::size_t max) {
        const uint8_t length = Byte();
        if (length == 0xFF) return nullptr;
        std::string& text = texts_[used_++ % 4];
        text.clear();
        for (std::size_t i = 0; i < length % (max + 1); ++i) text.push_back(static_cast<char>(Byte()));
        return text.c_str();
    }

  private:
    const uint8_t* bytes_;
    std::size_t at_ = 0;
    std::string texts_[4];
    int used_ = 0;
};

// An output area of exactly its documented size, on the heap so that a
// write one byte past it is caught; NULL when the input leaves it out.
struct Area {
    std::unique_ptr<char[]> bytes;
    Area(std::size_t size, bool omitted) : bytes(omitted ? nullptr : new char[size]()) {}
    char* get() { return bytes.get(); }
};

// The calls by input value, as their ids (for the names).
constexpr xelbde::ApiFunctionId kCallIds[20] = {
    xelbde::kIdAPALC00B, xelbde::kIdAPDLC00B, xelbde::kIdAPCNL00B, xelbde::kIdAPSTR00B, xelbde::kIdAPDMTVER,
    xelbde::kIdAPFMT00B, xelbde::kIdAPRTVCLK, xelbde::kIdAPRDRTYP, xelbde::kIdAPTYP01B, xelbde::kIdAPRST00B,
    xelbde::kIdAPSYSINI, xelbde::kIdAPSCL00B, xelbde::kIdAPSYNHST, xelbde::kIdAPDNP00B, xelbde::kIdAPDNLOAD,
    xelbde::kIdAPSYSDNL, xelbde::kIdAPUPL00B, xelbde::kIdAPDIR00B, xelbde::kIdAPDEL00B, xelbde::kIdAPDSPPGE,
};

void RunCall(unsigned call, const char* name, Arguments& args, unsigned omit) {
    char rcArea[3] = {'?', '?', '\0'};
    char* rc = rcArea;
    switch (call % 20) {
        case 0: APALC00B(name, args.Text(2), rc); break;
        case 1: APDLC00B(name, args.Text(2), rc); break;
        case 2: APCNL00B(name, rc); break;
        case 3: APSTR00B(name, rc); break;
        case 4: {
            const uint32_t length = args.Word() % 2049;
            Area version(length, omit & 1);
            APDMTVER(name, version.get(), length, rc);
            break;
        }
        case 5: {
            Area memory(4, omit & 1);
            APFMT00B(name, memory.get(), rc);
            break;
        }
        case 6: {
            Area dateTime(12, omit & 1), format(1, omit & 2), radio(1, omit & 4);
            APRTVCLK(name, dateTime.get(), format.get(), radio.get(), rc);
            break;
        }
        case 7: APRDRTYP(name, Choose(g_outputFiles, 5, args.Byte()), rc); break;
        case 8: {
            Area type(10, omit & 1);
            APTYP01B(name, type.get(), rc);
            break;
        }
        case 9: {
            Area status(2, omit & 1);
            APRST00B(name, status.get(), rc);
            break;
        }
        case 10: APSYSINI(name, rc); break;
        case 11: {
            const uint8_t kind = args.Byte();
            const char* time = kind % 4 == 0 ? "*SYSVAL     " : args.Text(14);
            APSCL00B(name, time, args.Text(1), rc);
            break;
        }
        case 12: {
            const uint32_t maxDiff = args.Long();
            // Without a field of its own the call keeps its code to itself.
            if (omit & 1) rc = nullptr;
            APSYNHST(name, maxDiff, rc);
            break;
        }
        case 13: {
            const char* program = Choose(g_sendFiles, 7, args.Byte());
            const char* type = args.Text(3);
            APDNP00B(name, program, type, args.Text(3), rc);
            break;
        }
        case 14: {
            const char* file = Choose(g_sendFiles, 7, args.Byte());
            const char* terminalFile = args.Text(9);
            APDNLOAD(name, file, terminalFile, args.Text(1), rc);
            break;
        }
        case 15: APSYSDNL(name, Choose(g_sendFiles, 7, args.Byte()), rc); break;
        case 16: {
            const char* file = Choose(g_uploadFiles, 3, args.Byte());
            const char* terminalFile = args.Text(9);
            APUPL00B(name, file, terminalFile, args.Text(1), rc);
            break;
        }
        case 17: APDIR00B(name, Choose(g_outputFiles, 5, args.Byte()), rc); break;
        case 18: APDEL00B(name, args.Text(9), rc); break;
        default: {
            const char* segment = args.Text(5);
            const char* offset = args.Text(3);
            APDSPPGE(name, segment, offset, Choose(g_outputFiles, 5, args.Byte()), rc);
        }
    }
    static const bool verbose = std::getenv("CALL_FUZZ_VERBOSE") != nullptr;
    if (verbose) {
        std::fprintf(stderr, "%s %s -> %.2s\n", xelbde::kApiNames[kCallIds[call % 20]], name ? name : "(null)",
                     rc != nullptr ? rc : "--");
    }
    if (rc != nullptr && (rc[0] < '0' || rc[0] > '9' || rc[1] < '0' || rc[1] > '9')) {
        std::fprintf(stderr, "call %u ended without a two-digit code: %02x %02x\n", call % 20,
                     static_cast<unsigned char>(rc[0]), static_cast<unsigned char>(rc[1]));
        std::abort();
    }
}

// ------------------------------------------------------ the target --

struct Target {
    fuzz_peer::Peer* peer = nullptr;
    int lowestFree = -1;  // the descriptors checked start here
    int startDirectory = -1;
};
Target g_target;

int LowestFreeDescriptor() {
    const int fd = ::dup(0);
    if (fd >= 0) ::close(fd);
    return fd;
}

// Closes and forgets a connection the calls left registered.
void DropRegistration(const char* name) {
    if (name == nullptr) return;
    char key[xelbde::kNameBufferSize];
    xelbde::NormalizeBdeName(name, key);
    const xelbde::SocketResult found = xelbde::GetSocketHandle(key);
    if (!found.ok()) return;
    ::close(found.socket);
    xelbde::ReleaseSocketHandle(key);
}

// Which of the checked descriptors are open. Between inputs the fuzzer may
// open some of its own (the symbolizer's pipes): only those an input opened
// and left open count.
uint64_t OpenDescriptors() {
    uint64_t open = 0;
    for (int i = 0; i < kDescriptorsChecked; ++i) {
        if (::fcntl(g_target.lowestFree + i, F_GETFD) != -1) open |= uint64_t{1} << i;
    }
    return open;
}

void CheckDescriptors(unsigned call, uint64_t before) {
    const uint64_t left = OpenDescriptors() & ~before;
    for (int i = 0; i < kDescriptorsChecked; ++i) {
        const int fd = g_target.lowestFree + i;
        if (left & (uint64_t{1} << i)) {
            char link[64], target[256] = {};
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            (void)!::readlink(link, target, sizeof target - 1);
            // The named locks' files stay open for the life of the process by design.
            if (std::strstr(target, "/xelbde-XELBDE") != nullptr) continue;
            std::fprintf(stderr, "call %u left descriptor %d open (%s)\n", call % 20, fd, target);
            std::abort();
        }
    }
}

const char* const kRegisteredNames[] = {"FZ", "FZ        ", "fz", "", nullptr, "127.0.0.2", "ABCDEFGHIJKLMNOPQRS",
                                        "FZ\t"};
const char* const kIniNames[] = {"T1", "I1", "I2", "NOPE", "BAD", "t1", "A1", "I1        "};
const char* const kAddressNames[] = {"127.0.0.2", "127.000.000.002", "0.0.0.0", "127.0.0.3"};

// Inputs in the trace-file mode run in the scratch directory, and a fault
// found then would leave its input there, to be removed with it: the
// fuzzer's files are pinned to the directory it was started in.
void PinArtifactPrefix(int* argc, char*** argv) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    char* cwd = ::getcwd(nullptr, 0);
    const std::string start = cwd != nullptr ? cwd : "/";
    std::free(cwd);
    bool pinned = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        for (const std::string key : {"-artifact_prefix=", "-exact_artifact_path="}) {
            if (arg.rfind(key, 0) != 0) continue;
            pinned = true;
            if (arg.size() > key.size() && arg[key.size()] != '/') arg = key + start + "/" + arg.substr(key.size());
        }
        texts.push_back(arg);
    }
    if (!pinned) texts.push_back("-artifact_prefix=" + start + "/");
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    *argc = static_cast<int>(texts.size());
    *argv = pointers.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    PinArtifactPrefix(argc, argv);
    fuzz_support::Scratch();
    // The library writes its notices and unlogged error records to standard
    // error, beside the fuzzer's report; standard output, which no call
    // should use, goes nowhere, so that a stray line cannot fill the run.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    const bool network = EnterPrivateNetwork();
    if (!network) std::fprintf(stderr, "call_fuzz: no private network namespace; connects are not fuzzed\n");
    MakeFiles();
    xelbde::SetHostClockSetter(&RecordClock);
    xelbde::SetHostFileReader(&ReadThenFail);
    xelbde::XelbdeInitLog();
    xelbde::InitApiLibrary();  // its table lock stays open for the process's life
    g_target.startDirectory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    g_target.peer = new fuzz_peer::Peer(network);
    g_target.lowestFree = LowestFreeDescriptor();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderLen + kArgumentsLen || size > 65536) return 0;
    const uint64_t openBefore = OpenDescriptors();
    const unsigned call = data[0];
    const unsigned setup = data[1];
    const unsigned choice = data[2];
    Arguments args(data + kHeaderLen);
    const std::span<const uint8_t> script(data + kHeaderLen + kArgumentsLen, size - kHeaderLen - kArgumentsLen);
    fuzz_peer::Peer& peer = *g_target.peer;

    static constexpr int kLevels[] = {1, 100, 1000, 9999};
    static constexpr int kSizesKb[] = {2000, 1, 3};
    const int logSize = setup >> 6;
    const bool traceFile = logSize == 3;
    if (traceFile) {
        // No log: DEBUG_TCPCOM makes the socket layer start tcpcom.dbg in the
        // working directory, which is the scratch directory for this input.
        TcpcomInitLog("", 0, 0);
        ::setenv("DEBUG_TCPCOM", "1", 1);
        if (::chdir(fuzz_support::Scratch().c_str()) != 0) return 0;
    } else {
        static const std::string log = ScratchPath("xelbde.log");
        TcpcomInitLog(log.c_str(), kLevels[setup & 3], kSizesKb[logSize]);
        TcpcomInitTrace();  // the trace flag follows this level, not the last input's
    }
    g_clockError = (setup & 0x20) ? EPERM : 0;
    const unsigned budgetByte = args.Byte();
    g_readBudget = (setup & 0x10) ? static_cast<long>(budgetByte) * 64 : -1;
    ::setenv("TERMINI", g_iniDirectories[(choice >> 3) & 3].c_str(), 1);

    // With the hexadecimal trace every exchange writes some 250 log records,
    // each an open, lock, write and close: such conversations are kept short
    // (long transfers add nothing new to the trace paths).
    const bool traced = traceFile || (setup & 3) == 3;
    const int maxRequests = traced ? kTracedRequests : INT_MAX;
    int mode = (setup >> 2) & 3;
    if (mode >= 2 && !peer.listening()) mode = 0;
    const unsigned omit = choice >> 5;
    const char* name = nullptr;
    if (mode < 2) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
        xelbde::InitApiLibrary();
        xelbde::SetSocketHandle(kRegisteredName, ends[0]);
        peer.Begin(script, ends[1], maxRequests);
        name = kRegisteredNames[choice & 7];
        // Without terminal.ini lookups, so that no name reaches the resolver.
        if (call % 20 == 0) ::setenv("TERMINI", g_iniDirectories[0].c_str(), 1);
        RunCall(call, name, args, omit);
        DropRegistration(kRegisteredName);
    } else {
        peer.Begin(script, -1, maxRequests);
        if (mode == 3) ::setenv("TERMINI", g_iniDirectories[3].c_str(), 1);
        name = mode == 2 ? kIniNames[choice & 7] : kAddressNames[choice & 3];
        char rc[3] = {};
        APALC00B(name, "  ", rc);
        static const bool verbose = std::getenv("CALL_FUZZ_VERBOSE") != nullptr;
        if (verbose) std::fprintf(stderr, "APALC00B %s -> %.2s\n", name, rc);
        if (rc[0] == '0' && rc[1] == '0') {
            RunCall(call, name, args, omit);
            if (call % 20 != 1) APDLC00B(name, "  ", rc);
        }
    }
    DropRegistration(name);
    peer.Finish();

    if (traceFile) {
        ::unsetenv("DEBUG_TCPCOM");
        if (::fchdir(g_target.startDirectory) != 0) std::abort();
    }
    g_readBudget = -1;
    CheckDescriptors(call, openBefore);
    return 0;
}
