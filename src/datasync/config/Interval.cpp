// Frequency texts of the policy ("15m", "PT15M", ...) to milliseconds.
//
// Accepted, in any letter case and with optional blanks around the whole text:
//   <n>s, <n>m, <n>h, <n>d   n a non-negative decimal integer, no sign, no blank before the unit
//   ISO-8601 durations       "P" [nW] [nD] ["T" [nH] [nM] [nS]], components in that order, each
//                            at most once, at least one in all and at least one after "T":
//                            "PT15M", "P1D", "P1DT2H", "PT1H30M", "PT45S", "P2W", "P1W2D".
// Weeks count as 7 days. Years and months ("P1Y", "P1M") are refused because they have no fixed
// length, and so are fractions ("PT0.5S"): the policy never sends them. Anything else, the
// empty text and values past the range of milliseconds included, gives one day and one warning
// in host.log naming the text.
#include "datasync/config/Interval.h"

#include "datasync/common/StringUtil.h"
#include "datasync/host/Log.h"

namespace ZEL {
namespace utility {
namespace {

constexpr std::uint64_t kSecond = 1000;
constexpr std::uint64_t kMinute = 60 * kSecond;
constexpr std::uint64_t kHour = 60 * kMinute;
constexpr std::uint64_t kDay = 24 * kHour;
constexpr std::uint64_t kWeek = 7 * kDay;
constexpr std::uint64_t kFallback = kDay;

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Reads the digits at `pos` (at least one) into `value`; false on none or overflow.
bool ReadNumber(const std::wstring& text, size_t& pos, std::uint64_t& value) {
    const size_t start = pos;
    value = 0;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(text[pos] - L'0'), &value))
            return false;
    }
    return pos > start;
}

// total += count * unit; false on overflow.
bool AddUnits(std::uint64_t& total, std::uint64_t count, std::uint64_t unit) {
    std::uint64_t product = 0;
    return !__builtin_mul_overflow(count, unit, &product) && !__builtin_add_overflow(total, product, &total);
}

std::uint64_t UnitOfSuffix(wchar_t c) {
    switch (c) {
        case L'S':
            return kSecond;
        case L'M':
            return kMinute;
        case L'H':
            return kHour;
        case L'D':
            return kDay;
    }
    return 0;
}

// "<n><unit>", `text` upper-cased and trimmed.
bool ParseSuffixForm(const std::wstring& text, std::uint64_t& milliseconds) {
    size_t pos = 0;
    std::uint64_t count = 0;
    if (!ReadNumber(text, pos, count) || pos + 1 != text.size()) return false;
    const std::uint64_t unit = UnitOfSuffix(text[pos]);
    milliseconds = 0;
    return unit != 0 && AddUnits(milliseconds, count, unit);
}

// An ISO-8601 component: its designator, whether it belongs after "T", and its length.
// Listed in the order the components must appear; the index doubles as their rank.
struct IsoComponent {
    wchar_t designator;
    bool timePart;
    std::uint64_t unit;
};
constexpr IsoComponent kIsoComponents[] = {
    {L'W', false, kWeek},  {L'D', false, kDay},   {L'H', true, kHour},
    {L'M', true, kMinute}, {L'S', true, kSecond},
};
constexpr int kIsoComponentCount = static_cast<int>(sizeof(kIsoComponents) / sizeof(kIsoComponents[0]));

// The rank of `designator` in the date or time part; -1 when it has none there.
int IsoRank(wchar_t designator, bool timePart) {
    for (int rank = 0; rank < kIsoComponentCount; ++rank) {
        if (kIsoComponents[rank].designator == designator && kIsoComponents[rank].timePart == timePart)
            return rank;
    }
    return -1;
}

// The ISO-8601 duration form, `text` upper-cased and trimmed.
bool ParseIsoDuration(const std::wstring& text, std::uint64_t& milliseconds) {
    if (text.empty() || text[0] != L'P') return false;
    int lastRank = -1;  // components must come in rank order, each at most once
    bool inTime = false;
    bool anyComponent = false;
    bool anyTimeComponent = false;
    std::uint64_t total = 0;
    size_t pos = 1;
    while (pos < text.size()) {
        if (text[pos] == L'T') {
            if (inTime) return false;
            inTime = true;
            ++pos;
            continue;
        }
        std::uint64_t count = 0;
        if (!ReadNumber(text, pos, count) || pos >= text.size()) return false;
        const int rank = IsoRank(text[pos++], inTime);
        if (rank < 0 || rank <= lastRank || !AddUnits(total, count, kIsoComponents[rank].unit)) return false;
        lastRank = rank;
        anyComponent = true;
        anyTimeComponent = anyTimeComponent || inTime;
    }
    if (!anyComponent || (inTime && !anyTimeComponent)) return false;
    milliseconds = total;
    return true;
}

// The text as it may appear inside one log line: control characters become '?'.
std::wstring OneLine(std::wstring text) {
    for (wchar_t& c : text) {
        if (c < L' ' || c == 0x7F) c = L'?';
    }
    return text;
}

}  // namespace

std::uint64_t GetIntervalInMilliseconds(const std::wstring& interval) {
    std::wstring text = interval;
    String::trim(text);
    text = String::ToUpper(text);
    std::uint64_t milliseconds = 0;
    if (ParseSuffixForm(text, milliseconds) || ParseIsoDuration(text, milliseconds)) return milliseconds;
    // Bound at the warning, not once: lines go to the sink factory installed now.
    Log log;
    if (InitLog(log, L"host.log", 4))
        log.w(L"GetIntervalInMilliseconds: cannot read interval [%s]; using one day (%llu ms)",
              OneLine(interval), kFallback);
    return kFallback;
}

}  // namespace utility
}  // namespace ZEL
