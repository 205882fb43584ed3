// Sets the process's TZ for the lifetime of one object and puts the previous value (or its
// absence) back afterwards, so that time-text tests are independent of the machine's zone.
// POSIX rule texts ("CET-1CEST,M3.5.0,M10.5.0/3") need no time-zone database. TZ is
// process-wide: use it only in tests that run no other threads reading local time.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace testsupport {

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone) {
        if (const char* previous = std::getenv("TZ")) m_previous = previous;
        ::setenv("TZ", zone.c_str(), 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        m_previous ? ::setenv("TZ", m_previous->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<std::string> m_previous;
};

// Zones used by the time tests: no daylight time, a half-hour-and-quarter offset, and two
// zones with daylight time on either side of UTC.
constexpr const char* kZoneUtc = "UTC0";
constexpr const char* kZoneNepal = "<+0545>-5:45";
constexpr const char* kZoneCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr const char* kZoneUsEastern = "EST5EDT,M3.2.0,M11.1.0";

// `seconds` as a row's logtime: local time in the collectors' "%Y-%m-%dT%H:%M:%S" form.
inline std::string LocalLogtime(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

}  // namespace testsupport
