// The waiting rows with their reasons.
#include "datasyncd/WaitingRows.h"

namespace datasyncd {

WaitingRows ExplainWaitingRows(const PendingRowCounts& byFamily, const DatasetRowCounts& byDataset,
                               const WaitingSources& sources, std::int64_t countedAt) {
    WaitingRows waiting;
    waiting.countedAt = countedAt;
    waiting.byFamily = byFamily;
    for (const auto& [key, rows] : byDataset) {
        const auto& [datasetId, family] = key;
        waiting.entries.push_back(
            {datasetId, sources.nameOf(datasetId), family, rows, sources.reasonOf(datasetId, family)});
    }
    return waiting;
}

Json::Value WaitingJson(const WaitingRows& waiting) {
    Json::Value out(Json::objectValue);
    out["counted_at"] = static_cast<Json::Int64>(waiting.countedAt);
    std::int64_t total = 0;
    Json::Value& entries = out["entries"] = Json::Value(Json::arrayValue);
    for (const WaitingEntry& entry : waiting.entries) {
        Json::Value item(Json::objectValue);
        item["dataset_id"] = entry.datasetId;
        item["dataset"] = entry.datasetName;
        item["family"] = entry.family;
        item["rows"] = static_cast<Json::Int64>(entry.rows);
        item["reason"] = entry.reason.code;
        item["words"] = entry.reason.words;
        item["ends"] = entry.reason.ends;
        item["until"] = static_cast<Json::Int64>(entry.reason.until);
        entries.append(item);
        total += entry.rows;
    }
    out["rows"] = static_cast<Json::Int64>(total);
    Json::Value& problems = out["problems"] = Json::Value(Json::arrayValue);
    for (const std::string& problem : waiting.problems) problems.append(problem);
    return out;
}

std::map<std::pair<std::string, std::string>, std::int64_t> RowsByReason(const WaitingRows& waiting) {
    std::map<std::pair<std::string, std::string>, std::int64_t> rows;
    for (const WaitingEntry& entry : waiting.entries) rows[{entry.family, entry.reason.code}] += entry.rows;
    return rows;
}

}  // namespace datasyncd
