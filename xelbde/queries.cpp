// Query and control commands: one exchange with a connected terminal per
// call, inside the common call frame (normalise the name, format the
// parameter text, register, work, SetCobolReturnCode).
//
//   long frames to the terminal program:  APCNL00B APSTR00B APDMTVER APFMT00B
//                                         APRTVCLK APRDRTYP
//   status frames (SendKorvoCommand):     APTYP01B APRST00B APSYSINI
//
// Output areas belong to the caller and are written only on success, with
// one exception: APDMTVER fills its version area from every reply that
// arrived, whatever its status.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "xelbde/internal.h"

namespace xelbde {
namespace {

using LongFrame = std::array<unsigned char, kLongFrameLen>;

// Reply fields of the terminal program.
constexpr int kFreeMemory = 93;   // 93-96 of a "QRDFORMAT" reply
constexpr int kFreeMemoryLen = 4;
constexpr int kDateTime = 209;    // 209-220 of a "QSVERSION" reply: YYMMDDHHMMSS
constexpr int kDateTimeLen = 12;
constexpr int kDateFormat = 222;
constexpr int kRadioClock = 224;

// The version area may be asked for more than a reply holds (byte 81 to the
// end of the frame).
constexpr uint32_t kVersionBytes = kLongFrameLen - kLongData;


// A request to the terminal program: the 9-character command word at 3-11,
// the request code at 49-50 (left blank when there is none) and the program
// at 72-79.
void BuildQuery(LongFrame& frame, const char* command, std::string_view requestCode) {
    BuildLongRequest(frame.data(), command, kProgramQueries);
    std::memcpy(frame.data() + kLongStatus, requestCode.data(), std::min<std::size_t>(requestCode.size(), 2));
}

// Sends the request in frame and reads the reply into the same buffer.
bool Exchange(int socket, LongFrame& frame) { return LongTransaction(socket, frame.data(), frame.data()) == 1; }

// The long-frame commands whose only result is the reply status.
void StatusOnlyCommand(ApiFunctionId id, const char* terminal, const char* command,
                       std::string_view requestCode, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s", name);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(id, name, &code, &socket)) {
        LongFrame frame;
        BuildQuery(frame, command, requestCode);
        code = Exchange(socket, frame) ? ReplyStatusCode(frame.data() + kLongStatus) : XELBDE_EXCHANGE_FAILED;
    }
    SetCobolReturnCode(id, code, rc, text);
}

// Printed the way a terminal byte shows in the status text: taken as a
// signed byte and widened, so 0x80 and up gives ffffff80 and so on.
int SignedByte(char byte) { return static_cast<int>(static_cast<signed char>(byte)); }

}  // namespace
}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APCNL00B(const char* terminal, char* rc) { StatusOnlyCommand(kIdAPCNL00B, terminal, "QPGCANCEL", "40", rc); }

void APSTR00B(const char* terminal, char* rc) { StatusOnlyCommand(kIdAPSTR00B, terminal, "QPGMSTART", "", rc); }

void APDMTVER(const char* terminal, char* version, uint32_t length, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s", name);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPDMTVER, name, &code, &socket)) {
        LongFrame frame;
        BuildQuery(frame, "QSVERSION", "");
        if (!Exchange(socket, frame)) {
            code = XELBDE_EXCHANGE_FAILED;
        } else {
            // The area takes the reply from byte 81 to the frame's end at
            // most; whatever the caller asked for beyond that is zeroed, so
            // the text always ends inside the area's given length.
            if (version != nullptr && length > 0) {
                uint32_t copied = std::min(length, kVersionBytes);
                std::memcpy(version, frame.data() + kLongData, copied);
                if (length > copied) std::memset(version + copied, 0, length - copied);
            }
            code = ReplyStatusCode(frame.data() + kLongStatus);
        }
    }
    SetCobolReturnCode(kIdAPDMTVER, code, rc, text);
}

void APFMT00B(const char* terminal, char* freeMemory, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s", name);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPFMT00B, name, &code, &socket)) {
        LongFrame frame;
        BuildQuery(frame, "QRDFORMAT", "");
        if (!Exchange(socket, frame)) {
            code = XELBDE_EXCHANGE_FAILED;
        } else if ((code = ReplyStatusCode(frame.data() + kLongStatus)) == XELBDE_OK) {
            const unsigned char* figure = frame.data() + kFreeMemory;
            if (freeMemory != nullptr) std::memcpy(freeMemory, figure, kFreeMemoryLen);
            FormatParamText(text, "Terminal=%s Freier Speicher=%.4s", name,
                          reinterpret_cast<const char*>(figure));
        }
    }
    SetCobolReturnCode(kIdAPFMT00B, code, rc, text);
}

void APRTVCLK(const char* terminal, char* dateTime, char* dateFormat, char* radioClock, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s", name);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPRTVCLK, name, &code, &socket)) {
        LongFrame frame;
        BuildQuery(frame, "QSVERSION", "");
        if (!Exchange(socket, frame)) {
            code = XELBDE_EXCHANGE_FAILED;
        } else if ((code = ReplyStatusCode(frame.data() + kLongStatus)) == XELBDE_OK) {
            // Bytes 221 and 223 lie between the fields and are never taken.
            const char* reply = reinterpret_cast<const char*>(frame.data());
            if (dateTime != nullptr) std::memcpy(dateTime, reply + kDateTime, kDateTimeLen);
            if (dateFormat != nullptr) *dateFormat = reply[kDateFormat];
            if (radioClock != nullptr) *radioClock = reply[kRadioClock];
            FormatParamText(text, "Terminal=%s Datum/Zeit=%.12s Format=%c Funkuhrstatus=%c", name,
                          reply + kDateTime, reply[kDateFormat], reply[kRadioClock]);
        }
    }
    SetCobolReturnCode(kIdAPRTVCLK, code, rc, text);
}

void APRDRTYP(const char* terminal, const char* outputFile, char* rc) {
    char name[kNameBufferSize];
    char fileShown[260];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    CopyFixedField(outputFile, fileShown, sizeof fileShown);
    FormatParamText(text, "Terminal=%s Ausgabedatei=%s", name, fileShown);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPRDRTYP, name, &code, &socket)) {
        LongFrame frame;
        BuildQuery(frame, "QUPLRDRTB", "");
        if (!Exchange(socket, frame)) {
            code = XELBDE_EXCHANGE_FAILED;
        } else if ((code = ReplyStatusCode(frame.data() + kLongStatus)) == XELBDE_OK) {
            // The file is opened under the name exactly as the caller gave
            // it; the copy above only serves the log text.
            code = WriteOutputFile(outputFile, frame.data() + kLongData, kLongDataLen);
        }
    }
    SetCobolReturnCode(kIdAPRDRTYP, code, rc, text);
}

void APTYP01B(const char* terminal, char* type, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s", name);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPTYP01B, name, &code, &socket)) {
        TerminalType record{};
        code = SendKorvoCommand(socket, kTypeQuery, &record);
        if (code == XELBDE_OK) {
            constexpr int kDesignationLen = sizeof record.designation;
            if (type != nullptr) std::memcpy(type, record.designation, kDesignationLen);
            FormatParamText(text, "Terminal=%s Typ=%.*s", name, kDesignationLen, record.designation);
        }
    }
    SetCobolReturnCode(kIdAPTYP01B, code, rc, text);
}

void APRST00B(const char* terminal, char* status, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s", name);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPRST00B, name, &code, &socket)) {
        TerminalType record{};
        code = SendKorvoCommand(socket, kTypeQuery, &record);
        if (code == XELBDE_OK && status != nullptr) std::memcpy(status, record.status, sizeof record.status);
        // The text shows the area also after a failure: then it holds what
        // the caller put there.
        if (status != nullptr) {
            FormatParamText(text, "Terminal=%s Status=%#2x %#2x", name, SignedByte(status[0]),
                          SignedByte(status[1]));
        }
    }
    SetCobolReturnCode(kIdAPRST00B, code, rc, text);
}

void APSYSINI(const char* terminal, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    FormatParamText(text, "Terminal=%s", name);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPSYSINI, name, &code, &socket)) {
        TerminalType record{};
        code = SendKorvoCommand(socket, kSystemInit, &record);
    }
    SetCobolReturnCode(kIdAPSYSINI, code, rc, text);
}

}  // extern "C"
