// Writes telemetry rows the way a collecting component does: straight through the SQLite C API
// into one database per dataset and record kind, in WAL mode so that the agent reads while
// rows are being added, one transaction per row. The row layout is the agent's:
// "<Kind>(id integer primary key autoincrement, log_index, data, logtime)", `data` holding one
// JSON object per row with the record class's member names, `logtime` local time
// "%Y-%m-%dT%H:%M:%S".
//
// Thread safety: one object belongs to one thread.
#pragma once

#include <cstdint>
#include <string>

#include "linuxhost/datastore/SqliteHandles.h"

namespace datasyncctl {

class TelemetryRowWriter {
public:
    // Opens (creating) the database `path` and creates the table `kind` ("ItemEvent",
    // "DeviceContext") when missing. Throws std::runtime_error naming the file.
    TelemetryRowWriter(std::string path, std::string kind);

    // Appends one row whose `data` is `json`; returns its row id. Throws std::runtime_error
    // naming the file.
    std::int64_t Insert(const std::string& json);

    const std::string& Path() const { return m_path; }

    // Local time now as "%Y-%m-%dT%H:%M:%S" (a row's logtime).
    static std::string LocalTimeNow();
    // Local time now with its offset, "%Y-%m-%dT%H:%M:%S+hh:mm" (an item's time).
    static std::string LocalTimeWithOffsetNow();

private:
    void Exec(const std::string& sql);
    [[noreturn]] void Fail(const std::string& what) const;

    std::string m_path;
    std::string m_kind;
    ZEL::linuxhost::SqliteDatabase m_db;
    ZEL::linuxhost::SqliteStatement m_insert;
};

// The `data` JSON of an item-event row.
std::string ItemEventJson(const std::string& datasetId, const std::string& datasetName,
                          const std::string& itemId, const std::string& deviceContextId, int sequence);

// The `data` JSON of a device-context row describing this machine.
std::string DeviceContextJson(const std::string& deviceId, const std::string& deviceContextId);

// A random version-4 UUID in upper case.
std::string RandomUuid();

}  // namespace datasyncctl
