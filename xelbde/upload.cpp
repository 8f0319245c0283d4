// Moving data from the terminal to the host, and removing it there:
// APUPL00B copies a terminal data file block by block into a host file (and
// can have the terminal delete it afterwards), APDIR00B files the terminal's
// directory information, APDEL00B deletes a terminal file and APDSPPGE files
// one 256-byte page of the terminal's memory.
#include <array>
#include <cerrno>
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

// The final acknowledgement after the last block: the terminal's reply sent
// back as a request, with "42" (delete the file) or "00" (keep it). Its own
// answer is awaited for the reply time-out and not examined.
Code SendUploadAcknowledgement(const Session& session, const LongFrame& reply, const char* terminalFile,
                               char deleteFlag) {
    LongFrame frame = reply;
    frame.SetRequestCode(deleteFlag == '1' ? "42" : "00");
    frame.SetProgram(kProgramQueries);
    frame.SetObject(terminalFile, 'D');
    frame.PutMarker(LongFrame::kEndMarker, kRequestMarker);
    return SendAndAwaitReply(session, frame) ? Code::kOk : Code::kExchangeFailed;
}

// The host file being written: the descriptor this upload opened and holds,
// and its name. Removing it removes the name only while the file is still
// held and only when the name still names it, so a file another upload has
// created meanwhile under the same name is never touched.
struct HostFile {
    int fd;
    const char* name;

    void Remove() const {
        RemoveHeldFile(name, fd);
        CloseIfOpen(fd);
    }
};

// Cuts the host file back to the data received in full, closes it and, for
// failures other than the terminal's statuses 90 to 99, sends the failure
// reset. A file that can't be cut back would end in the blank reservation,
// so it is removed rather than left looking like data.
Code AbandonUpload(const Session& session, const HostFile& file, off_t position, const Block& previous, Code code) {
    if (::ftruncate(file.fd, position) == 0) {
        CloseIfOpen(file.fd);
    } else {
        file.Remove();
    }
    if (ToInt(code) < ToInt(kNoResetFromStatus)) SendFailureReset(session, previous);
    return code;
}

// A host file that can't be written is removed: it would hold less than
// what the terminal sent.
Code DropHostFile(const Session& session, const HostFile& file, const Block& previous) {
    file.Remove();
    SendFailureReset(session, previous);
    return Code::kUploadWrite;
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
        const Code code = StatusCode(reply->status());
        result.code = code != Code::kOk ? code : Code::kUploadMalformed;
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

// The upload loop acknowledges the last block after its data are safely in
// the host file: a "42" acknowledgement deletes the file on the terminal, so
// it must never go out while the host copy is still incomplete, or no longer
// carries the name.
//
// An existing host file is replaced, but never while another process holds
// it (a second upload into the same file waits for the first, as for any
// busy file, or ends with 14), and the file written is always the one the
// name stands for. UploadFile adds the final progress report.
Code ReceiveFile(const Session& session, const char* hostFile, const char* terminalFile, char deleteFlag, long* blocks,
                 off_t* received) {
    if (hostFile == nullptr) return Code::kCloseOrCreate;
    // A file held elsewhere, or a device, FIFO or directory of that name, is
    // neither removed nor written into.
    if (!RemoveFileWhenFree(hostFile)) return Code::kCloseOrCreate;
    const HostFile file{OpenWithRetry(hostFile, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kShareDenyReadWrite, kFileMode),
                        hostFile};
    if (file.fd < 0) return Code::kCloseOrCreate;

    Block previous = kBlankBlock;
    if (!LongTransaction(session, BuildResetFrame(previous))) {
        CloseIfOpen(file.fd);
        return Code::kExchangeFailed;
    }

    off_t position = 0;
    // Whether the room for the block at position was written together with
    // the data of the block before it, and whether that write got it all.
    bool reserved = false;
    bool reservedWhole = false;
    for (int fullBlocks = 0;;) {
        if (TcpcomInterrupted()) return AbandonUpload(session, file, position, previous, Code::kExchangeFailed);
        // Room for the block first, so that a full disk shows before the
        // terminal has handed the block over.
        if (reserved ? !reservedWhole : !WriteAt(file.fd, kBlankBlock, position)) {
            file.Remove();
            return Code::kUploadWrite;
        }
        const UploadedBlock block = UploadBlock(session, terminalFile, previous);
        if (block.code != Code::kOk) return AbandonUpload(session, file, position, previous, block.code);
        ++*blocks;
        *received = position + block.length;
        const auto data = block.reply.data().first(static_cast<std::size_t>(block.length));
        if (!block.last) {
            // A full block: its data and the room for the next one in one
            // write, which leaves the file as the two writes would.
            std::array<unsigned char, 2 * LongFrame::kDataLen> both;
            std::memcpy(both.data(), data.data(), data.size());
            std::memcpy(both.data() + data.size(), kBlankBlock.data(), kBlankBlock.size());
            const std::size_t length = data.size() + kBlankBlock.size();
            const std::size_t written = tcpcom::WriteAll(file.fd, both.data(), length, position);
            if (written < data.size()) return DropHostFile(session, file, previous);
            reserved = true;
            reservedWhole = written == length;
        } else if (!WriteAt(file.fd, data, position)) {
            return DropHostFile(session, file, previous);
        }

        if (block.last) {
            if (::ftruncate(file.fd, position + block.length) != 0 || (deleteFlag == '1' && ::fsync(file.fd) != 0)) {
                return DropHostFile(session, file, previous);
            }
            if (PathNamesFile(hostFile, file.fd) != 1) {
                // Something outside the share mode removed or replaced the
                // file: the data are not where the caller will look for them.
                CloseIfOpen(file.fd);
                SendFailureReset(session, previous);
                return Code::kUploadWrite;
            }
            Code code = SendUploadAcknowledgement(session, block.reply, terminalFile, deleteFlag);
            if (code != Code::kOk) return AbandonUpload(session, file, position, previous, code);
            return CloseIfOpen(file.fd) == 0 ? Code::kOk : Code::kUploadWrite;
        }
        position += block.length;
        ReportProgress(kIdAPUPL00B, position, -1, *blocks, false);
        std::memcpy(previous.data(), data.data(), previous.size());
        if (++fullBlocks >= kMaxFullBlocks) {
            if (::ftruncate(file.fd, position) != 0) return DropHostFile(session, file, previous);
            CloseIfOpen(file.fd);
            SendFailureReset(session, previous);
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
