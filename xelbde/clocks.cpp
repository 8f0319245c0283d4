// Clocks: APSCL00B sets the terminal's clock (to a given time or the host's),
// APSYNHST sets the host's clock from the terminal's radio clock, within a
// largest allowed difference. PortableSetLocalTime is the only way to the
// host clock, and it goes through one replaceable setter.
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "xelbde/internal.h"

namespace xelbde {
namespace {

using LongFrame = std::array<unsigned char, kLongFrameLen>;


// "QSETCLOCK" request: format character, ":", HHMMSSDDMMYY, blank.
constexpr int kClockFormat = 81;
constexpr int kClockColon = 82;
constexpr int kClockTime = 83;  // 83-94
constexpr int kClockTimeLen = 12;

// The time parameter that stands for the host's current local time: the
// word and five blanks, twelve characters.
constexpr std::string_view kSystemTime = "*SYSVAL     ";
static_assert(kSystemTime.size() == kClockTimeLen);

constexpr int kTimeLogWidth = 20;  // the time as the log text shows it

// Terminal date and time as APRTVCLK delivers it: YYMMDDHHMMSS.
constexpr int kYear = 0;
constexpr int kMonth = 2;
constexpr int kDay = 4;
constexpr int kHour = 6;
constexpr int kMinute = 8;
constexpr int kSecond = 10;

// Sets CLOCK_REALTIME to the local time given. A time that does not exist
// on the host's calendar gives EINVAL.
int SetSystemClock(const struct tm* localTime) {
    struct tm copy = *localTime;
    time_t seconds = std::mktime(&copy);
    if (seconds == static_cast<time_t>(-1)) return EINVAL;
    struct timespec value{};
    value.tv_sec = seconds;
    if (::clock_settime(CLOCK_REALTIME, &value) != 0) return errno != 0 ? errno : EPERM;
    return 0;
}

std::atomic<HostClockSetter> g_hostClockSetter{&SetSystemClock};

// Day, month, ... of the terminal time: true when the field was valid.
bool ReadField(const char* dateTime, int offset, bool nonZero, int low, int high, int* value) {
    if (ParseTwoDigits(dateTime + offset, 2, value, nonZero) != 0) return false;
    return *value >= low && *value <= high;
}

}  // namespace

int ParseTwoDigits(const char* text, int length, int* value, bool nonZero) {
    char buffer[16] = {};
    int n = length < 0 ? 0 : (length < static_cast<int>(sizeof buffer) ? length : static_cast<int>(sizeof buffer) - 1);
    if (text != nullptr) std::memcpy(buffer, text, static_cast<std::size_t>(n));

    // Leading blanks skipped, the digits up to the first non-digit; a field
    // without a digit (two letters, say) is 0.
    const char* p = buffer;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    int result = 0;
    for (; *p >= '0' && *p <= '9'; ++p) result = result * 10 + (*p - '0');

    if (value != nullptr) *value = result;
    return nonZero && result == 0 ? XELBDE_BAD_TERMINAL_DATA : XELBDE_OK;
}

HostClockSetter SetHostClockSetter(HostClockSetter setter) {
    // A null setter restores the one that sets the real clock.
    return g_hostClockSetter.exchange(setter != nullptr ? setter : &SetSystemClock);
}

int PortableSetLocalTime(const struct tm* time) {
    int error = g_hostClockSetter.load()(time);
    if (error == 0) return XELBDE_OK;

    char message[kLogLineMax];
    if (std::strftime(message, sizeof message, "Fehler beim Setzen der Systemuhrzeit (%d.%m.%Y %H:%M:%S)", time) ==
        0) {
        message[0] = '\0';
    }
    XelbdeInitLog();
    TcpcomLog(kSourceXelbde, "PortableSetLocalTime", kLogError, XELBDE_CLOCK, error, message, std::strerror(error));
    return XELBDE_CLOCK;
}

}  // namespace xelbde

using namespace xelbde;

extern "C" {

void APSCL00B(const char* terminal, const char* time, const char* format, char* rc) {
    char name[kNameBufferSize];
    char timeShown[kTimeLogWidth];
    char text[kParamTextSize];
    const char formatChar = format != nullptr ? format[0] : ' ';
    NormalizeBdeName(terminal, name);
    CopyFixedField(time, timeShown, kTimeLogWidth);
    std::snprintf(text, sizeof text, "Terminal=%s Uhrzeit=%s Format=%c", name, timeShown, formatChar);

    int code = XELBDE_OK;
    int socket = -1;
    if (RegisterApiFunction(kIdAPSCL00B, name, &code, &socket)) {
        LongFrame frame;
        BuildLongRequest(frame.data(), "QSETCLOCK", kProgramQueries);
        frame[kClockFormat] = static_cast<unsigned char>(formatChar);
        frame[kClockColon] = ':';

        // The time field is twelve characters; a shorter text is taken up to
        // its end and the missing characters stay blank.
        std::size_t given = time != nullptr ? ::strnlen(time, kClockTimeLen) : 0;
        if (std::string_view(time != nullptr ? time : "", given) == kSystemTime) {
            char now[kClockTimeLen + 1] = {};
            time_t seconds = std::time(nullptr);
            struct tm local{};
            if (::localtime_r(&seconds, &local) != nullptr &&
                std::strftime(now, sizeof now, "%H%M%S%d%m%y", &local) == kClockTimeLen) {
                std::memcpy(frame.data() + kClockTime, now, kClockTimeLen);
            }
        } else if (given > 0) {
            std::memcpy(frame.data() + kClockTime, time, given);
        }
        // Byte 95 stays the blank BuildLongFrame put there.

        code = LongTransaction(socket, frame.data(), frame.data()) == 1 ? ReplyStatusCode(frame.data() + kLongStatus)
                                                                        : XELBDE_EXCHANGE_FAILED;
    }
    SetCobolReturnCode(kIdAPSCL00B, code, rc, text);
}

void APSYNHST(const char* terminal, uint32_t maxDiff, char* rc) {
    char name[kNameBufferSize];
    char text[kParamTextSize];
    NormalizeBdeName(terminal, name);
    std::snprintf(text, sizeof text, "Terminal=%s MaxDiff=%u", name, maxDiff);

    // APRTVCLK checks the connection, writes its own record and leaves its
    // code in the caller's field.
    char ownField[3] = {};
    char* field = rc != nullptr ? rc : ownField;
    char dateTime[kClockTimeLen + 1] = {};
    char dateFormat = ' ';
    char radioClock = ' ';
    APRTVCLK(terminal, dateTime, &dateFormat, &radioClock, field);

    int code = XELBDE_OK;
    struct tm terminalTime{};
    time_t terminalSeconds = 0;
    if (field[0] != '0' || field[1] != '0') {
        const char status[3] = {field[0], field[1], '\0'};
        code = ParseStatusCode(status);
    } else if (radioClock != 'W' && radioClock != 'S') {
        std::snprintf(text, sizeof text, "Terminal=%s MaxDiff=%u Fehler=Funkuhr nicht synchron", name, maxDiff);
        code = XELBDE_CLOCK;
    } else if (int day, month, year, hour, minute, second;
               !ReadField(dateTime, kDay, true, 1, 99, &day) || !ReadField(dateTime, kMonth, true, 1, 99, &month) ||
               !ReadField(dateTime, kYear, false, 0, 99, &year) || !ReadField(dateTime, kHour, false, 0, 23, &hour) ||
               !ReadField(dateTime, kMinute, false, 0, 59, &minute) ||
               !ReadField(dateTime, kSecond, false, 0, 59, &second)) {
        code = XELBDE_BAD_TERMINAL_DATA;
    } else {
        // Two-digit years: below 80 are 2000 to 2079, the rest 1980 to 1999.
        terminalTime.tm_mday = day;
        terminalTime.tm_mon = month - 1;
        terminalTime.tm_year = year < 80 ? year + 100 : year;
        terminalTime.tm_hour = hour;
        terminalTime.tm_min = minute;
        terminalTime.tm_sec = second;
        terminalTime.tm_isdst = -1;
        // mktime normalises in place: day 31 of a 30-day month is the 1st of
        // the next one.
        terminalSeconds = std::mktime(&terminalTime);
        if (terminalSeconds == static_cast<time_t>(-1)) code = XELBDE_BAD_TERMINAL_DATA;
    }

    if (code == XELBDE_OK) {
        time_t now = std::time(nullptr);
        long long difference = std::llabs(static_cast<long long>(now) - static_cast<long long>(terminalSeconds));
        // MaxDiff counts as a signed value (2^31 and above are negative, so
        // nothing passes); the limit in seconds is computed without overflow.
        long long limit = static_cast<long long>(static_cast<int32_t>(maxDiff)) * 60;
        if (difference > limit) {
            std::snprintf(text, sizeof text,
                          "Terminal=%s MaxDiff=%u Fehler=max. erlaubter Zeitunterschieder ueberschritten", name,
                          maxDiff);
            code = XELBDE_CLOCK;
        } else {
            struct tm hostNow{};
            if (::localtime_r(&now, &hostNow) != nullptr) terminalTime.tm_wday = hostNow.tm_wday;
            code = PortableSetLocalTime(&terminalTime);
        }
    }
    SetCobolReturnCode(kIdAPSYNHST, code, field, text);
}

}  // extern "C"
