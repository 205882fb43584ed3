// Interval and retention texts of the policy: GetIntervalInMilliseconds on any text, and
// ParseRetentionDays, whose result always lies between 0 and the maximum (or is the default).
#include "datasync/config/Interval.h"
#include "datasync/housekeeping/RetentionUtils.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = ZEL::String::UTF8ToUTF16(fuzz::Text(data, size));
    (void)ZEL::utility::GetIntervalInMilliseconds(text);
    constexpr int kDefault = 30, kMax = 3650;
    bool overflowed = false;
    const int days = TelemetryUtils::RetentionUtils::ParseRetentionDays(text, kDefault, kMax, &overflowed);
    fuzz::Check(days > 0 && days <= kMax, "retention days within (0, max]", fuzz::Text(data, size));
    fuzz::Check(!overflowed || days == kMax, "an overflow gives the maximum", fuzz::Text(data, size));
    return 0;
}
