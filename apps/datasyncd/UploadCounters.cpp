// Counting the agent's exchanges by family and outcome.
#include "datasyncd/UploadCounters.h"

#include <iterator>
#include <string_view>

namespace datasyncd {
namespace {

// The members of a KTA or NAVS body that list its records, and the NAVP body's.
const char* const kRecordLists[] = {"dataset_items_log", "dataset_contexts", "item_contexts", "events"};

// NAVP bodies are the text "json=" followed by the JSON.
const std::string kNavpPrefix = "json=";

// Skims a JSON text without building it: enough to find the members of the top-level object
// and count the elements of an array. Strings are skipped with their escapes, nested values by
// their brackets; a text whose brackets or strings do not close fails. Scalars are not checked.
class Skim {
public:
    explicit Skim(std::string_view text) : m_text(text) {}

    bool Failed() const { return m_failed; }
    bool AtEnd() {
        SkipSpace();
        return m_at == m_text.size();
    }
    // Consumes `c` (after white space) when it comes next.
    bool Take(char c) {
        SkipSpace();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool Peek(char c) {
        SkipSpace();
        return m_at < m_text.size() && m_text[m_at] == c;
    }
    // A string's raw text (escapes left as written); fails when none comes next.
    std::string_view String() {
        if (!Peek('"')) return Fail();
        const std::size_t begin = m_at + 1;
        if (!SkipString()) return Fail();
        return m_text.substr(begin, m_at - 1 - begin);
    }
    // Skips one value of any kind.
    void Value() {
        SkipSpace();
        if (Peek('"')) {
            String();
            return;
        }
        int depth = 0;
        while (m_at < m_text.size() && !m_failed) {
            const char c = m_text[m_at];
            if (c == '"') {
                if (!SkipString()) Fail();
                continue;
            }
            if (depth == 0 && (c == ',' || c == '}' || c == ']')) return;
            if (c == '{' || c == '[') ++depth;
            if (c == '}' || c == ']') --depth;
            ++m_at;
            if (depth == 0 && (c == '}' || c == ']')) return;
        }
        if (depth != 0) Fail();
    }
    // The elements of the array that comes next (-1 when it does not close).
    long long ArrayElements() {
        Take('[');
        long long count = 0;
        if (Take(']')) return 0;
        do {
            Value();
            ++count;
        } while (!m_failed && Take(','));
        return !m_failed && Take(']') ? count : -1;
    }

private:
    std::string_view Fail() {
        m_failed = true;
        m_at = m_text.size();
        return {};
    }
    void SkipSpace() {
        while (m_at < m_text.size() &&
               (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\r' || m_text[m_at] == '\n'))
            ++m_at;
    }
    // From the opening quote at m_at to just past the closing one; false when it does not close.
    // Most of a body is strings: the closing quote is the next one that no odd run of
    // backslashes escapes, found a quote at a time rather than a character at a time.
    bool SkipString() {
        const std::size_t begin = m_at + 1;
        for (std::size_t quote = m_text.find('"', begin); quote != std::string_view::npos;
             quote = m_text.find('"', quote + 1)) {
            std::size_t backslashes = 0;
            while (quote - backslashes > begin && m_text[quote - backslashes - 1] == '\\') ++backslashes;
            if (backslashes % 2 != 0) continue;
            m_at = quote + 1;
            return true;
        }
        return false;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    bool m_failed = false;
};

std::size_t IndexOf(FailureClass failure) {
    for (std::size_t i = 0; i < kFailureClasses.size(); ++i)
        if (kFailureClasses[i] == failure) return i;
    return kFailureClasses.size() - 1;
}

}  // namespace

const char* FailureClassName(FailureClass failure) {
    switch (failure) {
        case FailureClass::Http4xx:
            return "http_4xx";
        case FailureClass::Http5xx:
            return "http_5xx";
        case FailureClass::HttpOther:
            return "http_other";
        case FailureClass::Transport:
            return "transport";
    }
    return "transport";
}

UploadCounters::UploadCounters(ZEL::CoreUtility& inner, std::function<FamilyUrls()> familyUrls,
                               ZEL::Clock& clock, std::function<void()> exchanged)
    : m_inner(inner),
      m_familyUrls(std::move(familyUrls)),
      m_clock(clock),
      m_exchanged(std::move(exchanged)) {}

ZELCore::InvokeHttpResponse UploadCounters::InvokeHttp(const std::string& url,
                                                       const std::map<std::string, std::string>& headers,
                                                       int& method, const std::string& body,
                                                       ZELCore::HttpAuthType authType, bool keepAlive,
                                                       const std::string& extra) {
    ZELCore::InvokeHttpResponse response =
        m_inner.InvokeHttp(url, headers, method, body, authType, keepAlive, extra);
    const std::string family = FamilyOf(url, m_familyUrls ? m_familyUrls() : FamilyUrls());
    const int status = response.response.statusCode;
    const bool accepted =
        response.resultCode == ZELCore::TransportResult::OK && status >= 200 && status < 300;
    // Parsed before the lock is taken: a body may be large.
    const std::uint64_t rows = accepted ? RowsInBody(body) : 0;
    const auto wall = m_clock.WallNow();
    const auto steady = m_clock.SteadyNow();

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        FamilyUploads& counts = m_counts[family];
        if (accepted) {
            ++counts.batchesAccepted;
            counts.rowsAccepted += rows;
            counts.lastAcceptedWall = wall;
            counts.lastAcceptedSteady = steady;
        } else {
            ++counts.failures[IndexOf(Classify(response))];
        }
    }
    if (m_exchanged) m_exchanged();
    return response;
}

UploadCounts UploadCounters::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

std::uint64_t UploadCounters::RowsInBody(const std::string& body) {
    // Skimmed, not parsed: a body is counted after every accepted exchange, and building it as a
    // document costs about as much as the agent spent building it.
    const bool navp = body.compare(0, kNavpPrefix.size(), kNavpPrefix) == 0;
    Skim skim(std::string_view(body).substr(navp ? kNavpPrefix.size() : 0));
    constexpr std::size_t kLists = std::size(kRecordLists);
    long long listed[kLists] = {-1, -1, -1, -1};  // the elements of each record list present
    if (!skim.Take('{')) return 0;
    if (!skim.Take('}')) {
        do {
            const std::string_view key = skim.String();
            if (!skim.Take(':')) return 0;
            std::size_t list = 0;
            while (list < kLists && key != kRecordLists[list]) ++list;
            if (list < kLists && skim.Peek('['))
                listed[list] = skim.ArrayElements();
            else
                skim.Value();
        } while (!skim.Failed() && skim.Take(','));
        if (skim.Failed() || !skim.Take('}')) return 0;
    }
    if (!skim.AtEnd()) return 0;
    for (const long long count : listed)
        if (count >= 0) return static_cast<std::uint64_t>(count);
    return 1;  // a device context: the record is the body itself
}

FailureClass UploadCounters::Classify(const ZELCore::InvokeHttpResponse& response) {
    if (response.resultCode != ZELCore::TransportResult::OK) return FailureClass::Transport;
    const int status = response.response.statusCode;
    if (status >= 400 && status < 500) return FailureClass::Http4xx;
    if (status >= 500 && status < 600) return FailureClass::Http5xx;
    return FailureClass::HttpOther;
}

std::string UploadCounters::FamilyOf(const std::string& url, const FamilyUrls& urls) {
    std::string family = "other";
    std::size_t longest = 0;
    for (const auto& [name, prefix] : urls) {
        if (prefix.empty() || prefix.size() <= longest || url.compare(0, prefix.size(), prefix) != 0)
            continue;
        family = name;
        longest = prefix.size();
    }
    return family;
}

}  // namespace datasyncd
