// WaitingRows: for each dataset and endpoint family with rows not yet accepted, how many (counted
// from the files, PendingRows.h) and why they wait (the agent's reason, WaitReasons.h). The status
// shows them first; the metrics count the rows by family and reason.
//
// Thread safety: values; Count reads files and asks the agent, from any thread.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "datasync/agent/WaitReasons.h"
#include "datasyncd/PendingRows.h"

namespace datasyncd {

struct WaitingEntry {
    std::string datasetId;
    std::string datasetName;
    std::string family;  // "kta", "navs", "navp"
    std::int64_t rows = 0;
    ZEL::DataSync::WaitReason reason;
};

struct WaitingRows {
    std::int64_t countedAt = 0;  // Unix seconds; 0: never counted
    PendingRowCounts byFamily;
    std::vector<WaitingEntry> entries;  // by dataset, then family
    std::vector<std::string> problems;  // files that could not be counted
};

// The agent's side of the count: the name of a dataset, and why its rows wait for a family.
struct WaitingSources {
    std::function<std::string(const std::string& datasetId)> nameOf;
    std::function<ZEL::DataSync::WaitReason(const std::string& datasetId, const std::string& family)>
        reasonOf;
};

// Turns the counts into entries, each with its reason.
WaitingRows ExplainWaitingRows(const PendingRowCounts& byFamily, const DatasetRowCounts& byDataset,
                               const WaitingSources& sources, std::int64_t countedAt);

// As the status answer shows it: {"counted_at", "rows", "entries": [{dataset_id, dataset, family,
// rows, reason, words, ends, until}]}.
Json::Value WaitingJson(const WaitingRows& waiting);

// Rows by (family, reason code).
std::map<std::pair<std::string, std::string>, std::int64_t> RowsByReason(const WaitingRows& waiting);

}  // namespace datasyncd
