// SPDX-License-Identifier: MIT
// Moving data from the terminal to the host, and removing it there:
// APUPL00B copies a terminal data file block by block into a host file (and
// can have the terminal delete it afterwards), APDIR00B files the terminal's
// directory information, APDEL00B deletes a terminal file and APDSPPGE files
// one 256-byte page of the terminal's memory.
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr int kTerminalNameField = 9;    // terminal file names: at most 8 characters
constexpr int kMaxFullBlocks = 10000;    // a 10000th full block ends the upload
constexpr int kFailureResetAttempts = 3;
constexpr Code kNoResetFromStatus = static_cast<Code>(90);  // terminal statuses 90-99 get no failure reset
constexpr int kPageSize = 256;
constexpr int kPageCommandSize = 20;
constexpr mode_t kFileMode = 0666;       // read and write, subject to the umask

constexpr const char* kDirectoryCommand = "QDIRINFOS";
constexpr const char* kPageTraceTitle = "*** Upload-Datei (Segment/Offset***";

using Block = std::array<unsigned char, LongFrame::kDataLen>;

constexpr Block MakeBlankBlock() {
    Block block{};
    for (unsigned char& c : block) c = ' ';
    return block;
}
// The reservation written ahead of each block, and the echo before the first.
constexpr Block kBlankBlock = MakeBlankBlock();

bool WriteAt(int fd, std::span<const unsigned char> data, off_t offset) {
    return tcpcom::WriteAll(fd, data.data(), data.size(), offset) == data.size();
}

// The reset frame that starts an upload and the failure reset that ends one
// that went wrong: "QDIRINFOS" to the download program, with the last block
// received in full (blanks before the first) marked by 0xA6 in its first byte.
LongFrame BuildResetFrame(const Block& previous) {
    LongFrame frame = BuildLongRequest(kDirectoryCommand, kProgramDataDownload);
    std::memcpy(frame.at(LongFrame::kData), previous.data(), previous.size());
    frame.bytes[LongFrame::kData] = kEndOfFileData;
    return frame;
}

// The terminal's answer does not change the code of the failed upload.
void SendFailureReset(const Session& session, const Block& previous) {
    const LongFrame frame = BuildResetFrame(previous);
    for (int attempt = 0; attempt < kFailureResetAttempts; ++attempt) {
        if (LongTransaction(session, frame)) return;
    }
}

bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }

// The final acknowledgement after the last block: the terminal's reply sent
// back as a request, with "42" (delete the file) or "00" (keep it). Its
// answer is awaited for the reply time-out. The data are safe on the host
// by then, so a silent, cut or garbled answer still counts as done; but
// when the terminal answers a "42" clearly with a status other than "00",
// it kept its file, and the next collection would book the same data
// again: that status is the code.
Code SendUploadAcknowledgement(const Session& session, const LongFrame& reply, const char* terminalFile,
                               char deleteFlag) {
    LongFrame frame = reply;
    frame.SetRequestCode(deleteFlag == '1' ? "42" : "00");
    frame.SetProgram(kProgramQueries);
    frame.SetObject(terminalFile, 'D');
    frame.PutMarker(LongFrame::kEndMarker, kRequestMarker);
    const OneExchange<LongFrame> sent = SendOnce(session, frame);
    if (!sent.sent) return Code::kExchangeFailed;
    if (deleteFlag != '1' || !sent.reply) return Code::kOk;
    const TerminalStatus status = sent.reply->status();
    if (status == kStatusOk || !IsDecimalDigit(status.text[0]) || !IsDecimalDigit(status.text[1])) return Code::kOk;
    const Code refused = ParseStatusCode(status);
    char text[96];
    std::snprintf(text, sizeof text, "Terminal hat die Datei %.8s nicht geloescht (Status %c%c)",
                  TextOrEmpty(terminalFile), status.text[0], status.text[1]);
    XelbdeInitLog();
    TcpcomLog(kSourceXelbde, "UploadFile", kLogError, ToInt(refused), 0, text, "");
    return refused;
}

// The host file an upload writes. The data go into a new file beside the
// target, ".NAME.part", created exclusively and held from the start; the
// target itself, when it exists, is held as well, so that programs sharing
// it wait for the upload as for any busy file. Only Commit() changes the
// target: the new file, cut to its data and synced, takes the target's
// name in one step, then the directory is synced. Until then the target
// stays exactly as it was (an absent one stays absent), and a new file
// that is not committed is removed when the upload is abandoned or ends.
// A new file left by an upload that was killed is held by nobody: the next
// upload into the same target removes it and begins anew.
class HostFile {
  public:
    explicit HostFile(const Session& session) : session_(session) {}
    ~HostFile() { Release(); }
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    // kOk, or kCloseOrCreate when the new file cannot be made, or the
    // target is no regular file or stays held elsewhere. Nothing is sent.
    Code Open(const char* target);
    // Room for the next block, written before the terminal hands the block
    // over, so that a full disk shows first.
    bool Reserve();
    // A block received, written after the data before it; a full block
    // together with the room for the next one (the file ends as two writes
    // would leave it) and kept as the echo for the next request.
    bool Add(std::span<const unsigned char> data, bool last);
    // The new file takes the target's name; false when that failed (before
    // the rename the new file still goes when the upload is abandoned) or
    // when the name no longer stands for the data afterwards.
    bool Commit();
    // The upload failed: a new file not committed is removed, the target
    // left as it is, and when asked the failure reset goes out.
    void Abandon(bool sendReset);

    off_t size() const { return size_; }
    const Block& previous() const { return previous_; }

  private:
    void Release();

    const Session& session_;
    const char* target_ = nullptr;
    char part_[PATH_MAX] = {};
    int fd_ = -1;        // the new file, held
    int targetFd_ = -1;  // the existing target, held until the commit
    off_t size_ = 0;     // data written
    bool reserved_ = false;       // the room at size_ went out with the block before
    bool reservedWhole_ = false;  // ... and all of it
    bool committed_ = false;
    Block previous_ = kBlankBlock;
};

Code HostFile::Open(const char* target) {
    if (target == nullptr) return Code::kCloseOrCreate;
    const char* slash = std::strrchr(target, '/');
    const int directory = slash != nullptr ? static_cast<int>(slash + 1 - target) : 0;
    const char* name = target + directory;
    const int length = std::snprintf(part_, sizeof part_, "%.*s.%s.part", directory, target, name);
    if (name[0] == '\0' || length < 0 || length >= static_cast<int>(sizeof part_)) return Code::kCloseOrCreate;
    target_ = target;
    fd_ = CreateHeldFile(part_, kFileMode);
    if (fd_ < 0) return Code::kCloseOrCreate;
    // A target this process cannot open, or a symbolic link, is not held:
    // the commit replaces the name, never what a link points to. One that
    // stayed busy, or whose wait a stop ended, fails the upload.
    targetFd_ = HoldFileWhenFree(target);
    if (targetFd_ < 0 && (errno == EWOULDBLOCK || errno == EPERM || errno == EINTR)) {
        Release();
        return Code::kCloseOrCreate;
    }
    return Code::kOk;
}

bool HostFile::Reserve() { return reserved_ ? reservedWhole_ : WriteAt(fd_, kBlankBlock, size_); }

bool HostFile::Add(std::span<const unsigned char> data, bool last) {
    if (last) {
        if (!WriteAt(fd_, data, size_)) return false;
        size_ += static_cast<off_t>(data.size());
        return true;
    }
    std::array<unsigned char, 2 * LongFrame::kDataLen> both;
    std::memcpy(both.data(), data.data(), data.size());
    std::memcpy(both.data() + data.size(), kBlankBlock.data(), kBlankBlock.size());
    const std::size_t length = data.size() + kBlankBlock.size();
    const std::size_t written = tcpcom::WriteAll(fd_, both.data(), length, size_);
    if (written < data.size()) return false;
    reserved_ = true;
    reservedWhole_ = written == length;
    size_ += static_cast<off_t>(data.size());
    std::memcpy(previous_.data(), data.data(), previous_.size());
    return true;
}

bool HostFile::Commit() {
    if (::ftruncate(fd_, size_) != 0 || ::fsync(fd_) != 0 || ::rename(part_, target_) != 0) return false;
    committed_ = true;
    CloseIfOpen(targetFd_);  // the file that had the name until now
    targetFd_ = -1;
    // Something outside the share mode may have replaced the file after
    // the rename: the data are then not where the caller will look.
    return SyncDirectoryOf(target_) == 1 && PathNamesFile(target_, fd_) == 1;
}

void HostFile::Abandon(bool sendReset) {
    Release();
    // After a stop the reset still goes out, as a clean-up exchange.
    if (sendReset) SendFailureReset(session_.ForCleanUpWhenStopped(), previous_);
}

void HostFile::Release() {
    if (fd_ >= 0 && !committed_) RemoveHeldFile(part_, fd_);
    CloseIfOpen(fd_);
    CloseIfOpen(targetFd_);
    fd_ = -1;
    targetFd_ = -1;
}

bool IsHexDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

}  // namespace

UploadedBlock UploadBlock(const Session& session, const char* terminalFile,
                          std::span<const unsigned char, LongFrame::kDataLen> previous) {
    LongFrame frame = BuildLongRequest(nullptr, kProgramQueries);
    std::memcpy(frame.at(LongFrame::kData), previous.data(), previous.size());
    frame.SetObject(terminalFile, 'D');
    std::optional<LongFrame> reply = LongTransaction(session, frame);
    UploadedBlock result;
    if (!reply) {
        result.code = Code::kExchangeFailed;
        return result;
    }
    result.reply = *reply;
    const bool more = reply->status() == kStatusMore;
    if (!more && reply->status() != kStatusOk) {
        // Only "00" and "01" carry a block. A status that merely reads as 0
        // ("0A", " 0", "+0") carries none and contradicts itself.
        result.code = StatusCode(reply->status(), Code::kUploadMalformed);
        return result;
    }
    const auto data = reply->data();
    const void* end = std::memchr(data.data(), kEndOfFileData, data.size());
    if (end == nullptr) {
        if (!more) result.code = Code::kUploadMalformed;
        result.length = static_cast<int>(data.size());
        return result;
    }
    if (more) {
        result.code = Code::kUploadMalformed;
        return result;
    }
    result.length = static_cast<int>(static_cast<const unsigned char*>(end) - data.data());
    result.last = true;
    return result;
}

namespace {

// The upload loop acknowledges the last block only after its data carry
// the host file's name: a "42" acknowledgement deletes the file on the
// terminal, so it never goes out while the host copy is incomplete or
// elsewhere. A failure before that leaves the host file as it was.
// UploadFile adds the final progress report.
Code ReceiveFile(const Session& session, const char* hostFile, const char* terminalFile, char deleteFlag, long* blocks,
                 off_t* received) {
    HostFile file(session);
    if (Code code = file.Open(hostFile); code != Code::kOk) return code;
    if (!LongTransaction(session, BuildResetFrame(file.previous()))) {
        file.Abandon(false);
        return Code::kExchangeFailed;
    }
    for (int fullBlocks = 0;;) {
        if (session.StopRequested()) {
            file.Abandon(true);
            return Code::kExchangeFailed;
        }
        if (!file.Reserve()) {
            file.Abandon(false);
            return Code::kUploadWrite;
        }
        const UploadedBlock block = UploadBlock(session, terminalFile, file.previous());
        if (block.code != Code::kOk) {
            file.Abandon(ToInt(block.code) < ToInt(kNoResetFromStatus));
            return block.code;
        }
        ++*blocks;
        *received = file.size() + block.length;
        if (!file.Add(block.reply.data().first(static_cast<std::size_t>(block.length)), block.last)) {
            file.Abandon(true);
            return Code::kUploadWrite;
        }
        if (block.last) {
            if (!file.Commit()) {
                file.Abandon(true);
                return Code::kUploadWrite;
            }
            const Code code = SendUploadAcknowledgement(session, block.reply, terminalFile, deleteFlag);
            if (code == Code::kExchangeFailed) file.Abandon(true);
            return code;
        }
        ReportProgress(kIdAPUPL00B, file.size(), -1, *blocks, false);
        if (++fullBlocks >= kMaxFullBlocks) {
            file.Abandon(true);
            return Code::kUploadWrite;
        }
    }
}

}  // namespace

Code UploadFile(const Session& session, const char* hostFile, const char* terminalFile, char deleteFlag) {
    long blocks = 0;
    off_t received = 0;
    Code code = ReceiveFile(session, hostFile, terminalFile, deleteFlag, &blocks, &received);
    ReportProgress(kIdAPUPL00B, received, -1, blocks, true);
    return code;
}

}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APUPL00B(const char* terminal, const char* uploadFile, const char* terminalFile, const char* deleteFlag,
              char* rc) {
    ApiCall call(kIdAPUPL00B, terminal, rc);
    const char flag = deleteFlag != nullptr ? deleteFlag[0] : ' ';
    call.Describe("Uploaddatei=%s Terminaldatei=%s Delete=%c", TextOrEmpty(uploadFile), TextOrEmpty(terminalFile),
                  flag);
    if (call.Register()) call.Finish(UploadFile(call.session(), uploadFile, terminalFile, flag));
}

void APDIR00B(const char* terminal, const char* outputFile, char* rc) {
    ApiCall call(kIdAPDIR00B, terminal, rc);
    char file[kFileNameField];
    CopyFixedField(outputFile, file, kFileNameField);
    call.Describe("Ausgabedatei=%s", file);
    if (!call.Register()) return;
    std::optional<LongFrame> reply = LongTransaction(call.session(), BuildLongRequest(kDirectoryCommand, kProgramQueries));
    if (!reply) return call.Finish(Code::kExchangeFailed);
    if (Code code = StatusCode(reply->status()); code != Code::kOk) return call.Finish(code);
    call.Finish(WriteOutputFile(file, reply->data()));
}

void APDEL00B(const char* terminal, const char* terminalFile, char* rc) {
    ApiCall call(kIdAPDEL00B, terminal, rc);
    char file[kTerminalNameField];
    CopyFixedField(terminalFile, file, kTerminalNameField);
    call.Describe("Datei=%s", file);
    if (!call.Register()) return;
    LongFrame frame = BuildLongRequest(nullptr, kProgramQueries);
    frame.SetObject(terminalFile, 'D');
    frame.SetRequestCode("42");
    std::optional<LongFrame> reply = LongTransaction(call.session(), frame);
    call.Finish(reply ? StatusCode(reply->status()) : Code::kExchangeFailed);
}

void APDSPPGE(const char* terminal, const char* segment, const char* offset, const char* outputFile, char* rc) {
    ApiCall call(kIdAPDSPPGE, terminal, rc);
    call.Describe("Segment=%s Offset=%s Ausgabedatei=%s", TextOrEmpty(segment), TextOrEmpty(offset),
                  TextOrEmpty(outputFile));
    char command[kPageCommandSize] = {};
    std::snprintf(command, sizeof command, "QMU%-.*s%.*s", 4, TextOrEmpty(segment), 2, TextOrEmpty(offset));
    XelbdeTrace(command, static_cast<int>(std::strlen(command)), kPageTraceTitle);
    if (!call.Register()) return;
    // All 9 bytes of the command text: a shorter text leaves zero bytes.
    std::optional<LongFrame> reply = LongTransaction(call.session(), BuildLongRequest(command, kProgramQueries));
    if (!reply) return call.Finish(Code::kExchangeFailed);
    if (Code code = StatusCode(reply->status()); code != Code::kOk) return call.Finish(code);
    // Two hexadecimal characters per page byte. A pair that is not two hex
    // digits (blanks included) does not convert: no file then.
    std::array<unsigned char, kPageSize> page;
    const auto text = reply->data();
    for (int i = 0; i < kPageSize; ++i) {
        const unsigned char high = text[static_cast<std::size_t>(2 * i)];
        const unsigned char low = text[static_cast<std::size_t>(2 * i + 1)];
        if (!IsHexDigit(high) || !IsHexDigit(low)) return call.Finish(Code::kOutputWrite);
        page[static_cast<std::size_t>(i)] = static_cast<unsigned char>(HexValue(high) * 16 + HexValue(low));
    }
    call.Finish(WriteOutputFile(outputFile, page));
}

}  // extern "C"
