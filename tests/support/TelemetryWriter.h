// Writes telemetry rows the way a collecting component does, straight through the SQLite C
// API (independent of the code under test): one table per file with the agent's layout.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "linuxhost/datastore/SqliteHandles.h"
#include "support/ScopedTimeZone.h"  // LocalLogtime

namespace testsupport {

class TelemetryWriter {
public:
    // Opens (creating) `path` and creates `table` with the telemetry layout when missing.
    TelemetryWriter(const std::string& path, const std::string& table, bool wal = false) : m_table(table) {
        std::string error;
        m_db = ZEL::linuxhost::OpenSqlite(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error);
        if (!m_db) throw std::runtime_error(error);
        if (wal) Exec("PRAGMA journal_mode=WAL");
        Exec("CREATE TABLE IF NOT EXISTS " + table +
             "(id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT NOT NULL,logtime date)");
    }

    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(m_db.get(), sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return;
        const std::string message = error ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error(sql + ": " + message);
    }

    // Inserts one row; `id` 0 lets SQLite choose. Returns the row id.
    std::int64_t Insert(const std::string& data, const std::string& logtime = "2026-12-06T10:00:00",
                        std::int64_t id = 0, const std::string& logIndex = "0") {
        const auto statement = Prepare("INSERT INTO " + m_table + "(id, log_index, data, logtime) VALUES(?,?,?,?)");
        id > 0 ? sqlite3_bind_int64(statement.get(), 1, id) : sqlite3_bind_null(statement.get(), 1);
        int column = 2;
        for (const std::string* text : {&logIndex, &data, &logtime})
            sqlite3_bind_text(statement.get(), column++, text->c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement.get()) != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(m_db.get()));
        return sqlite3_last_insert_rowid(m_db.get());
    }

    std::int64_t Scalar(const std::string& sql) {
        const auto statement = Prepare(sql);
        return sqlite3_step(statement.get()) == SQLITE_ROW ? sqlite3_column_int64(statement.get(), 0) : -1;
    }

private:
    ZEL::linuxhost::SqliteStatement Prepare(const std::string& sql) {
        ZEL::linuxhost::SqliteStatement statement = ZEL::linuxhost::PrepareSqlite(m_db.get(), sql);
        if (!statement) throw std::runtime_error(sqlite3_errmsg(m_db.get()));
        return statement;
    }

    ZEL::linuxhost::SqliteDatabase m_db;
    std::string m_table;
};

// A minimal item-event `data` object.
inline std::string ItemEventJson(const std::string& datasetId, const std::string& itemId) {
    return "{\"dataset_id\":\"" + datasetId + "\",\"item_id\":\"" + itemId + "\",\"item_name\":\"n\"}";
}

}  // namespace testsupport
