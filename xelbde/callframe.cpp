// SPDX-License-Identifier: MIT
// The call frame every API function runs in: the API names, the fixed-field
// copy and name normalisation, the ApiCall that registers a call and always
// ends it with its two-digit code and one operations record, and the
// parameter text that record carries.
#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "xelbde/internal.h"

namespace xelbde {

const std::array<const char*, kApiCount> kApiNames = {
    "APALC00B", "APDLC00B", "APDNP00B", "APDNLOAD", "APUPL00B", "APSCL00B", "APDIR00B",
    "APEVT00B", "APEVT01B", "APSTS00B", "APQRYFIL", "APCNL00B", "APSTR00B", "APTYP00B",
    "APTYP01B", "APDMTVER", "APFMT00B", "APDEL00B", "APRTVCLK", "APSYNHST", "APRDRTYP",
    "APSYSDNL", "APSYSINI", "APRST00B", "APDSPPGE",
};

namespace {

// "%02.2d": two digits with a leading zero (the precision alone gives them;
// the zero flag it carries is ignored, which the compiler remarks on).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
void FormatCode(char* out, std::size_t size, int code) { std::snprintf(out, size, "%02.2d", code); }
#pragma GCC diagnostic pop

}  // namespace

int CopyFixedField(const char* source, char* destination, int width) {
    if (destination == nullptr || width <= 0) return 0;
    std::memset(destination, 0, static_cast<std::size_t>(width));
    if (source == nullptr) return 0;
    int copied = 0;
    while (copied < width - 1 && source[copied] != '\0' && source[copied] != ' ') {
        destination[copied] = source[copied];
        ++copied;
    }
    return copied;
}

void NormalizeBdeName(const char* terminal, char destination[kNameBufferSize]) {
    char head[kNameBufferSize] = {};
    if (terminal != nullptr) {
        std::memcpy(head, terminal, ::strnlen(terminal, kNameBufferSize - 1));
    }
    XelbdeTrace(head, kNameBufferSize, "*** NormalizeBdeName ***");
    // A dotted address keeps up to 15 characters, a name up to 10. The
    // broadcast address parses to the failure value and so counts as a name.
    int width = inet_addr(head) != INADDR_NONE ? kNameBufferSize : 11;
    std::memset(destination, 0, kNameBufferSize);  // the whole key, not only the copied width
    CopyFixedField(terminal, destination, width);
}

const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

ApiCall::ApiCall(ApiFunctionId id, const char* terminal, char* rc) : id_(id), rc_(rc) {
    NormalizeBdeName(terminal, name_);
    std::snprintf(text_, sizeof text_, "%.*s%s", static_cast<int>(kTerminalKey.size()), kTerminalKey.data(), name_);
}

ApiCall::~ApiCall() {
    const bool cancelled = session_.cancel != nullptr && session_.cancel->IsSet();
    if (code_ != Code::kOk && (TcpcomInterrupted() || cancelled)) {
        XelbdeInitLog();
        TcpcomLog(kSourceXelbde, kApiNames[static_cast<std::size_t>(id_)], kLogError, ToInt(code_), 0,
                  TcpcomInterrupted() ? "Abbruch durch Signal" : "Abbruch durch XelbdeCancel", text_);
    }
    SetCobolReturnCode(id_, code_, rc_, text_);
    EndCallOn(slot_);
}

void ApiCall::Describe(const char* format, ...) {
    int used = std::snprintf(text_, sizeof text_, "%.*s%s ", static_cast<int>(kTerminalKey.size()),
                             kTerminalKey.data(), name_);
    if (used < 0 || used >= static_cast<int>(sizeof text_)) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text_ + used, sizeof text_ - static_cast<std::size_t>(used), format, args);
    va_end(args);
}

bool ApiCall::Register() {
    SocketResult found = RegisterApiFunction(id_, name_);
    if (!found.ok()) {
        code_ = found.code;
        return false;
    }
    slot_ = found.slot;
    session_ = Session{found.socket, GetBdeTimeout(), BeginCallOn(found.slot)};
    return true;
}

int SetCobolReturnCode(int id, Code code, char* field, const char* text) {
    int value = ToInt(code);
    if (value < 0 || value > 99) {
        char message[96];
        std::snprintf(message, sizeof message, "Programminterner Fehler: ungueltiger Returncode (%d)", value);
        XelbdeInitLog();
        TcpcomLog(kSourceXelbde, "SetCobolReturnCode", kLogError, XELBDE_INTERNAL, 0, message, "");
        value = XELBDE_INTERNAL;
    }
    // The caller's field is written before the record, so the code arrives
    // even when the log cannot be written.
    char digits[16];
    FormatCode(digits, sizeof digits, value);
    if (field != nullptr) std::memcpy(field, digits, 2);

    XelbdeInitLog();
    const char* function = (id >= 0 && id < kApiCount) ? kApiNames[static_cast<std::size_t>(id)] : "?";
    return TcpcomLog(kSourceXelbde, function, kLogOperation, value, 0, text != nullptr ? text : "", "");
}

std::optional<OperationText> SplitOperationText(std::string_view text) {
    if (text.size() < kTerminalKey.size() ||
        CompareNoCase(text.data(), kTerminalKey.data(), static_cast<int>(kTerminalKey.size())) != 1) {
        return std::nullopt;
    }
    // The name runs from after the "=" to a blank or ";" (runs of them
    // before it are skipped); the parameters follow the character that
    // ended it.
    std::string_view rest = text.substr(kTerminalKey.size());
    const std::size_t start = rest.find_first_not_of(" ;");
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    const std::size_t end = rest.find_first_of(" ;");
    OperationText split{rest.substr(0, end), {}};
    if (end != std::string_view::npos) split.parameters = rest.substr(end + 1);
    return split;
}

}  // namespace xelbde

extern "C" void XelbdeInterrupt(int on) { TcpcomInterrupt(on); }
