// Writes telemetry rows the way a collecting component does, straight through the SQLite C
// API (independent of the code under test): one table per file with the agent's layout.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <ctime>
#include <stdexcept>
#include <string>

namespace testsupport {

class TelemetryWriter {
public:
    // Opens (creating) `path` and creates `table` with the telemetry layout when missing.
    TelemetryWriter(const std::string& path, const std::string& table, bool wal = false) : m_table(table) {
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open " + path);
        sqlite3_busy_timeout(m_db, 5000);
        if (wal) Exec("PRAGMA journal_mode=WAL");
        Exec("CREATE TABLE IF NOT EXISTS " + table +
             "(id integer primary key autoincrement, log_index LONGVARCHAR, data TEXT NOT NULL,logtime date)");
    }
    ~TelemetryWriter() { sqlite3_close_v2(m_db); }
    TelemetryWriter(const TelemetryWriter&) = delete;
    TelemetryWriter& operator=(const TelemetryWriter&) = delete;

    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return;
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
        if (sqlite3_step(statement.get()) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(m_db));
        return sqlite3_last_insert_rowid(m_db);
    }

    std::int64_t Scalar(const std::string& sql) {
        const auto statement = Prepare(sql);
        return sqlite3_step(statement.get()) == SQLITE_ROW ? sqlite3_column_int64(statement.get(), 0) : -1;
    }

private:
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> Prepare(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(m_db));
        return {statement, &sqlite3_finalize};
    }

    sqlite3* m_db = nullptr;
    std::string m_table;
};

// A minimal item-event `data` object.
inline std::string ItemEventJson(const std::string& datasetId, const std::string& itemId, const std::string& extra = "") {
    return "{\"dataset_id\":\"" + datasetId + "\",\"item_id\":\"" + itemId + "\",\"item_name\":\"n\"" +
           (extra.empty() ? "" : "," + extra) + "}";
}

// `seconds` as a row's logtime: local time in the collectors' "%Y-%m-%dT%H:%M:%S" form.
inline std::string LocalLogtime(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

}  // namespace testsupport
