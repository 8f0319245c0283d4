// SPDX-License-Identifier: MIT
// File download to the terminal: APDNP00B (programs), APDNLOAD (data files,
// after a memory check) and APSYSDNL (operating-system files). All three send
// the host file in blocks of 1792 bytes, one long frame per block, each
// answered by the terminal before the next goes out; the block that holds
// fewer than 1792 bytes carries the end-of-data byte right after its data.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr int kTypeField = 3;  // program type and class: at most 2 characters

// What the transfer kind (the calling API function's id) puts into a block.
struct TransferKind {
    ApiFunctionId id;
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

const TransferKind* FindTransferKind(ApiFunctionId kind) {
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

// The terminal's status number that asks for the next block.
constexpr Code kNextBlockWanted = static_cast<Code>(1);

constexpr int kNumberWidth = 4;       // the memory figures, read as "%4ld" reads them
constexpr long long kMemoryUnit = 256;

// The host file read ahead of the blocks, many blocks at a time: a block
// then costs no read of its own. A block is whole unless the file ends in
// it (a block shorter than 1792 bytes tells the terminal that the file ends
// there), so reading goes on after a short read until a whole block is
// buffered or the file has ended.
class HostFileBlocks {
  public:
    explicit HostFileBlocks(int fd) : fd_(fd) {}

    // The next block into data (up to 1792 bytes): its length, or -1 on a
    // read error.
    int Next(unsigned char* data) {
        if (end_ - start_ < LongFrame::kDataLen && !ended_) {
            std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
            end_ -= start_;
            start_ = 0;
            while (end_ < LongFrame::kDataLen) {
                long r = ReadHostFile(fd_, buffer_.data() + end_, buffer_.size() - end_);
                if (r < 0) {
                    if (errno == EINTR) continue;
                    return -1;
                }
                if (r == 0) {
                    ended_ = true;
                    break;
                }
                end_ += static_cast<std::size_t>(r);
            }
        }
        const std::size_t length = std::min<std::size_t>(end_ - start_, LongFrame::kDataLen);
        std::memcpy(data, buffer_.data() + start_, length);
        start_ += length;
        return static_cast<int>(length);
    }

  private:
    static constexpr std::size_t kBlocksAhead = 16;
    int fd_;
    std::array<unsigned char, kBlocksAhead * LongFrame::kDataLen> buffer_;
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
};

// A memory figure of the directory information at pos, as "%4ld" reads it,
// never looking past the frame.
std::optional<long> MemoryFigure(const LongFrame& frame, std::size_t pos) {
    const std::string_view rest(frame.text(pos), LongFrame::kSize - pos);
    const tcpcom::Decimal d = tcpcom::ScanDecimal(rest, {.width = kNumberWidth});
    if (!d.found) return std::nullopt;
    const long value = static_cast<long>(d.magnitude);
    return d.negative ? -value : value;
}

[[gnu::format(printf, 3, 4)]] void LogTransferError(Code code, int error, const char* format, ...) {
    char message[kParamTextSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    XelbdeInitLog();
    TcpcomLog(kSourceXelbde, "SendFile", kLogError, ToInt(code), error, message, "");
}

}  // namespace

BlockReply SendFileBlock(const Session& session, ApiFunctionId kind, const char* objectName,
                         std::span<const unsigned char> data, char replace, int block) {
    // A faulty caller ends the transfer with the internal error.
    const TransferKind* transfer = FindTransferKind(kind);
    if (transfer == nullptr || data.size() > LongFrame::kDataLen) return {false, Code::kInternal};

    LongFrame frame = BuildLongRequest(nullptr, transfer->program);
    if (!data.empty()) std::memcpy(frame.at(LongFrame::kData), data.data(), data.size());
    if (transfer->named) frame.SetObject(objectName, transfer->objectType);
    if (transfer->replaceable && replace == '1' && block == 1) frame.SetRequestCode("42");
    if (data.size() < LongFrame::kDataLen) frame.bytes[LongFrame::kData + data.size()] = transfer->endOfData;

    std::optional<LongFrame> reply = LongTransaction(session, frame);
    if (!reply) return {false, Code::kExchangeFailed};
    // The status as a number: 1 ("01", also " 1") asks for more, anything
    // else ends the transfer with that code ("00" with success).
    const Code status = StatusCode(reply->status());
    return {status == kNextBlockWanted, status};
}

Code SendFile(const Session& session, ApiFunctionId kind, const char* hostFile, const char* objectName,
              char replace) {
    if (FindTransferKind(kind) == nullptr) return Code::kInternal;
    if (hostFile == nullptr) return Code::kSendFileOpen;
    // Non-blocking, so that a FIFO does not wait for a writer; only a
    // regular file has an end that the transfer can reach.
    // The share-mode open reads the file's size as it checks the name.
    tcpcom::FileStatus status;
    int fd = tcpcom::OpenWithRetry(hostFile, O_RDONLY | O_NONBLOCK | O_CLOEXEC, kShareDenyWrite, 0, &status,
                                   kKindRegular);
    if (fd < 0) return Code::kSendFileOpen;
    const long long total = status.size;
    long long sent = 0;

    unsigned char data[LongFrame::kDataLen];
    HostFileBlocks blocks(fd);
    int block = 0;
    int blocksAfterEnd = -1;  // counts from the first block that carried the end-of-data byte
    Code result = Code::kOk;
    for (;;) {
        if (session.StopRequested()) {
            // The terminal keeps what it has; no end-of-data byte tells it
            // the object is complete.
            result = Code::kExchangeFailed;
            LogTransferError(result, 0, "Uebertragung der Datei %s nach %d Bloecken abgebrochen", hostFile, block);
            break;
        }
        std::memset(data, ' ', sizeof data);
        int length = blocks.Next(data);
        if (length < 0) {
            // The file can't be read to its end. No end-of-data byte goes out,
            // so the terminal is never told that a cut-off file is complete.
            result = Code::kSendFileOpen;
            LogTransferError(result, errno, "Fehler beim Lesen der Datei %s nach %d Bloecken", hostFile, block);
            break;
        }
        if (length < static_cast<int>(LongFrame::kDataLen) && blocksAfterEnd < 0) blocksAfterEnd = 0;
        if (blocksAfterEnd > kMaxBlocksAfterEnd) {
            result = Code::kExchangeFailed;
            LogTransferError(result, 0, "Terminal beendet die Uebertragung der Datei %s nach dem Dateiende nicht",
                             hostFile);
            break;
        }
        if (block < INT_MAX) ++block;
        BlockReply reply = SendFileBlock(session, kind, objectName,
                                         std::span<const unsigned char>(data, static_cast<std::size_t>(length)),
                                         replace, block);
        result = reply.code;
        sent += length;
        if (!reply.more) break;
        ReportProgress(kind, sent, total, block, false);
        if (blocksAfterEnd >= 0) ++blocksAfterEnd;
    }
    CloseIfOpen(fd);
    ReportProgress(kind, sent, total, block, true);
    return result;
}

long GetFileSize(const char* name) {
    if (name == nullptr) return -1;
    // Non-blocking, so that naming a FIFO does not wait for a writer.
    int fd = OpenByName(name, O_RDONLY | O_NONBLOCK, 0, kKindAny, nullptr);
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

Code CheckFreeSpace(const Session& session, long size) {
    std::optional<LongFrame> reply = LongTransaction(session, BuildLongRequest("QDIRINFOS", kProgramQueries));
    if (!reply) return Code::kExchangeFailed;
    if (Code status = StatusCode(reply->status()); status != Code::kOk) return status;

    std::optional<long> total = MemoryFigure(*reply, LongFrame::kTotalMemory);
    if (!total) return Code::kBadTerminalData;
    long long taken = 0;
    for (std::size_t pos = LongFrame::kFirstEntry; pos < LongFrame::kSize; pos += LongFrame::kEntryStep) {
        std::optional<long> entry = MemoryFigure(*reply, pos);
        if (!entry) break;
        taken += *entry;
    }
    long long freeBytes = (static_cast<long long>(*total) - taken) * kMemoryUnit;
    return static_cast<long long>(size) > freeBytes ? Code::kNoFreeMemory : Code::kOk;
}

}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APDNP00B(const char* terminal, const char* program, const char* type, const char* klass, char* rc) {
    ApiCall call(kIdAPDNP00B, terminal, rc);
    char programFile[kFileNameField];
    char typeText[kTypeField];
    char classText[kTypeField];
    CopyFixedField(program, programFile, kFileNameField);
    CopyFixedField(type, typeText, kTypeField);
    CopyFixedField(klass, classText, kTypeField);
    call.Describe("Programm=%s Typ=%s Class=%s", programFile, typeText, classText);
    if (call.Register()) call.Finish(SendFile(call.session(), kIdAPDNP00B, programFile, programFile, '0'));
}

void APDNLOAD(const char* terminal, const char* downloadFile, const char* terminalFile, const char* replace,
              char* rc) {
    ApiCall call(kIdAPDNLOAD, terminal, rc);
    const char replaceFlag = replace != nullptr ? replace[0] : ' ';
    call.Describe("Downloaddatei=%s Terminaldatei=%s Replace=%c", TextOrEmpty(downloadFile),
                  TextOrEmpty(terminalFile), replaceFlag);
    if (!call.Register()) return;
    const long size = GetFileSize(downloadFile);
    if (size < 0) return call.Finish(Code::kDownloadFileMissing);
    Code code = CheckFreeSpace(call.session(), size);
    if (code == Code::kOk) code = SendFile(call.session(), kIdAPDNLOAD, downloadFile, terminalFile, replaceFlag);
    call.Finish(code);
}

void APSYSDNL(const char* terminal, const char* osFile, char* rc) {
    ApiCall call(kIdAPSYSDNL, terminal, rc);
    char file[kFileNameField];
    CopyFixedField(osFile, file, kFileNameField);
    call.Describe("Betriebssystemdatei=%s", file);
    if (call.Register()) call.Finish(SendFile(call.session(), kIdAPSYSDNL, file, file, '0'));
}

}  // extern "C"
