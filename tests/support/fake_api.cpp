// SPDX-License-Identifier: MIT
// Recording double of the API for the front-end tests.
#include "tests/support/fake_api.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include <gtest/gtest.h>

#include "xelbde/xelbde.h"

namespace fake_api {
namespace {

XelbdeProgressCallback g_progress = nullptr;  // what the front end registered
void* g_progressContext = nullptr;

struct Script {
    std::map<std::string, int> codes;
    std::map<std::string, std::string> outputs;
    int displayLogResult = 0;
    std::string version;
    std::string type = "5214-031  ";
    std::string clock = "061222103000";
    char format = '1';
    char radio = 'W';
    unsigned char status[2] = {0xB5, 0x62};
};

Script& TheScript() {
    static Script script;
    return script;
}

std::vector<Call>& TheCalls() {
    static std::vector<Call> calls;
    return calls;
}

std::optional<std::string> Text(const char* text) {
    if (text == nullptr) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> Field(const char* text, std::size_t width) {
    if (text == nullptr) return std::nullopt;
    return std::string(text, width);
}

Call& Record(const char* function, const char* terminal) {
    TheCalls().push_back(Call{function, {Text(terminal)}, {}});
    return TheCalls().back();
}

// Writes the scripted code of the function into rc as two digits and returns it.
int Finish(const char* function, char* rc) {
    auto found = TheScript().codes.find(function);
    int code = found == TheScript().codes.end() ? 0 : found->second;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%02u", static_cast<unsigned>(code) % 100);
    std::memcpy(rc, digits, 2);
    return code;
}

void WriteOutput(const char* function, const char* path) {
    auto found = TheScript().outputs.find(function);
    if (found == TheScript().outputs.end() || path == nullptr) return;
    testing_support::WriteFile(path, found->second);
}

void CopyArea(const std::string& source, char* area, std::size_t width) {
    if (area != nullptr) std::memcpy(area, source.data(), std::min(source.size(), width));
}

}  // namespace

const std::vector<Call>& Calls() { return TheCalls(); }
void ClearCalls() { TheCalls().clear(); }

std::vector<std::string> CallNames() {
    std::vector<std::string> names;
    for (const auto& call : TheCalls()) names.push_back(call.function);
    return names;
}

const Call& OnlyCall(const std::string& function) {
    static const Call none;
    const Call* found = nullptr;
    int count = 0;
    for (const auto& call : TheCalls()) {
        if (call.function == function) {
            found = &call;
            ++count;
        }
    }
    EXPECT_EQ(count, 1) << "calls of " << function;
    return found != nullptr ? *found : none;
}

void SetReturnCode(const std::string& function, int code) { TheScript().codes[function] = code; }
void SetDisplayLogResult(int result) { TheScript().displayLogResult = result; }
void SetVersion(std::string_view text) { TheScript().version = text; }
void SetType(std::string_view tenCharacters) { TheScript().type = tenCharacters; }
void SetClock(std::string_view twelveCharacters, char format, char radio) {
    TheScript().clock = twelveCharacters;
    TheScript().format = format;
    TheScript().radio = radio;
}
void SetStatus(unsigned char first, unsigned char second) {
    TheScript().status[0] = first;
    TheScript().status[1] = second;
}
void SetOutputContent(const std::string& function, std::string_view content) {
    TheScript().outputs[function] = content;
}

}  // namespace fake_api

using fake_api::Field;
using fake_api::Finish;
using fake_api::Record;
using fake_api::Text;
using fake_api::TheScript;

extern "C" {

const char* XelbdeReturnCodeText(int) { return "recorded by the test double"; }

void APALC00B(const char* terminal, const char* type, char* rc) {
    Record("APALC00B", terminal).texts.push_back(Text(type));
    Finish("APALC00B", rc);
}

void APDLC00B(const char* terminal, const char* type, char* rc) {
    Record("APDLC00B", terminal).texts.push_back(Text(type));
    Finish("APDLC00B", rc);
}

void APCNL00B(const char* terminal, char* rc) {
    Record("APCNL00B", terminal);
    Finish("APCNL00B", rc);
}

void APSTR00B(const char* terminal, char* rc) {
    Record("APSTR00B", terminal);
    Finish("APSTR00B", rc);
}

void APDMTVER(const char* terminal, char* version, uint32_t length, char* rc) {
    Record("APDMTVER", terminal).numbers.push_back(length);
    fake_api::CopyArea(TheScript().version, version, length);
    Finish("APDMTVER", rc);
}

void APFMT00B(const char* terminal, char* freeMemory, char* rc) {
    Record("APFMT00B", terminal).texts.push_back(freeMemory == nullptr ? std::nullopt : std::optional<std::string>(""));
    fake_api::CopyArea("0512", freeMemory, 4);
    Finish("APFMT00B", rc);
}

void APRTVCLK(const char* terminal, char* dateTime, char* dateFormat, char* radioClock, char* rc) {
    Record("APRTVCLK", terminal);
    fake_api::CopyArea(TheScript().clock, dateTime, 12);
    *dateFormat = TheScript().format;
    *radioClock = TheScript().radio;
    Finish("APRTVCLK", rc);
}

void APRDRTYP(const char* terminal, const char* outputFile, char* rc) {
    Record("APRDRTYP", terminal).texts.push_back(Text(outputFile));
    fake_api::WriteOutput("APRDRTYP", outputFile);
    Finish("APRDRTYP", rc);
}

void APTYP01B(const char* terminal, char* type, char* rc) {
    Record("APTYP01B", terminal);
    fake_api::CopyArea(TheScript().type, type, 10);
    Finish("APTYP01B", rc);
}

void APRST00B(const char* terminal, char* status, char* rc) {
    Record("APRST00B", terminal);
    std::memcpy(status, TheScript().status, 2);
    Finish("APRST00B", rc);
}

void APSYSINI(const char* terminal, char* rc) {
    Record("APSYSINI", terminal);
    Finish("APSYSINI", rc);
}

void APSCL00B(const char* terminal, const char* time, const char* format, char* rc) {
    auto& call = Record("APSCL00B", terminal);
    call.texts.push_back(Field(time, 12));
    call.texts.push_back(Field(format, 1));
    Finish("APSCL00B", rc);
}

void APSYNHST(const char* terminal, uint32_t maxDiff, char* rc) {
    Record("APSYNHST", terminal).numbers.push_back(maxDiff);
    Finish("APSYNHST", rc);
}

void APDNP00B(const char* terminal, const char* program, const char* type, const char* klass, char* rc) {
    auto& call = Record("APDNP00B", terminal);
    call.texts.push_back(Text(program));
    call.texts.push_back(Text(type));
    call.texts.push_back(Text(klass));
    Finish("APDNP00B", rc);
}

void APDNLOAD(const char* terminal, const char* downloadFile, const char* terminalFile, const char* replace,
              char* rc) {
    auto& call = Record("APDNLOAD", terminal);
    call.texts.push_back(Text(downloadFile));
    call.texts.push_back(Text(terminalFile));
    call.texts.push_back(Text(replace));
    // A download reports three blocks of 1792 bytes of a 5376-byte file, then its end.
    for (long block = 1; fake_api::g_progress != nullptr && block <= 4; ++block) {
        const XelbdeProgress progress{"APDNLOAD", 1792LL * (block < 4 ? block : 3), 5376, block < 4 ? block : 3,
                                      block == 4 ? 1 : 0};
        fake_api::g_progress(fake_api::g_progressContext, &progress);
    }
    Finish("APDNLOAD", rc);
}

void APSYSDNL(const char* terminal, const char* osFile, char* rc) {
    Record("APSYSDNL", terminal).texts.push_back(Text(osFile));
    Finish("APSYSDNL", rc);
}

void APUPL00B(const char* terminal, const char* uploadFile, const char* terminalFile, const char* deleteFlag,
              char* rc) {
    auto& call = Record("APUPL00B", terminal);
    call.texts.push_back(Text(uploadFile));
    call.texts.push_back(Text(terminalFile));
    call.texts.push_back(Text(deleteFlag));
    Finish("APUPL00B", rc);
}

void APDIR00B(const char* terminal, const char* outputFile, char* rc) {
    Record("APDIR00B", terminal).texts.push_back(Text(outputFile));
    fake_api::WriteOutput("APDIR00B", outputFile);
    Finish("APDIR00B", rc);
}

void APDEL00B(const char* terminal, const char* terminalFile, char* rc) {
    Record("APDEL00B", terminal).texts.push_back(Text(terminalFile));
    Finish("APDEL00B", rc);
}

void APDSPPGE(const char* terminal, const char* segment, const char* offset, const char* outputFile, char* rc) {
    auto& call = Record("APDSPPGE", terminal);
    call.texts.push_back(Text(segment));
    call.texts.push_back(Text(offset));
    call.texts.push_back(Text(outputFile));
    fake_api::WriteOutput("APDSPPGE", outputFile);
    Finish("APDSPPGE", rc);
}

void XelbdeInterrupt(int) {}

void XelbdeSetProgressCallback(XelbdeProgressCallback callback, void* context) {
    fake_api::g_progress = callback;
    fake_api::g_progressContext = context;
}

int XelbdeDisplayLog(const char* terminal, const char* outputFile, const char* from, const char* to,
                     const char* function, const char* reserved1, const char* reserved2, const char* selection) {
    auto& call = Record("XelbdeDisplayLog", terminal);
    for (const char* text : {outputFile, from, to, function, reserved1, reserved2, selection}) {
        call.texts.push_back(Text(text));
    }
    fake_api::WriteOutput("XelbdeDisplayLog", outputFile);
    return TheScript().displayLogResult;
}

}  // extern "C"
