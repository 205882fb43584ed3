// Time texts: GetGmtTimeStamp on any text (in UTC, independent of the machine's zone) and the NAVP
// header's zone from a local time text. A stamp of "YYYY-MM-DDTHH:MM:SSZ" prints back as itself.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "datasync/common/TimeText.h"
#include "datasync/upload/NavpHeader.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::Text(data, size);
    const std::int64_t stamp = ZEL::DateTimeUtility::GetGmtTimeStamp(text);
    if (stamp != -1 && text.size() == 20 && text[19] == 'Z') {
        const std::time_t seconds = static_cast<std::time_t>(stamp);
        std::tm utc{};
        char printed[32] = {0};
        fuzz::Check(::gmtime_r(&seconds, &utc) != nullptr, "a stamp is a time", text);
        std::snprintf(printed, sizeof printed, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                      utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
        fuzz::Check(text.compare(0, 19, printed) == 0, "a UTC text prints back as itself", text + " -> " + printed);
    }
    (void)ZEL::NavpHeader::TimeZoneFromLocalTime(ZEL::String::UTF8ToUTF16(text));
    return 0;
}
