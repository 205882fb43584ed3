// Parsing and applying fault rules. Numbers are parsed strictly (digits only, bounded) so that a
// typo such as "kta=5O3" is an error rather than a silently different rule.
#include "datasync-collector/FaultRules.h"

#include <algorithm>
#include <cctype>

namespace collector {
namespace {

constexpr int kMaxDelayMs = 600000;
constexpr int kMaxCount = 1000000000;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A whole number in [low, high] written with digits only.
bool ParseBounded(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 10) return false;
    long long number = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        number = number * 10 + (c - '0');
    }
    if (number < low || number > high) return false;
    value = static_cast<int>(number);
    return true;
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return pieces;
        start = end + 1;
    }
}

}  // namespace

const char* const FaultRules::kSyntaxHelp =
    "FAMILY=STATUS[xCOUNT][:devicemissing][:delay=MS][:share=PCT]\n"
    "  FAMILY          kta, navs, navp or all\n"
    "  STATUS          HTTP status to answer, 200..599, or drop: close the connection\n"
    "                  without an answer\n"
    "  xCOUNT          only the next COUNT matching requests (default: every request until the\n"
    "                  rules are replaced)\n"
    "  :devicemissing  answer with the body {\"errorCode\":\"DeviceMissing\"}\n"
    "  :delay=MS       hold the answer MS milliseconds (0..600000)\n"
    "  :share=PCT      only about PCT percent (1..100) of the matching requests, picked at\n"
    "                  random (see --seed); the others go on to the next rules\n"
    "  The first matching rule applies. Examples: kta=503x2  navs=429  all=500x1\n"
    "  kta=403x1:devicemissing  kta=200:delay=3000  all=drop:share=5";

std::string FaultRule::Text() const {
    std::string text = family + "=" + (drop ? std::string("drop") : std::to_string(status));
    if (remaining >= 0) text += "x" + std::to_string(remaining);
    if (deviceMissing) text += ":devicemissing";
    if (delayMs > 0) text += ":delay=" + std::to_string(delayMs);
    if (sharePercent < 100) text += ":share=" + std::to_string(sharePercent);
    return text;
}

bool FaultRules::Parse(const std::string& text, FaultRule& rule, std::string& error) {
    auto fail = [&](const std::string& why) {
        error = "fault rule \"" + text + "\": " + why + " (expected FAMILY=STATUS[xCOUNT][:devicemissing][:delay=MS][:share=PCT])";
        return false;
    };
    FaultRule parsed;
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    const std::string trimmed = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    const std::vector<std::string> parts = SplitAt(Lower(trimmed), ':');
    const size_t equals = parts[0].find('=');
    if (equals == std::string::npos) return fail("missing '=' between family and status");
    parsed.family = parts[0].substr(0, equals);
    if (parsed.family != "kta" && parsed.family != "navs" && parsed.family != "navp" && parsed.family != "all")
        return fail("unknown family \"" + parsed.family + "\" (kta, navs, navp or all)");
    const std::string statusAndCount = parts[0].substr(equals + 1);
    const size_t times = statusAndCount.find('x');
    parsed.drop = statusAndCount.substr(0, times) == "drop";
    if (parsed.drop)
        parsed.status = 0;
    else if (!ParseBounded(statusAndCount.substr(0, times), 200, 599, parsed.status))
        return fail("STATUS must be a number from 200 to 599 or drop");
    if (times != std::string::npos && !ParseBounded(statusAndCount.substr(times + 1), 1, kMaxCount, parsed.remaining))
        return fail("COUNT after 'x' must be a whole number of at least 1");
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string& option = parts[i];
        if (option == "devicemissing") {
            parsed.deviceMissing = true;
        } else if (option.rfind("delay=", 0) == 0) {
            if (!ParseBounded(option.substr(6), 0, kMaxDelayMs, parsed.delayMs))
                return fail("delay must be a whole number of milliseconds from 0 to 600000");
        } else if (option.rfind("share=", 0) == 0) {
            if (!ParseBounded(option.substr(6), 1, 100, parsed.sharePercent))
                return fail("share must be a whole percentage from 1 to 100");
        } else {
            return fail("unknown option \"" + option + "\" (devicemissing, delay=MS or share=PCT)");
        }
    }
    if (parsed.drop && parsed.deviceMissing) return fail("a dropped request gets no devicemissing body");
    rule = parsed;
    return true;
}

bool FaultRules::Replace(const std::vector<std::string>& texts, std::string& error) {
    std::vector<FaultRule> rules;
    for (const std::string& text : texts) {
        FaultRule rule;
        if (!Parse(text, rule, error)) return false;
        rules.push_back(rule);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules = std::move(rules);
    return true;
}

std::optional<Fault> FaultRules::Take(const std::string& family) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto rule = m_rules.begin(); rule != m_rules.end(); ++rule) {
        if (rule->family != family && rule->family != "all") continue;
        if (rule->sharePercent < 100 && std::uniform_int_distribution<int>(0, 99)(m_random) >= rule->sharePercent)
            continue;
        Fault fault;
        fault.status = rule->status;
        fault.drop = rule->drop;
        fault.deviceMissing = rule->deviceMissing;
        fault.delayMs = rule->delayMs;
        if (rule->remaining > 0 && --rule->remaining == 0) m_rules.erase(rule);
        return fault;
    }
    return std::nullopt;
}

std::vector<std::string> FaultRules::Describe() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> texts;
    for (const FaultRule& rule : m_rules) texts.push_back(rule.Text());
    return texts;
}

}  // namespace collector
