// The collector's fault injection: an ordered set of rules that decide, per request, whether the
// collector answers with something other than a plain 200 (another status, a "DeviceMissing"
// body, a delay, or no answer at all), so that end-to-end tests can drive the agent's back-off,
// 403, time-out and lost-connection handling against a real server.
//
// Rule syntax (one rule per text, case-insensitive):
//
//     FAMILY=STATUS[xCOUNT][:devicemissing][:delay=MS][:share=PCT]
//
//   FAMILY         kta, navs, navp, or all (every family)
//   STATUS         the HTTP status to answer, 200..599, or "drop": close the connection
//                  without an answer (after the delay, if any)
//   xCOUNT         apply to the next COUNT matching requests only (COUNT >= 1); without it the
//                  rule applies to every matching request until the rule set is replaced
//   :devicemissing answer with the body {"errorCode":"DeviceMissing"} (not with drop)
//   :delay=MS      hold the answer MS milliseconds (0..600000) before sending it
//   :share=PCT     apply to about PCT percent (1..100) of the matching requests, picked by the
//                  rule set's random source; a request not picked goes on to the next rules
//
// Examples: "kta=503x2", "navs=429", "all=500x1", "kta=403x1:devicemissing",
// "kta=200:delay=3000", "all=drop:share=5", "navs=503:share=10:delay=500".
//
// For each request the first rule (in the given order) whose family matches, and that picks
// the request when it has a share, applies and, when counted, uses up one of its requests; a
// spent rule is removed. No rule applies: plain 200. The random source is seeded at
// construction: the same seed and the same order of requests give the same faults.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace collector {

struct FaultRule {
    std::string family;  // "kta", "navs", "navp" or "all"
    int status = 200;    // 0 with drop
    bool drop = false;   // close the connection without an answer
    int remaining = -1;  // requests left; -1: until the rules are replaced
    bool deviceMissing = false;
    int delayMs = 0;
    int sharePercent = 100;

    // The rule in canonical syntax, with the requests it has left.
    std::string Text() const;
};

// What to do with one request.
struct Fault {
    int status = 200;  // 0 with drop
    bool drop = false;
    bool deviceMissing = false;
    int delayMs = 0;
};

class FaultRules {
public:
    explicit FaultRules(std::uint64_t seed = 1) : m_random(seed) {}

    // One line per syntax element, for --help texts.
    static const char* const kSyntaxHelp;

    // False with `error` (naming the rule and what is wrong with it) when `text` is not a rule.
    static bool Parse(const std::string& text, FaultRule& rule, std::string& error);

    // Replaces the whole rule set; all or nothing: on a bad rule the current set stays and
    // `error` says which rule is wrong. An empty list clears the set.
    bool Replace(const std::vector<std::string>& texts, std::string& error);

    // The fault for one request of `family`, using up one request of a counted rule; nothing
    // when no rule applies.
    std::optional<Fault> Take(const std::string& family);

    // The rules still in force, in canonical syntax.
    std::vector<std::string> Describe() const;

private:
    mutable std::mutex m_mutex;
    std::vector<FaultRule> m_rules;  // guarded by m_mutex
    std::mt19937_64 m_random;        // guarded by m_mutex
};

}  // namespace collector
