// Reading the collector's record file.
#include "datasyncctl/UploadTally.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/UniqueFd.h"

namespace datasyncctl {
namespace {

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string TextOf(const Json::Value& object, const char* member) {
    if (!object.isObject()) return "";
    const Json::Value& value = object[member];
    return value.isString() ? value.asString() : "";
}

}  // namespace

UploadTally::UploadTally(std::string recordFile, std::string deviceContextId)
    : m_recordFile(std::move(recordFile)), m_deviceContextId(std::move(deviceContextId)) {}

int UploadTally::Missing(const std::vector<DemoDataset>& datasets, int rows, std::string& text) const {
    int missing = 0;
    text.clear();
    for (const DemoDataset& dataset : datasets)
        for (const std::string& family : dataset.families) {
            const int expected = dataset.deviceContext ? 1 : rows;
            const int got = dataset.deviceContext ? (DeviceContextAccepted(family) ? 1 : 0) : Accepted(family, dataset.id);
            if (got >= expected) continue;
            missing += expected - got;
            text += " " + family + " " + dataset.name + " " + std::to_string(got) + "/" + std::to_string(expected) + ";";
        }
    return missing;
}

bool UploadTally::Poll(std::string& error) {
    const platform::UniqueFd fd(::open(m_recordFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return true;
        error = "cannot read " + m_recordFile + ": " + std::strerror(errno);
        return false;
    }
    std::string added;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::pread(fd.get(), buffer, sizeof buffer, static_cast<off_t>(m_offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read " + m_recordFile + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0) break;
        added.append(buffer, static_cast<size_t>(got));
        m_offset += static_cast<std::uint64_t>(got);
    }

    m_partial += added;
    size_t start = 0;
    size_t newline;
    while ((newline = m_partial.find('\n', start)) != std::string::npos) {
        Take(m_partial.substr(start, newline - start));
        start = newline + 1;
    }
    m_partial.erase(0, start);
    return true;
}

void UploadTally::Take(const std::string& line) {
    if (line.empty()) return;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value record;
    std::string errors;
    if (!reader->parse(line.data(), line.data() + line.size(), &record, &errors) || !record.isObject()) {
        ++m_unreadable;
        return;
    }
    const int status = record["status"].isInt() ? record["status"].asInt() : 0;
    if (status < 200 || status > 299) return;  // refused: not accepted
    const std::string familyName = TextOf(record, "family");
    const Json::Value& body = record["body"];
    if (familyName.empty() || !body.isObject()) return;  // not an upload this demo makes

    Family& family = m_families[familyName];
    if (familyName == "navp") {
        TakeNavpEvents(family, body);
        return;
    }
    const std::string path = TextOf(record, "path");
    if (EndsWith(path, "/global-context") || body.isMember("device_info")) {
        if (TextOf(body, "device_context_id") == m_deviceContextId) ++family.deviceContexts;
        return;
    }
    TakeItemEvents(family, body);
}

void UploadTally::TakeItemEvents(Family& family, const Json::Value& body) {
    const Json::Value& datasets = body["dataset_items_log"];
    if (!datasets.isArray()) return;  // dataset or item contexts: no item rows
    for (const Json::Value& dataset : datasets) {
        const std::string datasetId = TextOf(dataset, "dataset_id");
        const Json::Value& events =
            dataset.isObject() ? dataset["item_events_log"] : Json::Value::nullSingleton();
        if (!events.isArray()) continue;
        for (const Json::Value& event : events) {
            const std::string itemId = TextOf(event, "item_id");
            if (!itemId.empty()) ++family.items[datasetId][itemId];
        }
    }
}

void UploadTally::TakeNavpEvents(Family& family, const Json::Value& body) {
    const Json::Value& events = body["events"];
    if (!events.isArray()) return;
    for (const Json::Value& event : events) {
        if (!event.isObject()) continue;
        if (TextOf(event, "e_cat") == "DeviceContext") {
            if (TextOf(event, "e_subcat") == m_deviceContextId) ++family.deviceContexts;
            continue;
        }
        const Json::Value& data = event["e_data"];
        const std::string itemId = TextOf(data, "item_id");
        if (!itemId.empty()) ++family.items[TextOf(data, "dataset_id")][itemId];
    }
}

int UploadTally::Accepted(const std::string& family, const std::string& datasetId) const {
    const auto found = m_families.find(family);
    if (found == m_families.end()) return 0;
    const auto dataset = found->second.items.find(datasetId);
    return dataset == found->second.items.end() ? 0 : static_cast<int>(dataset->second.size());
}

int UploadTally::Duplicates(const std::string& family) const {
    const auto found = m_families.find(family);
    if (found == m_families.end()) return 0;
    int duplicates = 0;
    for (const auto& dataset : found->second.items)
        for (const auto& item : dataset.second) duplicates += item.second - 1;
    return duplicates;
}

bool UploadTally::DeviceContextAccepted(const std::string& family) const {
    const auto found = m_families.find(family);
    return found != m_families.end() && found->second.deviceContexts > 0;
}

}  // namespace datasyncctl
