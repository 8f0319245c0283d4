// SPDX-License-Identifier: MIT
// ISDN dial-up: a terminal without a network connection of its own is
// reached through one of the ISDN adapters listed in terminal.ini. The
// adapter's socket is registered under the terminal's name, so every later
// call talks to the terminal through it as over a direct connection.
#include <cstdio>
#include <cstring>

#include "xelbde/internal.h"

namespace xelbde {

namespace {

constexpr int kDigitsSize = 32;
constexpr char kIdentificationCommand[] = "QSTISDNID";

// The number dialled for an entry: area code, number and extension digits.
void EntryDialNumber(const TerminalEntry& entry, char number[kDigitsSize]) {
    char part[kDigitsSize];
    std::memset(number, 0, kDigitsSize);
    std::size_t used = 0;
    auto append = [&](const char* field, int n) {
        ExtractDigits(part, field, n);
        std::size_t length = std::strlen(part);
        if (used + length >= kDigitsSize) length = kDigitsSize - 1 - used;
        std::memcpy(number + used, part, length);
        used += length;
    };
    append(entry.vorwahl, sizeof entry.vorwahl);
    append(entry.nummer, sizeof entry.nummer);
    append(entry.durchwahl, sizeof entry.durchwahl);
}

// The identifier of an entry: the first of its fields that yields digits.
void EntryIdentifier(const TerminalEntry& entry, char identifier[kDigitsSize]) {
    if (ExtractDigits(identifier, entry.terminalid, 5)) return;
    if (ExtractDigits(identifier, entry.durchwahl, 5)) return;
    if (ExtractDigits(identifier, entry.nummer, 15)) return;
    ExtractDigits(identifier, entry.vorwahl, 5);
}

// A short request with its text in the data area, without terminator.
ShortFrame AdapterRequest(const char command[2], const char* text) {
    ShortFrame frame = BuildShortFrame(command);
    if (text != nullptr) frame.PutText(ShortFrame::kData, text, ShortFrame::kDataLen);
    return frame;
}

}  // namespace

bool ExtractDigits(char destination[32], const char* field, int n) {
    std::memset(destination, 0, kDigitsSize);
    int taken = 0;
    while (taken < n && taken < kDigitsSize - 1 && field[taken] >= '0' && field[taken] <= '9') {
        destination[taken] = field[taken];
        ++taken;
    }
    return taken > 0;
}

int FindTag(std::span<const unsigned char> reply, const char* tag) {
    const std::size_t tagLength = std::strlen(tag);
    if (tagLength == 0) return -1;
    for (std::size_t position = 0; position + tagLength <= reply.size(); ++position) {
        if (std::memcmp(reply.data() + position, tag, tagLength) == 0) return static_cast<int>(position + tagLength);
    }
    return -1;
}

Code QueryAdapterStatus(const Session& session) {
    std::optional<ShortFrame> reply = ShortTransaction(session, BuildShortFrame("ST"));
    if (!reply) return Code::kAdapterLineState;
    if (Code status = StatusCode(reply->status()); status != Code::kOk) return status;
    const int line = FindTag(reply->bytes, "L=");
    // The line state is the character after the tag; a tag at the very end
    // of the reply carries none.
    if (line < 0 || line >= static_cast<int>(ShortFrame::kSize)) return Code::kAdapterLineState;
    if (FindTag(reply->bytes, "I=") < 0) return Code::kAdapterLineState;
    return reply->bytes[static_cast<std::size_t>(line)] != '0' ? Code::kAdapterBusy : Code::kOk;
}

Code SendAdapterId(const Session& session, const char* identifier) {
    char text[ShortFrame::kDataLen + 1];
    std::snprintf(text, sizeof text, "N=%s", identifier);
    std::optional<ShortFrame> reply = ShortTransaction(session, AdapterRequest("ID", text));
    if (!reply) return Code::kAdapterId;
    if (Code status = StatusCode(reply->status()); status != Code::kOk) return status;
    if (!reply->HasMarker(ShortFrame::kEndMarker, kReplyMarker)) return Code::kExchangeFailed;
    return Code::kOk;
}

Code DialNumber(const Session& session, const char* number, const char ueberhang[3]) {
    // T= carries exactly three characters: the field's, padded on the left
    // with "0" up to three. A terminal whose entry gives no UEBERHANG at all
    // (the field holds no character) or a field of three blanks dials with
    // the default 090; an explicit empty or 0 value gives 000.
    char overhang[4] = {'0', '0', '0', '\0'};
    if (std::memcmp(ueberhang, "   ", 3) == 0 || ueberhang[0] == '\0') {
        std::memcpy(overhang, "090", 3);
    } else {
        std::size_t length = 0;
        while (length < 3 && ueberhang[length] != '\0') ++length;
        std::memcpy(overhang + (3 - length), ueberhang, length);
    }
    char text[ShortFrame::kDataLen + 1];
    std::snprintf(text, sizeof text, "N=%s T=%s", number, overhang);
    std::optional<ShortFrame> reply = ShortTransaction(session, AdapterRequest("DN", text));
    return reply ? StatusCode(reply->status()) : Code::kAdapterDial;
}

bool SendIsdnIdentification(const Session& session, const char* terminal, const char* identifier,
                            const char* number) {
    LongFrame frame = BuildLongRequest(kIdentificationCommand, kProgramQueries);
    frame.PutText(LongFrame::kIsdnTerminal, terminal, LongFrame::kIsdnFieldLen);
    frame.PutText(LongFrame::kIsdnTerminalId, identifier, LongFrame::kIsdnFieldLen);
    frame.PutText(LongFrame::kIsdnAdapterNumber, number, LongFrame::kIsdnFieldLen);
    std::optional<LongFrame> reply = LongTransaction(session, frame);
    // An interrupted first sending is no reason for a second.
    if (!reply && !session.StopRequested()) reply = LongTransaction(session, frame);
    return reply && reply->status() == kStatusOk;
}

namespace {

// Once "DN" has gone out, a dial-up that fails or is interrupted ends the
// call with one "CL" before the connection is closed, so that no ISDN call
// stays up. It goes out also after a stop; its reply is awaited at most 2 s
// (less with a shorter time-out) and never changes the code.
Code HangUpAfterFailure(const Session& session, Code code) {
    SendOnce(session.ForCleanUp(), BuildShortFrame("CL"));
    return code;
}

}  // namespace

Code DialIsdnTerminal(const char* terminal, const char* adapter, const Session& session) {
    TerminalEntry terminalEntry;
    TerminalEntry adapterEntry;
    char terminalNumber[kDigitsSize];
    char terminalId[kDigitsSize];
    char adapterNumber[kDigitsSize];
    char adapterId[kDigitsSize];
    if (!FindTerminalEntry(terminal, &terminalEntry)) return Code::kIsdnEntryMissing;
    EntryDialNumber(terminalEntry, terminalNumber);
    EntryIdentifier(terminalEntry, terminalId);
    if (!FindTerminalEntry(adapter, &adapterEntry)) return Code::kIsdnEntryMissing;
    EntryDialNumber(adapterEntry, adapterNumber);
    EntryIdentifier(adapterEntry, adapterId);

    if (Code code = QueryAdapterStatus(session); code != Code::kOk) return code;
    if (Code code = SendAdapterId(session, adapterId); code != Code::kOk) return code;
    if (Code code = DialNumber(session, terminalNumber, terminalEntry.ueberhang); code != Code::kOk) {
        return HangUpAfterFailure(session, code);
    }
    // A signal during the identification ends the dial-up through its
    // failure path, also when the terminal still answered.
    if (!SendIsdnIdentification(session, terminal, terminalId, adapterNumber) || session.StopRequested()) {
        return HangUpAfterFailure(session, Code::kIsdnIdentification);
    }
    return Code::kOk;
}

Code ConnectIsdnTerminal(const char* terminal) {
    for (std::size_t row = 0; row < TerminalTable.size(); ++row) {
        // Each row is copied before use: another thread's load may replace
        // the table meanwhile, and a copy is consistent in itself.
        TerminalEntry entry;
        if (!CopyTerminalRow(row, &entry)) break;
        if (!CompareNoCase(entry.klasse, "ADPT", 4)) continue;
        std::optional<IpAddress> address = ParseEntryAddress(entry);
        if (!address) continue;
        // Without a port for this adapter it cannot be reached: try the next
        // one, as for a failed connect.
        int port = 0;
        if (SocketServiceName("telnet", &port) != kTcpOk) continue;

        char rowName[sizeof entry.name + 1] = {};
        std::memcpy(rowName, entry.name, sizeof entry.name);
        char adapter[kNameBufferSize];
        NormalizeBdeName(rowName, adapter);
        uint16_t port16 = static_cast<uint16_t>(port);
        XelbdeTrace(adapter, static_cast<int>(std::strlen(adapter)), "*** Adaptername ***");
        XelbdeTrace(address->data(), static_cast<int>(address->size()), "*** CONNECT: IP ***");
        XelbdeTrace(&port16, sizeof port16, "*** CONNECT: PORT ***");

        const int timeout = GetBdeTimeout();
        SocketResult connected = ConnectTerminal(terminal, Endpoint{*address, port}, timeout);
        if (!connected.ok()) continue;
        Code code = DialIsdnTerminal(terminal, adapter, Session{connected.socket, timeout});
        if (code == Code::kOk) return Code::kOk;
        TcpcomClose(connected.socket);
        ReleaseSocketHandle(terminal);
        if (code != Code::kAdapterLineState && code != Code::kAdapterBusy) return code;
    }
    return Code::kNoAdapter;
}

}  // namespace xelbde
