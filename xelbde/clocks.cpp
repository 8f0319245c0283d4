// SPDX-License-Identifier: MIT
// Clocks: APSCL00B sets the terminal's clock (to a given time or the host's),
// APSYNHST sets the host's clock from the terminal's radio clock, within a
// largest allowed difference. PortableSetLocalTime is the only way to the
// host clock, and it goes through the one replaceable setter (host.cpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "tcpcom/internal.h"
#include "xelbde/internal.h"

namespace xelbde {
namespace {

// The time parameter that stands for the host's current local time: the
// word and five blanks, twelve characters.
constexpr std::string_view kSystemTime = "*SYSVAL     ";
static_assert(kSystemTime.size() == LongFrame::kClockTimeLen);

constexpr int kTimeLogWidth = 20;  // the time as the log text shows it

// Terminal date and time as APRTVCLK delivers it: YYMMDDHHMMSS.
constexpr int kYear = 0;
constexpr int kMonth = 2;
constexpr int kDay = 4;
constexpr int kHour = 6;
constexpr int kMinute = 8;
constexpr int kSecond = 10;

// Day, month, ... of the terminal time: true when the field was valid.
bool ReadField(const char* dateTime, int offset, bool nonZero, int low, int high, int* value) {
    if (ParseTwoDigits(dateTime + offset, 2, value, nonZero) != Code::kOk) return false;
    return *value >= low && *value <= high;
}

}  // namespace

Code ReadTerminalTime(const char* dateTime, struct tm* time) {
    int day, month, year, hour, minute, second;
    if (!ReadField(dateTime, kDay, true, 1, 99, &day) || !ReadField(dateTime, kMonth, true, 1, 99, &month) ||
        !ReadField(dateTime, kYear, false, 0, 99, &year) || !ReadField(dateTime, kHour, false, 0, 23, &hour) ||
        !ReadField(dateTime, kMinute, false, 0, 59, &minute) ||
        !ReadField(dateTime, kSecond, false, 0, 59, &second)) {
        return Code::kBadTerminalData;
    }
    *time = {};
    time->tm_mday = day;
    time->tm_mon = month - 1;
    time->tm_year = year < 80 ? year + 100 : year;
    time->tm_hour = hour;
    time->tm_min = minute;
    time->tm_sec = second;
    time->tm_isdst = -1;
    return Code::kOk;
}

Code ParseTwoDigits(const char* text, int length, int* value, bool nonZero) {
    // Leading blanks skipped, the digits up to the first non-digit; a field
    // without a digit (two letters, say) is 0.
    const std::size_t n = text != nullptr && length > 0 ? ::strnlen(text, static_cast<std::size_t>(length)) : 0;
    const tcpcom::Decimal d = tcpcom::ScanDecimal(std::string_view(text != nullptr ? text : "", n), {.sign = false});
    const int result = static_cast<int>(d.magnitude);
    if (value != nullptr) *value = result;
    return nonZero && result == 0 ? Code::kBadTerminalData : Code::kOk;
}

Code PortableSetLocalTime(const struct tm* time) {
    int error = SetHostClock(time);
    if (error == 0) return Code::kOk;

    char message[kLogLineMax];
    if (std::strftime(message, sizeof message, "Fehler beim Setzen der Systemuhrzeit (%d.%m.%Y %H:%M:%S)", time) ==
        0) {
        message[0] = '\0';
    }
    XelbdeInitLog();
    TcpcomLog(kSourceXelbde, "PortableSetLocalTime", kLogError, XELBDE_CLOCK, error, message, std::strerror(error));
    return Code::kClock;
}

}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APSCL00B(const char* terminal, const char* time, const char* format, char* rc) {
    ApiCall call(kIdAPSCL00B, terminal, rc);
    char timeShown[kTimeLogWidth];
    const char formatChar = format != nullptr ? format[0] : ' ';
    CopyFixedField(time, timeShown, kTimeLogWidth);
    call.Describe("Uhrzeit=%s Format=%c", timeShown, formatChar);
    if (!call.Register()) return;

    LongFrame frame = BuildLongRequest("QSETCLOCK", kProgramQueries);
    frame.bytes[LongFrame::kClockFormat] = static_cast<unsigned char>(formatChar);
    frame.bytes[LongFrame::kClockColon] = ':';
    // The time field is twelve characters; a shorter text is taken up to its
    // end and the missing characters stay blank. Byte 95 stays blank.
    std::size_t given = time != nullptr ? ::strnlen(time, LongFrame::kClockTimeLen) : 0;
    if (std::string_view(time != nullptr ? time : "", given) == kSystemTime) {
        char now[LongFrame::kClockTimeLen + 1] = {};
        time_t seconds = std::time(nullptr);
        struct tm local{};
        if (::localtime_r(&seconds, &local) != nullptr &&
            std::strftime(now, sizeof now, "%H%M%S%d%m%y", &local) == LongFrame::kClockTimeLen) {
            std::memcpy(frame.at(LongFrame::kClockTime), now, LongFrame::kClockTimeLen);
        }
    } else {
        frame.PutText(LongFrame::kClockTime, time, given);
    }
    std::optional<LongFrame> reply = LongTransaction(call.session(), frame);
    call.Finish(reply ? StatusCode(reply->status()) : Code::kExchangeFailed);
}

void APSYNHST(const char* terminal, uint32_t maxDiff, char* rc) {
    // APRTVCLK checks the connection, writes its own record and leaves its
    // code in the caller's field (or in one of our own).
    char ownField[3] = {};
    char* field = rc != nullptr ? rc : ownField;
    ApiCall call(kIdAPSYNHST, terminal, field);
    call.Describe("MaxDiff=%u", maxDiff);

    char dateTime[LongFrame::kClockTimeLen + 1] = {};
    char dateFormat = ' ';
    char radioClock = ' ';
    APRTVCLK(terminal, dateTime, &dateFormat, &radioClock, field);
    if (field[0] != '0' || field[1] != '0') return call.Finish(ParseStatusCode(TerminalStatus{{field[0], field[1]}}));
    if (radioClock != 'W' && radioClock != 'S') {
        call.Describe("MaxDiff=%u Fehler=Funkuhr nicht synchron", maxDiff);
        return call.Finish(Code::kClock);
    }
    struct tm terminalTime{};
    if (ReadTerminalTime(dateTime, &terminalTime) != Code::kOk) return call.Finish(Code::kBadTerminalData);
    // mktime normalises in place: day 31 of a 30-day month is the 1st of the
    // next one.
    const time_t terminalSeconds = std::mktime(&terminalTime);
    if (terminalSeconds == static_cast<time_t>(-1)) return call.Finish(Code::kBadTerminalData);

    const time_t now = std::time(nullptr);
    const long long difference = std::llabs(static_cast<long long>(now) - static_cast<long long>(terminalSeconds));
    // MaxDiff counts as a signed value (2^31 and above are negative, so
    // nothing passes); the limit in seconds is computed without overflow.
    const long long limit = static_cast<long long>(static_cast<int32_t>(maxDiff)) * 60;
    if (difference > limit) {
        call.Describe("MaxDiff=%u Fehler=max. erlaubter Zeitunterschieder ueberschritten", maxDiff);
        return call.Finish(Code::kClock);
    }
    struct tm hostNow{};
    if (::localtime_r(&now, &hostNow) != nullptr) terminalTime.tm_wday = hostNow.tm_wday;
    call.Finish(PortableSetLocalTime(&terminalTime));
}

}  // extern "C"
