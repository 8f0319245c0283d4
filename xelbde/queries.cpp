// SPDX-License-Identifier: MIT
// Query and control commands: one exchange with a connected terminal per
// call.
//
//   long frames to the terminal program:  APCNL00B APSTR00B APDMTVER APFMT00B
//                                         APRTVCLK APRDRTYP
//   status frames (SendKorvoCommand):     APTYP01B APRST00B APSYSINI
//
// Output areas belong to the caller and are written only on success, with
// one exception: APDMTVER fills its version area from every reply that
// arrived, whatever its status.
#include <algorithm>
#include <cstring>

#include "xelbde/internal.h"

namespace xelbde {
namespace {

// The version area may be asked for more than a reply holds (byte 81 to the
// end of the frame).
constexpr uint32_t kVersionBytes = LongFrame::kSize - LongFrame::kData;

// A request to the terminal program: the 9-character command word, the
// request code (none: left blank) and the program for queries.
std::optional<LongFrame> Query(const Session& session, const char* command, const char* requestCode = nullptr) {
    LongFrame frame = BuildLongRequest(command, kProgramQueries);
    if (requestCode != nullptr) frame.SetRequestCode(requestCode);
    return LongTransaction(session, frame);
}

// Registers the call and sends its query; the reply, or none with the
// call's code set (the registry's, or 16 for a failed exchange).
std::optional<LongFrame> RunQuery(ApiCall& call, const char* command) {
    if (!call.Register()) return std::nullopt;
    std::optional<LongFrame> reply = Query(call.session(), command);
    if (!reply) call.Finish(Code::kExchangeFailed);
    return reply;
}

// The code of a query whose only result is its reply status.
Code QueryStatus(const Session& session, const char* command, const char* requestCode = nullptr) {
    std::optional<LongFrame> reply = Query(session, command, requestCode);
    return reply ? StatusCode(reply->status()) : Code::kExchangeFailed;
}

// Printed the way a terminal byte shows in the status text: taken as a
// signed byte and widened, so 0x80 and up gives ffffff80 and so on.
int SignedByte(char byte) { return static_cast<int>(static_cast<signed char>(byte)); }

}  // namespace
}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APCNL00B(const char* terminal, char* rc) {
    ApiCall call(kIdAPCNL00B, terminal, rc);
    if (call.Register()) call.Finish(QueryStatus(call.session(), "QPGCANCEL", "40"));
}

void APSTR00B(const char* terminal, char* rc) {
    ApiCall call(kIdAPSTR00B, terminal, rc);
    if (call.Register()) call.Finish(QueryStatus(call.session(), "QPGMSTART"));
}

void APDMTVER(const char* terminal, char* version, uint32_t length, char* rc) {
    ApiCall call(kIdAPDMTVER, terminal, rc);
    std::optional<LongFrame> reply = RunQuery(call, "QSVERSION");
    if (!reply) return;
    // The area takes the reply from byte 81 to the frame's end at most;
    // whatever the caller asked for beyond that is zeroed, so the text always
    // ends inside the area's given length.
    if (version != nullptr && length > 0) {
        uint32_t copied = std::min(length, kVersionBytes);
        std::memcpy(version, reply->at(LongFrame::kData), copied);
        if (length > copied) std::memset(version + copied, 0, length - copied);
    }
    call.Finish(StatusCode(reply->status()));
}

void APFMT00B(const char* terminal, char* freeMemory, char* rc) {
    ApiCall call(kIdAPFMT00B, terminal, rc);
    std::optional<LongFrame> reply = RunQuery(call, "QRDFORMAT");
    if (!reply) return;
    const Code code = StatusCode(reply->status());
    call.Finish(code);
    if (code != Code::kOk) return;
    if (freeMemory != nullptr) std::memcpy(freeMemory, reply->at(LongFrame::kFreeMemory), LongFrame::kFreeMemoryLen);
    call.Describe("Freier Speicher=%.4s", reply->text(LongFrame::kFreeMemory));
}

void APRTVCLK(const char* terminal, char* dateTime, char* dateFormat, char* radioClock, char* rc) {
    ApiCall call(kIdAPRTVCLK, terminal, rc);
    std::optional<LongFrame> reply = RunQuery(call, "QSVERSION");
    if (!reply) return;
    const Code code = StatusCode(reply->status());
    call.Finish(code);
    if (code != Code::kOk) return;
    // Bytes 221 and 223 lie between the fields and are never taken.
    const char format = reply->text(0)[LongFrame::kDateFormat];
    const char radio = reply->text(0)[LongFrame::kRadioClock];
    if (dateTime != nullptr) std::memcpy(dateTime, reply->at(LongFrame::kDateTime), LongFrame::kDateTimeLen);
    if (dateFormat != nullptr) *dateFormat = format;
    if (radioClock != nullptr) *radioClock = radio;
    call.Describe("Datum/Zeit=%.12s Format=%c Funkuhrstatus=%c", reply->text(LongFrame::kDateTime), format, radio);
}

void APRDRTYP(const char* terminal, const char* outputFile, char* rc) {
    ApiCall call(kIdAPRDRTYP, terminal, rc);
    char fileShown[kFileNameField];
    CopyFixedField(outputFile, fileShown, sizeof fileShown);
    call.Describe("Ausgabedatei=%s", fileShown);
    std::optional<LongFrame> reply = RunQuery(call, "QUPLRDRTB");
    if (!reply) return;
    if (Code code = StatusCode(reply->status()); code != Code::kOk) return call.Finish(code);
    // The file is opened under the name exactly as the caller gave it; the
    // copy above only serves the log text.
    call.Finish(WriteOutputFile(outputFile, reply->data()));
}

void APTYP01B(const char* terminal, char* type, char* rc) {
    ApiCall call(kIdAPTYP01B, terminal, rc);
    if (!call.Register()) return;
    TerminalType record{};
    Code code = SendKorvoCommand(call.session(), kTypeQuery, &record);
    call.Finish(code);
    if (code != Code::kOk) return;
    constexpr int kDesignationLen = sizeof record.designation;
    if (type != nullptr) std::memcpy(type, record.designation, kDesignationLen);
    call.Describe("Typ=%.*s", kDesignationLen, record.designation);
}

void APRST00B(const char* terminal, char* status, char* rc) {
    ApiCall call(kIdAPRST00B, terminal, rc);
    if (!call.Register()) return;
    TerminalType record{};
    Code code = SendKorvoCommand(call.session(), kTypeQuery, &record);
    call.Finish(code);
    if (status == nullptr) return;
    if (code == Code::kOk) std::memcpy(status, record.status, sizeof record.status);
    // The text shows the area also after a failure: then it holds what the
    // caller put there.
    call.Describe("Status=%#2x %#2x", SignedByte(status[0]), SignedByte(status[1]));
}

void APSYSINI(const char* terminal, char* rc) {
    ApiCall call(kIdAPSYSINI, terminal, rc);
    if (!call.Register()) return;
    TerminalType record{};
    call.Finish(SendKorvoCommand(call.session(), kSystemInit, &record));
}

}  // extern "C"
