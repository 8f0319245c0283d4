// SPDX-License-Identifier: MIT
// Reading terminal.ini: the file's bytes into the table of its sections.
#include "xelbde/terminalini.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tcpcom/internal.h"

namespace xelbde {
namespace {

constexpr int kTokenMax = 80;  // names, keys and values of 81 characters or more are refused
constexpr char kCtrlZ = 0x1A;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Field of an entry with the keyword that fills it, in the order the keys
// are compared.
struct KeyField {
    const char* keyword;
    std::size_t offset;
    int width;
};
constexpr KeyField kKeyFields[] = {
    {"KLASSE", offsetof(TerminalEntry, klasse), sizeof(TerminalEntry::klasse)},
    {"IP", offsetof(TerminalEntry, ip), sizeof(TerminalEntry::ip)},
    {"UEBERHANG", offsetof(TerminalEntry, ueberhang), sizeof(TerminalEntry::ueberhang)},
    {"VORWAHL", offsetof(TerminalEntry, vorwahl), sizeof(TerminalEntry::vorwahl)},
    {"NUMMER", offsetof(TerminalEntry, nummer), sizeof(TerminalEntry::nummer)},
    {"DURCHWAHL", offsetof(TerminalEntry, durchwahl), sizeof(TerminalEntry::durchwahl)},
    {"TERMINALID", offsetof(TerminalEntry, terminalid), sizeof(TerminalEntry::terminalid)},
};

// A value given again replaces the whole field: nothing of an earlier,
// longer value is left behind it. An empty value changes nothing.
void StoreValue(TerminalEntry& entry, const KeyField& field, const char* value, int length) {
    char* destination = reinterpret_cast<char*>(&entry) + field.offset;
    if (field.offset == offsetof(TerminalEntry, ueberhang)) {
        char number[16];
        // "%03.3d": the zero flag adds nothing to a precision of 3.
        std::snprintf(number, sizeof number, "%.3d", tcpcom::StrtolInt(value));
        std::memcpy(destination, number, static_cast<std::size_t>(field.width));
        return;
    }
    if (length == 0) return;
    std::memset(destination, 0, static_cast<std::size_t>(field.width));
    std::memcpy(destination, value, static_cast<std::size_t>(std::min(length, field.width)));
}

// "[", optional blanks or tabs, the name (up to a blank, tab, "=", "]" or
// the line's end), optional blanks or tabs, "]"; the rest is ignored.
bool ParseHeader(const char* line, std::string_view* name) {
    const char* p = line + 1;
    while (IsBlank(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !IsBlank(*p) && *p != '=' && *p != ']') ++p;
    const std::size_t length = static_cast<std::size_t>(p - start);
    if (length > kTokenMax) return false;
    while (IsBlank(*p)) ++p;
    if (*p != ']') return false;
    *name = std::string_view(start, length);
    return true;
}

}  // namespace

bool TerminalIniReader::Feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size() && !stopped_; ++i) Put(bytes[i]);
    return !stopped_;
}

void TerminalIniReader::Finish() {
    if (stopped_) return;
    if (pendingCr_) Append('\r');
    if (length_ > 0 && !stopped_) EndLine();
    stopped_ = true;
}

void TerminalIniReader::Put(char c) {
    if (pendingCr_) {
        pendingCr_ = false;
        if (c == '\n') {  // CR LF ends the line like LF alone
            EndLine();
            return;
        }
        Append('\r');
        if (stopped_) return;
    }
    if (c == kCtrlZ) {  // ends the line and the file
        EndLine();
        stopped_ = true;
    } else if (c == '\n') {
        EndLine();
    } else if (c == '\r') {
        pendingCr_ = true;
    } else {
        Append(c);
    }
}

void TerminalIniReader::Append(char c) {
    line_[length_++] = c;
    if (length_ == kLineMax) EndLine();
}

void TerminalIniReader::EndLine() {
    line_[length_] = '\0';
    length_ = 0;
    if (!stopped_ && ApplyLine(line_) == LineResult::kStop) stopped_ = true;
}

TerminalIniReader::LineResult TerminalIniReader::ApplyLine(char* line) {
    TrimLeft(line);
    TrimRight(line);
    if (line[0] == '\0' || line[0] == ';') return LineResult::kGoOn;
    if (line[0] == '[') {
        std::string_view name;
        if (ParseHeader(line, &name)) return StartEntry(name);
        // No header: its keys must not land in the entry before it.
        inSection_ = true;
        current_ = nullptr;
        return LineResult::kGoOn;
    }
    return ApplyKeyLine(line);
}

TerminalIniReader::LineResult TerminalIniReader::StartEntry(std::string_view name) {
    if (entries_ >= kTerminalTableRows) return LineResult::kStop;
    TerminalEntry& entry = table_[static_cast<std::size_t>(entries_++)];
    std::memcpy(entry.name, name.data(), std::min(name.size(), sizeof entry.name));
    inSection_ = true;
    current_ = &entry;
    return LineResult::kGoOn;
}

TerminalIniReader::LineResult TerminalIniReader::ApplyKeyLine(const char* line) {
    const char* p = line;
    const char* key = p;
    while (*p != '\0' && !IsBlank(*p) && *p != '=') ++p;
    const int keyLength = static_cast<int>(p - key);
    while (IsBlank(*p)) ++p;
    if (*p != '=') return LineResult::kGoOn;  // no key line: ignored
    ++p;
    while (IsBlank(*p)) ++p;
    const char* value = p;
    while (*p != '\0' && !IsBlank(*p) && *p != '=') ++p;
    const int valueLength = static_cast<int>(p - value);
    if (keyLength > kTokenMax || valueLength > kTokenMax) return LineResult::kGoOn;
    if (!inSection_) return LineResult::kStop;  // a key before the first section ends reading
    if (current_ == nullptr) return LineResult::kGoOn;

    char valueText[kTokenMax + 1];
    std::memcpy(valueText, value, static_cast<std::size_t>(valueLength));
    valueText[valueLength] = '\0';
    for (const KeyField& field : kKeyFields) {
        const int keywordLength = static_cast<int>(std::strlen(field.keyword));
        if (keyLength >= keywordLength && CompareNoCase(key, field.keyword, keywordLength)) {
            StoreValue(*current_, field, valueText, valueLength);
            break;
        }
    }
    return LineResult::kGoOn;
}

TerminalRows ReadTerminalIni(std::string_view bytes) {
    TerminalRows table;
    TerminalIniReader reader(table);
    reader.Feed(bytes);
    reader.Finish();
    return table;
}

}  // namespace xelbde
