// The rows each endpoint family has yet to accept, counted from the files the way the agent's
// uploads read them: in one folder (the service or the shared folder), every telemetry
// database "<dataset id>_<kind>.sqlite3" (kind ItemEvent, DatasetContext or ItemContext) of a
// dataset the policy names, and for each family of that dataset the rows of table <kind> at or
// past the family's bookmark (its SyncPoint file in the same folder; without a bookmark, every
// row). Item contexts never go to NAVP.
//
// The files are read through the host's BookmarkReader (linuxhost/datastore/BookmarkReader.h):
// opened read-only, never created, read with a busy timeout and closed again, with the calling
// thread's file-system identity: the shared folder's files belong to the logged-on user,
// so the caller counts them acting as that user, as the agent reads them (a connection may
// create a database's -wal and -shm files, which must then be the user's). A file that cannot be
// read adds a problem naming it and counts nothing.
//
// DeviceContextRecordMissing looks up one record of the device context's database
// (DeviceContext.sqlite3 in the service folder) the same way, for add-device-context.
//
// Thread safety: free functions over files; call them from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace datasyncd {

// The families ("kta", "navs", "navp") that the policy's dataset `datasetId` posts to; empty
// when the policy names no such (enabled) dataset.
using DatasetFamilies = std::function<std::vector<std::string>(const std::string& datasetId)>;

using PendingRowCounts = std::map<std::string, std::int64_t>;  // by family name
// By (dataset id as the file names it, family name); only pairs with rows pending.
using DatasetRowCounts = std::map<std::pair<std::string, std::string>, std::int64_t>;

// Every family of the agent's table, with no row pending.
PendingRowCounts NoPendingRows();

// Adds the rows pending in `folder` to `pending` (and, when given, to `byDataset`). A folder that
// does not exist has none.
void AddPendingRows(const std::string& folder, const DatasetFamilies& familiesOf, PendingRowCounts& pending,
                    std::vector<std::string>& problems, DatasetRowCounts* byDataset = nullptr);

// Empty when `serviceFolder`'s DeviceContext.sqlite3 holds the record with id `id`; else why not,
// one line naming the file and the id ("no record 7 in /var/lib/datasync/db/DeviceContext.sqlite3").
std::string DeviceContextRecordMissing(const std::string& serviceFolder, std::int64_t id);

}  // namespace datasyncd
