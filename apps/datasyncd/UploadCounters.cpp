// Counting the agent's exchanges by family and outcome.
#include "datasyncd/UploadCounters.h"

#include <json/json.h>

#include <memory>

namespace datasyncd {
namespace {

// The members of a KTA or NAVS body that list its records, and the NAVP body's.
const char* const kRecordLists[] = {"dataset_items_log", "dataset_contexts", "item_contexts", "events"};

// NAVP bodies are the text "json=" followed by the JSON.
const std::string kNavpPrefix = "json=";

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
    const bool navp = body.compare(0, kNavpPrefix.size(), kNavpPrefix) == 0;
    const char* begin = body.data() + (navp ? kNavpPrefix.size() : 0);
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(begin, body.data() + body.size(), &root, &errors) || !root.isObject()) return 0;
    for (const char* list : kRecordLists) {
        const Json::Value* records = root.find(list, list + std::char_traits<char>::length(list));
        if (records != nullptr && records->isArray()) return records->size();
    }
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
