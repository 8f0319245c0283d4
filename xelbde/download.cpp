// File download to the terminal: APDNP00B (programs), APDNLOAD (data files,
// after a memory check) and APSYSDNL (operating-system files). All three send
// the host file in blocks of 1792 bytes, one long frame per block, each
// answered by the terminal before the next goes out; the block that holds
// fewer than 1792 bytes carries the end-of-data byte right after its data.
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr int kFileNameField = 260;  // host file names: at most 259 characters
constexpr int kTypeField = 3;        // program type and class: at most 2 characters

// What the transfer kind (the calling API function's id) puts into a block.
struct TransferKind {
    int id;
    const char* program;       // bytes 72-79: the terminal program receiving the blocks
    bool named;                // object name (3-10) and object type (11) are set
    char objectType;
    bool replaceable;          // "42" in block 1 replaces the terminal's file
    unsigned char endOfData;   // follows the data of the last block
};

constexpr TransferKind kTransferKinds[] = {
    {kIdAPDNP00B, kProgramProgramDownload, true, 'P', false, kEndOfProgramData},
    {kIdAPDNLOAD, kProgramDataDownload, true, 'D', true, kEndOfFileData},
    {kIdAPSYSDNL, kProgramSystemDownload, false, ' ', false, kEndOfProgramData},
};

const TransferKind* FindTransferKind(int kind) {
    for (const TransferKind& entry : kTransferKinds) {
        if (entry.id == kind) return &entry;
    }
    return nullptr;
}

// The terminal, not the host, ends a transfer: while it answers "01" the host
// keeps sending blocks, after the end of the file too (each then holds only
// the end-of-data byte). A terminal that never stops asking would keep the
// host sending forever, so after the file's last block only this many more
// blocks are sent before the transfer counts as failed.
constexpr int kMaxBlocksAfterEnd = 16;

constexpr const char* kReplyQueryCommand = "QDIRINFOS";
constexpr int kTotalMemoryPos = 93;   // total memory, units of 256 bytes
constexpr int kFirstEntryPos = 109;   // memory taken by the first stored object
constexpr int kEntryStep = 16;
constexpr int kNumberWidth = 4;       // the numbers read as "%4ld" reads them
constexpr long long kMemoryUnit = 256;

long DefaultHostFileReader(int fd, void* buffer, std::size_t length) {
    return static_cast<long>(::read(fd, buffer, length));
}

HostFileReader g_read_host_file = DefaultHostFileReader;

// Fills buffer with up to length bytes of the file: keeps reading after a
// short read, since a block shorter than 1792 bytes tells the terminal that
// the file ends there. Returns the count, or -1 on a read error.
int ReadBlock(int fd, unsigned char* buffer, int length) {
    int got = 0;
    while (got < length) {
        long r = g_read_host_file(fd, buffer + got, static_cast<std::size_t>(length - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<int>(r);
    }
    return got;
}

bool IsScanSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a decimal number at text[pos] as a "%4ld" scan conversion does
// (white space skipped, then an optional sign and digits, at most width
// characters in all), but never looks at text[end] or beyond.
bool ScanNumber(const unsigned char* text, int pos, int end, int width, long* value) {
    while (pos < end && IsScanSpace(text[pos])) ++pos;
    int taken = 0;
    bool negative = false;
    if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
        ++taken;
    }
    long number = 0;
    int digits = 0;
    while (pos < end && taken < width && text[pos] >= '0' && text[pos] <= '9') {
        number = number * 10 + (text[pos] - '0');
        ++pos;
        ++taken;
        ++digits;
    }
    if (digits == 0) return false;
    *value = negative ? -number : number;
    return true;
}



}  // namespace

HostFileReader SetHostFileReader(HostFileReader reader) {
    HostFileReader previous = g_read_host_file;
    g_read_host_file = reader != nullptr ? reader : DefaultHostFileReader;
    return previous;
}

int SendFileBlock(int socket, int kind, const char* objectName, const unsigned char* data, int length,
                  char replace, int block) {
    // A faulty caller gets -1, which no status gives and which ends any
    // transfer loop; it reaches the caller as the internal error 1.
    const TransferKind* transfer = FindTransferKind(kind);
    if (transfer == nullptr || length < 0 || length > kLongDataLen || (length > 0 && data == nullptr)) return -1;

    unsigned char frame[kLongFrameLen];
    BuildLongRequest(frame, nullptr, transfer->program);
    if (length > 0) std::memcpy(frame + kLongData, data, static_cast<std::size_t>(length));
    if (transfer->named) {
        PlaceTerminalFileName(frame, objectName);
        frame[kLongObjectType] = static_cast<unsigned char>(transfer->objectType);
    }
    if (transfer->replaceable && replace == '1' && block == 1) {
        frame[kLongStatus] = '4';
        frame[kLongStatus + 1] = '2';
    }
    if (length < kLongDataLen) frame[kLongData + length] = transfer->endOfData;

    if (LongTransaction(socket, frame, frame) == 0) return XELBDE_EXCHANGE_FAILED;
    return ReplyStatusCode(frame + kLongStatus);
}

int SendFile(int socket, int kind, const char* hostFile, const char* objectName, char replace) {
    if (FindTransferKind(kind) == nullptr) return XELBDE_INTERNAL;
    if (hostFile == nullptr) return XELBDE_SEND_FILE_OPEN;
    int fd = OpenWithRetry(hostFile, O_RDONLY | O_CLOEXEC, kShareDenyWrite, 0);
    if (fd < 0) return XELBDE_SEND_FILE_OPEN;

    unsigned char data[kLongDataLen];
    int block = 0;
    int blocksAfterEnd = -1;  // counts from the first block that carried the end-of-data byte
    int result = XELBDE_OK;
    for (;;) {
        std::memset(data, ' ', sizeof data);
        int length = ReadBlock(fd, data, kLongDataLen);
        if (length < 0) {
            // The file can't be read to its end. No end-of-data byte goes out,
            // so the terminal is never told that a cut-off file is complete.
            int error = errno;
            char message[kParamTextSize];
            std::snprintf(message, sizeof message, "Fehler beim Lesen der Datei %s nach %d Bloecken", hostFile,
                          block);
            XelbdeInitLog();
            TcpcomLog(kSourceXelbde, "SendFile", kLogError, XELBDE_SEND_FILE_OPEN, error, message, "");
            result = XELBDE_SEND_FILE_OPEN;
            break;
        }
        if (length < kLongDataLen && blocksAfterEnd < 0) blocksAfterEnd = 0;
        if (blocksAfterEnd > kMaxBlocksAfterEnd) {
            char message[kParamTextSize];
            std::snprintf(message, sizeof message,
                          "Terminal beendet die Uebertragung der Datei %s nach dem Dateiende nicht", hostFile);
            XelbdeInitLog();
            TcpcomLog(kSourceXelbde, "SendFile", kLogError, XELBDE_EXCHANGE_FAILED, 0, message, "");
            result = XELBDE_EXCHANGE_FAILED;
            break;
        }
        if (block < INT_MAX) ++block;
        result = SendFileBlock(socket, kind, objectName, data, length, replace, block);
        if (result != 1) break;
        if (blocksAfterEnd >= 0) ++blocksAfterEnd;
    }
    CloseIfOpen(fd);
    return result;
}

long GetFileSize(const char* name) {
    if (name == nullptr) return -1;
    // Non-blocking, so that naming a FIFO does not wait for a writer.
    int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    long size = -1;
    struct stat status;
    if (::fstat(fd, &status) == 0 && !S_ISDIR(status.st_mode)) {
        off_t end = ::lseek(fd, 0, SEEK_END);
        if (end > 0) size = static_cast<long>(end);
    }
    ::close(fd);
    return size;
}

int CheckFreeSpace(int socket, long size) {
    unsigned char frame[kLongFrameLen];
    BuildLongRequest(frame, kReplyQueryCommand, kProgramQueries);
    if (LongTransaction(socket, frame, frame) == 0) return XELBDE_EXCHANGE_FAILED;
    int status = ReplyStatusCode(frame + kLongStatus);
    if (status != XELBDE_OK) return status;

    long total = 0;
    if (!ScanNumber(frame, kTotalMemoryPos, kLongFrameLen, kNumberWidth, &total)) return XELBDE_BAD_TERMINAL_DATA;
    long long taken = 0;
    for (int pos = kFirstEntryPos; pos < kLongFrameLen; pos += kEntryStep) {
        long entry = 0;
        if (!ScanNumber(frame, pos, kLongFrameLen, kNumberWidth, &entry)) break;
        taken += entry;
    }
    long long freeBytes = (static_cast<long long>(total) - taken) * kMemoryUnit;
    return static_cast<long long>(size) > freeBytes ? XELBDE_NO_FREE_MEMORY : XELBDE_OK;
}

}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APDNP00B(const char* terminal, const char* program, const char* type, const char* klass, char* rc) {
    char name[kNameBufferSize];
    char programFile[kFileNameField];
    char typeText[kTypeField];
    char classText[kTypeField];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    CopyFixedField(program, programFile, kFileNameField);
    CopyFixedField(type, typeText, kTypeField);
    CopyFixedField(klass, classText, kTypeField);
    FormatParamText(text, "Terminal=%s Programm=%s Typ=%s Class=%s", name, programFile, typeText,
                  classText);
    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPDNP00B, name, &code, &socket)) {
        code = SendFile(socket, kIdAPDNP00B, programFile, programFile, '0');
    }
    SetCobolReturnCode(kIdAPDNP00B, code, rc, text);
}

void APDNLOAD(const char* terminal, const char* downloadFile, const char* terminalFile, const char* replace,
              char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    char replaceFlag = replace != nullptr ? replace[0] : ' ';
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s Downloaddatei=%s Terminaldatei=%s Replace=%c", name,
                  TextOrEmpty(downloadFile), TextOrEmpty(terminalFile), replaceFlag);
    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPDNLOAD, name, &code, &socket)) {
        long size = GetFileSize(downloadFile);
        if (size < 0) {
            code = XELBDE_DOWNLOAD_FILE_MISSING;
        } else {
            code = CheckFreeSpace(socket, size);
            if (code == XELBDE_OK) code = SendFile(socket, kIdAPDNLOAD, downloadFile, terminalFile, replaceFlag);
        }
    }
    SetCobolReturnCode(kIdAPDNLOAD, code, rc, text);
}

void APSYSDNL(const char* terminal, const char* osFile, char* rc) {
    char name[kNameBufferSize];
    char file[kFileNameField];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    CopyFixedField(osFile, file, kFileNameField);
    FormatParamText(text, "Terminal=%s Betriebssystemdatei=%s", name, file);
    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPSYSDNL, name, &code, &socket)) {
        code = SendFile(socket, kIdAPSYSDNL, file, file, '0');
    }
    SetCobolReturnCode(kIdAPSYSDNL, code, rc, text);
}

}  // extern "C"
