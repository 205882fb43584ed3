// The rows each endpoint family has yet to accept, counted from the files the way the agent's
// uploads read them: in each folder given (the service and the shared folder), every telemetry
// database "<dataset id>_<kind>.sqlite3" (kind ItemEvent, DatasetContext or ItemContext) of a
// dataset the policy names, and for each family of that dataset the rows of table <kind> at or
// past the family's bookmark (its SyncPoint file in the same folder; without a bookmark, every
// row). Item contexts never go to NAVP.
//
// Files are opened without being created, read with a busy timeout and closed again; a file
// that cannot be read adds a problem naming it and counts nothing.
//
// Thread safety: a free function over files; call it from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace datasyncd {

// The families ("kta", "navs", "navp") that the policy's dataset `datasetId` posts to; empty
// when the policy names no such (enabled) dataset.
using DatasetFamilies = std::function<std::vector<std::string>(const std::string& datasetId)>;

// Rows pending per family name; every family of the agent's table is present (0 when none).
std::map<std::string, std::int64_t> CountPendingRows(const std::vector<std::string>& folders,
                                                     const DatasetFamilies& familiesOf,
                                                     std::vector<std::string>& problems);

}  // namespace datasyncd
