// Unix-second clocks, the parsing of time texts and the local-time texts.
//
// GetGmtTimeStamp reads exactly "YYYY-MM-DDTHH:MM:SS", then an optional fraction (".d..."; one
// or more digits, dropped: the result is whole seconds), then an optional zone: "Z", "+hh:mm",
// "-hh:mm", "+hhmm" or "-hhmm". Without a zone the text is local time of the process's TZ,
// resolved by mktime with tm_isdst = -1 (the C library decides whether daylight time applies).
// Every field is range-checked (the day against its month, leap years included; seconds
// 00..59, so leap seconds are refused); anything else, surrounding blanks and trailing text
// included, gives -1.
//
// LocalTimeText and GetTime write local time with the zone's offset at that moment
// (tm_gmtoff), so a text read back by GetGmtTimeStamp gives the same second in every zone.
#include "datasync/common/TimeText.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>

#include "datasync/common/StringUtil.h"
#include "datasync/host/Clock.h"

namespace ZEL {
namespace DateTimeUtility {
namespace {

// Reads `count` decimal digits at `pos`.
bool ReadDigits(const std::string& text, size_t pos, size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date (no time-zone database involved).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::int64_t UnixSeconds(const std::chrono::system_clock::time_point& when) {
    return std::chrono::floor<std::chrono::seconds>(when.time_since_epoch()).count();
}

}  // namespace

std::int64_t GetCurrentDatetime() {
    return UnixSeconds(Clock::GetInstance()->WallNow());
}

std::int64_t GetCurrentGmtDatetime() {
    return UnixSeconds(Clock::GetInstance()->WallNow());
}

std::int64_t GetGmtTimeStamp(const std::string& text) {
    constexpr std::int64_t kInvalid = -1;
    int year, month, day, hour, minute, second;
    if (!ReadDigits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' ||
        !ReadDigits(text, 5, 2, month) || text[7] != '-' || !ReadDigits(text, 8, 2, day) || text[10] != 'T' ||
        !ReadDigits(text, 11, 2, hour) || text[13] != ':' || !ReadDigits(text, 14, 2, minute) ||
        text[16] != ':' || !ReadDigits(text, 17, 2, second))
        return kInvalid;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return kInvalid;

    size_t pos = 19;
    if (pos < text.size() && text[pos] == '.') {
        const size_t digitsStart = ++pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
        if (pos == digitsStart) return kInvalid;
    }

    if (pos == text.size()) {
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        return static_cast<std::int64_t>(std::mktime(&local));  // -1 on failure as well
    }

    int offsetSeconds = 0;
    if (text[pos] == 'Z') {
        ++pos;
    } else if (text[pos] == '+' || text[pos] == '-') {
        const int sign = text[pos] == '-' ? -1 : 1;
        int offsetHours, offsetMinutes;
        if (!ReadDigits(text, pos + 1, 2, offsetHours)) return kInvalid;
        pos += 3;
        if (pos < text.size() && text[pos] == ':') ++pos;
        if (!ReadDigits(text, pos, 2, offsetMinutes)) return kInvalid;
        pos += 2;
        if (offsetHours > 23 || offsetMinutes > 59) return kInvalid;
        offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
    } else {
        return kInvalid;
    }
    if (pos != text.size()) return kInvalid;

    const std::int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return days * 86400 + hour * 3600 + minute * 60 + second - offsetSeconds;
}

double CompareDateTime(const std::int64_t& a, const std::int64_t& b) {
    std::int64_t difference = 0;
    // Exact whenever the difference fits; only extreme inputs take the rounded path.
    if (!__builtin_sub_overflow(a, b, &difference)) return static_cast<double>(difference);
    return static_cast<double>(a) - static_cast<double>(b);
}

std::string LocalTimeText(std::int64_t unixSeconds, bool withOffset) {
    const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return std::string();
    char text[40];
    size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    if (length == 0) return std::string();
    std::string result(text, length);
    if (withOffset) {
        const long offset = local.tm_gmtoff;
        const long magnitude = offset < 0 ? -offset : offset;
        char zone[48];
        std::snprintf(zone, sizeof(zone), "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                      (magnitude % 3600) / 60);
        result += zone;
    }
    return result;
}

}  // namespace DateTimeUtility

namespace System {

std::wstring GetTime() {
    return GetTime(DateTimeUtility::GetCurrentDatetime());
}

std::wstring GetTime(std::int64_t unixSeconds) {
    return String::UTF8ToUTF16(DateTimeUtility::LocalTimeText(unixSeconds, true));
}

}  // namespace System
}  // namespace ZEL
