// Moving data from the terminal to the host, and removing it there:
// APUPL00B copies a terminal data file block by block into a host file (and
// can have the terminal delete it afterwards), APDIR00B files the terminal's
// directory information, APDEL00B deletes a terminal file and APDSPPGE files
// one 256-byte page of the terminal's memory.
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "xelbde/internal.h"

namespace xelbde {
namespace {

constexpr int kFileNameField = 260;      // output file names: at most 259 characters
constexpr int kTerminalNameField = 9;    // terminal file names: at most 8 characters
constexpr int kTerminalNameLen = 8;
constexpr int kMaxFullBlocks = 10000;    // a 10000th full block ends the upload
constexpr int kFailureResetAttempts = 3;
constexpr int kNoResetFromStatus = 90;   // terminal statuses 90-99 get no failure reset
constexpr int kPageSize = 256;
constexpr int kPageCommandSize = 20;
constexpr mode_t kFileMode = 0666;       // read and write, subject to the umask

constexpr const char* kDirectoryCommand = "QDIRINFOS";
constexpr const char* kPageTraceTitle = "*** Upload-Datei (Segment/Offset***";



constexpr std::array<unsigned char, kLongDataLen> MakeBlankBlock() {
    std::array<unsigned char, kLongDataLen> block{};
    for (unsigned char& c : block) c = ' ';
    return block;
}
// The reservation written ahead of each block.
constexpr std::array<unsigned char, kLongDataLen> kBlankBlock = MakeBlankBlock();

void PutStatus(unsigned char* frame, const char* code) {
    frame[kLongStatus] = static_cast<unsigned char>(code[0]);
    frame[kLongStatus + 1] = static_cast<unsigned char>(code[1]);
}

bool IsStatus(const unsigned char* frame, const char* code) {
    return frame[kLongStatus] == static_cast<unsigned char>(code[0]) &&
           frame[kLongStatus + 1] == static_cast<unsigned char>(code[1]);
}

// Writes all length bytes at offset; false on an error or when the file
// takes fewer (a full disk).
bool WriteAt(int fd, const unsigned char* data, int length, off_t offset) {
    int done = 0;
    while (done < length) {
        ssize_t w = ::pwrite(fd, data + done, static_cast<std::size_t>(length - done), offset + done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<int>(w);
    }
    return true;
}

// The reset frame that starts an upload and the failure reset that ends one
// that went wrong: "QDIRINFOS" to the download program, with the last block
// received in full (blanks before the first) marked by 0xA6 in its first byte.
void BuildResetFrame(unsigned char* frame, const unsigned char* previous) {
    BuildLongRequest(frame, kDirectoryCommand, kProgramDataDownload);
    std::memcpy(frame + kLongData, previous, kLongDataLen);
    frame[kLongData] = kEndOfFileData;
}

// The terminal's answer does not change the code of the failed upload.
void SendFailureReset(int socket, const unsigned char* previous) {
    unsigned char frame[kLongFrameLen];
    BuildResetFrame(frame, previous);
    for (int attempt = 0; attempt < kFailureResetAttempts; ++attempt) {
        if (LongTransaction(socket, frame, nullptr) == 1) return;
    }
}

// One block request: the previous block as echo, the reply in reply. Returns
// 0 with the block (length 0 to 1792) and whether it was the last one, or a
// code: 16 (exchange failed), 19 (status and end byte contradict each other)
// or the terminal's status.
int ReceiveUploadBlock(int socket, const char* terminalFile, const unsigned char* previous, int length,
                       unsigned char* reply, unsigned char* block, int* blockLength, bool* last) {
    if (length < 0) length = 0;
    if (length > kLongDataLen) length = kLongDataLen;
    unsigned char frame[kLongFrameLen];
    BuildLongRequest(frame, nullptr, kProgramQueries);
    if (length > 0) std::memcpy(frame + kLongData, previous, static_cast<std::size_t>(length));
    PlaceTerminalFileName(frame, terminalFile);
    frame[kLongObjectType] = 'D';
    if (LongTransaction(socket, frame, reply) == 0) return XELBDE_EXCHANGE_FAILED;

    bool more = IsStatus(reply, "01");
    if (!more && !IsStatus(reply, "00")) {
        // Only "00" and "01" carry a block. A status that merely reads as 0
        // ("0A", " 0", "+0") carries none and contradicts itself.
        int code = ReplyStatusCode(reply + kLongStatus);
        return code != XELBDE_OK ? code : XELBDE_UPLOAD_MALFORMED;
    }
    const void* end = std::memchr(reply + kLongData, kEndOfFileData, kLongDataLen);
    if (end == nullptr) {
        if (!more) return XELBDE_UPLOAD_MALFORMED;
        std::memcpy(block, reply + kLongData, kLongDataLen);
        *blockLength = kLongDataLen;
        *last = false;
        return XELBDE_OK;
    }
    if (more) return XELBDE_UPLOAD_MALFORMED;
    int k = static_cast<int>(static_cast<const unsigned char*>(end) - (reply + kLongData));
    if (k > 0) std::memcpy(block, reply + kLongData, static_cast<std::size_t>(k));
    *blockLength = k;
    *last = true;
    return XELBDE_OK;
}

// The final acknowledgement after the last block: the terminal's reply sent
// back as a request, with "42" (delete the file) or "00" (keep it). Its own
// answer is awaited for the reply time-out and not examined.
int SendUploadAcknowledgement(int socket, const unsigned char* reply, const char* terminalFile, char deleteFlag) {
    unsigned char frame[kLongFrameLen];
    std::memcpy(frame, reply, kLongFrameLen);
    PutStatus(frame, deleteFlag == '1' ? "42" : "00");
    SetLongProgram(frame, kProgramQueries);
    PlaceTerminalFileName(frame, terminalFile);
    frame[kLongObjectType] = 'D';
    frame[kLongEndMarker] = std::to_integer<unsigned char>(kRequestMarker[0]);
    frame[kLongEndMarker + 1] = std::to_integer<unsigned char>(kRequestMarker[1]);

    int sent = 0;
    if (TcpcomWrite(socket, kScreenClear, sizeof kScreenClear, &sent) != kTcpOk || sent != sizeof kScreenClear) {
        return XELBDE_EXCHANGE_FAILED;
    }
    if (TcpcomWrite(socket, frame, kLongFrameLen, &sent) != kTcpOk || sent != kLongFrameLen) {
        return XELBDE_EXCHANGE_FAILED;
    }
    int received = 0;
    TcpcomRead(socket, frame, kLongFrameLen, &received, GetBdeTimeout());
    return XELBDE_OK;
}

// Removes the host file this upload holds and closes it. The name is
// removed while the share lock is still held and only when it still names
// this upload's file, so a file another upload has created meanwhile under
// the same name is never touched.
void RemoveHostFile(int fd, const char* hostFile) {
    RemoveHeldFile(hostFile, fd);
    CloseIfOpen(fd);
}

// Cuts the host file back to the data received in full, closes it and, for
// failures other than the terminal's statuses 90 to 99, sends the failure
// reset. A file that can't be cut back would end in the blank reservation,
// so it is removed rather than left looking like data.
int AbandonUpload(int socket, int fd, const char* hostFile, off_t position, const unsigned char* previous,
                  int code) {
    if (::ftruncate(fd, position) == 0) {
        CloseIfOpen(fd);
    } else {
        RemoveHostFile(fd, hostFile);
    }
    if (code < kNoResetFromStatus) SendFailureReset(socket, previous);
    return code;
}

// A host file that can't be written is removed: it would hold less than
// what the terminal sent.
int DropHostFile(int socket, int fd, const char* hostFile, const unsigned char* previous) {
    RemoveHostFile(fd, hostFile);
    SendFailureReset(socket, previous);
    return XELBDE_UPLOAD_WRITE;
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

void PlaceTerminalFileName(unsigned char* frame, const char* name) {
    std::memset(frame + kLongCommand, ' ', kTerminalNameLen);
    if (name == nullptr) return;
    for (int i = 0; i < kTerminalNameLen && name[i] != '\0'; ++i) {
        frame[kLongCommand + i] = static_cast<unsigned char>(name[i]);
    }
}

int UploadBlock(int socket, const char* terminalFile, const unsigned char* previous, int length, char deleteFlag,
                unsigned char* block, int* blockLength) {
    unsigned char reply[kLongFrameLen];
    bool last = false;
    int code = ReceiveUploadBlock(socket, terminalFile, previous, length, reply, block, blockLength, &last);
    if (code != XELBDE_OK || !last) return code;
    return SendUploadAcknowledgement(socket, reply, terminalFile, deleteFlag);
}

// The upload loop receives through ReceiveUploadBlock and acknowledges the
// last block itself, after its data are safely in the host file: a "42"
// acknowledgement deletes the file on the terminal, so it must never go out
// while the host copy is still incomplete, or no longer carries the name.
//
// An existing host file is replaced, but never while another process holds
// it (a second upload into the same file waits for the first, as for any
// busy file, or ends with 14), and the file written is always the one the
// name stands for.
int UploadFile(int socket, const char* hostFile, const char* terminalFile, char deleteFlag) {
    if (hostFile == nullptr) return XELBDE_CLOSE_OR_CREATE;
    if (!RemoveFileWhenFree(hostFile)) return XELBDE_CLOSE_OR_CREATE;
    int fd = OpenWithRetry(hostFile, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, kShareDenyReadWrite, kFileMode);
    if (fd < 0) return XELBDE_CLOSE_OR_CREATE;

    unsigned char previous[kLongDataLen];
    std::memset(previous, ' ', sizeof previous);
    unsigned char frame[kLongFrameLen];
    BuildResetFrame(frame, previous);
    if (LongTransaction(socket, frame, frame) == 0) {
        CloseIfOpen(fd);
        return XELBDE_EXCHANGE_FAILED;
    }

    unsigned char reply[kLongFrameLen];
    unsigned char block[kLongDataLen];
    off_t position = 0;
    int fullBlocks = 0;
    for (;;) {
        // Room for the block first, so that a full disk shows before the
        // terminal has handed the block over.
        if (!WriteAt(fd, kBlankBlock.data(), kLongDataLen, position)) {
            RemoveHostFile(fd, hostFile);
            return XELBDE_UPLOAD_WRITE;
        }
        int length = 0;
        bool last = false;
        int code = ReceiveUploadBlock(socket, terminalFile, previous, kLongDataLen, reply, block, &length, &last);
        if (code != XELBDE_OK) return AbandonUpload(socket, fd, hostFile, position, previous, code);
        if (!WriteAt(fd, block, length, position)) return DropHostFile(socket, fd, hostFile, previous);

        if (last) {
            off_t end = position + length;
            if (::ftruncate(fd, end) != 0 || (deleteFlag == '1' && ::fsync(fd) != 0)) {
                return DropHostFile(socket, fd, hostFile, previous);
            }
            if (PathNamesFile(hostFile, fd) != 1) {
                // Something outside the share mode removed or replaced the
                // file: the data are not where the caller will look for them.
                CloseIfOpen(fd);
                SendFailureReset(socket, previous);
                return XELBDE_UPLOAD_WRITE;
            }
            code = SendUploadAcknowledgement(socket, reply, terminalFile, deleteFlag);
            if (code != XELBDE_OK) return AbandonUpload(socket, fd, hostFile, position, previous, code);
            if (CloseIfOpen(fd) != 0) return XELBDE_UPLOAD_WRITE;
            return XELBDE_OK;
        }
        position += length;
        std::memcpy(previous, block, kLongDataLen);
        if (++fullBlocks >= kMaxFullBlocks) {
            if (::ftruncate(fd, position) != 0) return DropHostFile(socket, fd, hostFile, previous);
            CloseIfOpen(fd);
            SendFailureReset(socket, previous);
            return XELBDE_UPLOAD_WRITE;
        }
    }
}

}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APUPL00B(const char* terminal, const char* uploadFile, const char* terminalFile, const char* deleteFlag,
              char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    char flag = deleteFlag != nullptr ? deleteFlag[0] : ' ';
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s Uploaddatei=%s Terminaldatei=%s Delete=%c", name,
                  TextOrEmpty(uploadFile), TextOrEmpty(terminalFile), flag);
    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPUPL00B, name, &code, &socket)) {
        code = UploadFile(socket, uploadFile, terminalFile, flag);
    }
    SetCobolReturnCode(kIdAPUPL00B, code, rc, text);
}

void APDIR00B(const char* terminal, const char* outputFile, char* rc) {
    char name[kNameBufferSize];
    char file[kFileNameField];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    CopyFixedField(outputFile, file, kFileNameField);
    FormatParamText(text, "Terminal=%s Ausgabedatei=%s", name, file);
    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPDIR00B, name, &code, &socket)) {
        unsigned char frame[kLongFrameLen];
        BuildLongRequest(frame, kDirectoryCommand, kProgramQueries);
        if (LongTransaction(socket, frame, frame) == 0) {
            code = XELBDE_EXCHANGE_FAILED;
        } else {
            code = ReplyStatusCode(frame + kLongStatus);
            if (code == XELBDE_OK) code = WriteOutputFile(file, frame + kLongData, kLongDataLen);
        }
    }
    SetCobolReturnCode(kIdAPDIR00B, code, rc, text);
}

void APDEL00B(const char* terminal, const char* terminalFile, char* rc) {
    char name[kNameBufferSize];
    char file[kTerminalNameField];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    CopyFixedField(terminalFile, file, kTerminalNameField);
    FormatParamText(text, "Terminal=%s Datei=%s", name, file);
    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPDEL00B, name, &code, &socket)) {
        unsigned char frame[kLongFrameLen];
        BuildLongRequest(frame, nullptr, kProgramQueries);
        PlaceTerminalFileName(frame, terminalFile);
        frame[kLongObjectType] = 'D';
        PutStatus(frame, "42");
        code = LongTransaction(socket, frame, frame) == 0 ? XELBDE_EXCHANGE_FAILED
                                                           : ReplyStatusCode(frame + kLongStatus);
    }
    SetCobolReturnCode(kIdAPDEL00B, code, rc, text);
}

void APDSPPGE(const char* terminal, const char* segment, const char* offset, const char* outputFile, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    char command[kPageCommandSize] = {};
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s Segment=%s Offset=%s Ausgabedatei=%s", name,
                  TextOrEmpty(segment), TextOrEmpty(offset), TextOrEmpty(outputFile));
    std::snprintf(command, sizeof command, "QMU%-.*s%.*s", 4, TextOrEmpty(segment), 2, TextOrEmpty(offset));
    XelbdeTrace(command, static_cast<int>(std::strlen(command)), kPageTraceTitle);
    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPDSPPGE, name, &code, &socket)) {
        unsigned char frame[kLongFrameLen];
        // All 9 bytes of the command text: a shorter text leaves zero bytes.
        BuildLongRequest(frame, command, kProgramQueries);
        if (LongTransaction(socket, frame, frame) == 0) {
            code = XELBDE_EXCHANGE_FAILED;
        } else {
            code = ReplyStatusCode(frame + kLongStatus);
        }
        if (code == XELBDE_OK) {
            // Two hexadecimal characters per page byte. A pair that is not two
            // hex digits (blanks included) does not convert: no file then.
            unsigned char page[kPageSize];
            for (int i = 0; i < kPageSize && code == XELBDE_OK; ++i) {
                unsigned char high = frame[kLongData + 2 * i];
                unsigned char low = frame[kLongData + 2 * i + 1];
                if (!IsHexDigit(high) || !IsHexDigit(low)) {
                    code = XELBDE_OUTPUT_WRITE;
                } else {
                    page[i] = static_cast<unsigned char>(HexValue(high) * 16 + HexValue(low));
                }
            }
            if (code == XELBDE_OK) code = WriteOutputFile(outputFile, page, kPageSize);
        }
    }
    SetCobolReturnCode(kIdAPDSPPGE, code, rc, text);
}

}  // extern "C"
