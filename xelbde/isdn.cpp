// ISDN dial-up: a terminal without a network connection of its own is
// reached through one of the ISDN adapters listed in terminal.ini. The
// adapter's socket is registered under the terminal's name, so every later
// call talks to the terminal through it as over a direct connection.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "xelbde/internal.h"

namespace xelbde {

namespace {

constexpr int kDigitsSize = 32;
constexpr char kIdentificationCommand[] = "QSTISDNID";
constexpr int kIdentTerminalName = 81;
constexpr int kIdentTerminalId = 113;
constexpr int kIdentAdapterNumber = 145;
constexpr int kIdentFieldWidth = 32;

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

void SetShortCommand(unsigned char* frame, const char command[3]) {
    frame[kShortCommand] = static_cast<unsigned char>(command[0]);
    frame[kShortCommand + 1] = static_cast<unsigned char>(command[1]);
}

// Places a text into the short frame's data area, without terminator.
void SetShortData(unsigned char* frame, const char* text) {
    std::size_t length = std::min<std::size_t>(std::strlen(text), kShortDataLen);
    std::memcpy(frame + kShortData, text, length);
}

void PutField(unsigned char* frame, int offset, const char* text) {
    std::size_t length = std::min<std::size_t>(std::strlen(text), kIdentFieldWidth);
    std::memcpy(frame + offset, text, length);
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

int FindTag(const unsigned char* reply, int length, const char* tag) {
    int tagLength = static_cast<int>(std::strlen(tag));
    if (tagLength == 0) return -1;
    for (int position = 0; position + tagLength <= length; ++position) {
        if (std::memcmp(reply + position, tag, static_cast<std::size_t>(tagLength)) == 0) {
            return position + tagLength;
        }
    }
    return -1;
}

int QueryAdapterStatus(int socket, bool* busy) {
    unsigned char frame[kShortFrameLen];
    unsigned char reply[kShortFrameLen];
    BuildShortFrame(frame);
    SetShortCommand(frame, "ST");
    if (!ShortTransaction(socket, frame, reply)) return XELBDE_ADAPTER_LINE_STATE;
    int status = ReplyStatusCode(reply + kShortCommand);
    if (status != XELBDE_OK) return status;
    int line = FindTag(reply, kShortFrameLen, "L=");
    // The line state is the character after the tag; a tag at the very end
    // of the reply carries none.
    if (line < 0 || line >= kShortFrameLen) return XELBDE_ADAPTER_LINE_STATE;
    if (FindTag(reply, kShortFrameLen, "I=") < 0) return XELBDE_ADAPTER_LINE_STATE;
    *busy = reply[line] != '0';
    return XELBDE_OK;
}

int SendAdapterId(int socket, const char* identifier) {
    unsigned char frame[kShortFrameLen];
    unsigned char reply[kShortFrameLen];
    char text[kShortDataLen + 1];
    BuildShortFrame(frame);
    SetShortCommand(frame, "ID");
    std::snprintf(text, sizeof text, "N=%s", identifier);
    SetShortData(frame, text);
    if (!ShortTransaction(socket, frame, reply)) return XELBDE_ADAPTER_ID;
    int status = ReplyStatusCode(reply + kShortCommand);
    if (status != XELBDE_OK) return status;
    if (std::memcmp(reply + kShortEndMarker, kReplyMarker, sizeof kReplyMarker) != 0) {
        return XELBDE_EXCHANGE_FAILED;
    }
    return XELBDE_OK;
}

int DialNumber(int socket, const char* number, const char ueberhang[3]) {
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
    unsigned char frame[kShortFrameLen];
    unsigned char reply[kShortFrameLen];
    char text[kShortDataLen + 1];
    BuildShortFrame(frame);
    SetShortCommand(frame, "DN");
    std::snprintf(text, sizeof text, "N=%s T=%s", number, overhang);
    SetShortData(frame, text);
    if (!ShortTransaction(socket, frame, reply)) return XELBDE_ADAPTER_DIAL;
    return ReplyStatusCode(reply + kShortCommand);
}

bool SendIsdnIdentification(int socket, const char* terminal, const char* identifier, const char* number) {
    unsigned char frame[kLongFrameLen];
    unsigned char reply[kLongFrameLen];
    BuildLongRequest(frame, kIdentificationCommand, kProgramQueries);
    PutField(frame, kIdentTerminalName, terminal);
    PutField(frame, kIdentTerminalId, identifier);
    PutField(frame, kIdentAdapterNumber, number);
    if (!LongTransaction(socket, frame, reply) && !LongTransaction(socket, frame, reply)) return false;
    return reply[kLongStatus] == '0' && reply[kLongStatus + 1] == '0';
}

int DialIsdnTerminal(const char* terminal, const char* adapter, int socket) {
    TerminalEntry terminalEntry;
    TerminalEntry adapterEntry;
    char terminalNumber[kDigitsSize];
    char terminalId[kDigitsSize];
    char adapterNumber[kDigitsSize];
    char adapterId[kDigitsSize];
    if (!FindTerminalEntry(terminal, &terminalEntry)) return XELBDE_ISDN_ENTRY_MISSING;
    EntryDialNumber(terminalEntry, terminalNumber);
    EntryIdentifier(terminalEntry, terminalId);
    if (!FindTerminalEntry(adapter, &adapterEntry)) return XELBDE_ISDN_ENTRY_MISSING;
    EntryDialNumber(adapterEntry, adapterNumber);
    EntryIdentifier(adapterEntry, adapterId);

    bool busy = false;
    int code = QueryAdapterStatus(socket, &busy);
    if (code != XELBDE_OK) return code;
    if (busy) return XELBDE_ADAPTER_BUSY;
    code = SendAdapterId(socket, adapterId);
    if (code != XELBDE_OK) return code;
    code = DialNumber(socket, terminalNumber, terminalEntry.ueberhang);
    if (code != XELBDE_OK) return code;
    if (!SendIsdnIdentification(socket, terminal, terminalId, adapterNumber)) return XELBDE_ISDN_IDENTIFICATION;
    return XELBDE_OK;
}

int ConnectIsdnTerminal(const char* terminal) {
    for (std::size_t row = 0; row < TerminalTable.size(); ++row) {
        // Each row is copied before use: another thread's load may replace
        // the table meanwhile, and a copy is consistent in itself.
        TerminalEntry entry;
        if (!CopyTerminalRow(row, &entry)) break;
        if (!CompareNoCase(entry.klasse, "ADPT", 4)) continue;
        unsigned char address[4];
        if (!ParseEntryAddress(entry, address)) continue;
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
        XelbdeTrace(address, sizeof address, "*** CONNECT: IP ***");
        XelbdeTrace(&port16, sizeof port16, "*** CONNECT: PORT ***");

        int socket = -1;
        if (ConnectTerminal(terminal, address, port, GetBdeTimeout(), &socket) != XELBDE_OK) continue;
        int code = DialIsdnTerminal(terminal, adapter, socket);
        if (code == XELBDE_OK) return XELBDE_OK;
        int ignored = 0;
        TcpcomClose(socket);
        ReleaseSocketHandle(terminal, &ignored);
        if (code != XELBDE_ADAPTER_LINE_STATE && code != XELBDE_ADAPTER_BUSY) return code;
    }
    return XELBDE_NO_ADAPTER;
}

}  // namespace xelbde
