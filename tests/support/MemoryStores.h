// Telemetry tables and bookmarks in memory, for tests of the components on their own: rows are
// added as records (or as rows that cannot be decoded), a table can be made to fail and the
// bookmarks to refuse writes. A table is known by (root, file); its file is the reference's
// `file`, or the kind's.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <variant>

#include "datasync/common/WellKnownIds.h"
#include "datasync/host/BookmarkStore.h"
#include "datasync/host/TelemetryTables.h"
#include "support/ScopedTimeZone.h"  // LocalLogtime

namespace testsupport {

// The table of the `Kind` rows of dataset `id` (the device context's: L"") in the folder of `root`.
template <typename Kind = ZEL::ItemEvent>
ZEL::DataSync::TableRef TableOf(const std::wstring& id,
                                ZEL::utility::EGetDBPathMethod root = ZEL::utility::DB_PATH_INTERNAL) {
    return {id, Kind::TypeName(), root};
}

class MemoryTables : public ZEL::DataSync::TelemetryTables {
public:
    using TableRef = ZEL::DataSync::TableRef;
    using TableRead = ZEL::DataSync::TableRead;
    using Record = std::variant<std::monostate, ZEL::ItemEvent, ZEL::DatasetContext, ZEL::ItemContext,
                                ZEL::DeviceContext>;
    struct Row {
        Record record;  // monostate: the row cannot be decoded
        std::string logtime;
    };

    // Appends a row with the next id of the table; returns the id.
    std::int64_t Add(const TableRef& table, Record record,
                     std::string logtime = "2026-12-01T10:00:00+00:00") {
        std::lock_guard<std::mutex> lock(m_mutex);
        Table& t = m_tables[KeyOf(table)];
        const std::int64_t id = ++t.largestId;
        t.rows[id] = {std::move(record), std::move(logtime)};
        return id;
    }
    std::size_t RowCount(const TableRef& table) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tables[KeyOf(table)].rows.size();
    }
    // Every call on `table` fails while set.
    void SetFailing(const TableRef& table, bool failing) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tables[KeyOf(table)].failing = failing;
    }
    // Deletes the rows with ids in [first, last]; the table keeps the largest id it used.
    void Remove(const TableRef& table, std::int64_t first, std::int64_t last) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& rows = m_tables[KeyOf(table)].rows;
        if (first <= last) rows.erase(rows.lower_bound(first), rows.upper_bound(last));
    }

    TableRead Read(const TableRef& t, std::int64_t from, int n, std::list<ZEL::ItemEvent>& rows) override {
        return ReadAs(t, from, n, rows);
    }
    TableRead Read(const TableRef& t, std::int64_t from, int n,
                   std::list<ZEL::DatasetContext>& rows) override {
        return ReadAs(t, from, n, rows);
    }
    TableRead Read(const TableRef& t, std::int64_t from, int n, std::list<ZEL::ItemContext>& rows) override {
        return ReadAs(t, from, n, rows);
    }
    TableRead Read(const TableRef& t, std::int64_t from, int n,
                   std::list<ZEL::DeviceContext>& rows) override {
        return ReadAs(t, from, n, rows);
    }

    std::int64_t FirstId(const TableRef& table) override {
        return With(table, -1, [](Table& t) { return t.rows.empty() ? 0 : t.rows.begin()->first; });
    }
    std::int64_t LastId(const TableRef& table) override {
        return With(table, -1, [](Table& t) { return t.rows.empty() ? 0 : t.rows.rbegin()->first; });
    }
    std::int64_t FirstIdAtOrAfter(const TableRef& table, std::int64_t id) override {
        return With(table, -1, [id](Table& t) {
            const auto found = t.rows.lower_bound(id);
            return found == t.rows.end() ? 0 : found->first;
        });
    }
    std::int64_t LargestIdEverUsed(const TableRef& table) override {
        return With(table, -1, [](Table& t) { return t.largestId; });
    }
    std::string NewestLogtime(const TableRef& table) override {
        return With(table, std::string(), [](Table& t) {
            return t.rows.empty() ? std::string() : t.rows.rbegin()->second.logtime;
        });
    }
    bool NewestDeviceContext(ZEL::DeviceContext& context) override {
        return With(TableOf<ZEL::DeviceContext>(L""), false, [&context](Table& t) {
            if (t.rows.empty()) return false;
            const auto* newest = std::get_if<ZEL::DeviceContext>(&t.rows.rbegin()->second.record);
            if (newest == nullptr) return false;
            context = *newest;
            context.set_row_id(t.rows.rbegin()->first);
            return true;
        });
    }
    void MarkEncryptedItemsHandled(std::int64_t, std::int64_t) override {}
    bool DuplicateNewest(const TableRef& table) override {
        return With(table, false, [](Table& t) {
            if (t.rows.empty()) return false;
            t.rows[++t.largestId] = t.rows.rbegin()->second;
            return true;
        });
    }
    // Dated as the host dates them: the logtime's first 19 characters against the cutoff's local
    // time; a row without that shape is never dated. Each row is a step of its own.
    std::int64_t DeleteDatedRows(const TableRef& table, const std::chrono::system_clock::time_point& cutoff,
                                 ZEL::DataSync::CutoffBound bound,
                                 const std::function<bool()>& stop) override {
        const std::string limit = Logtime(cutoff);
        return With(table, std::int64_t{-1}, [&](Table& t) {
            std::int64_t deleted = 0;
            for (auto row = t.rows.begin(); row != t.rows.end() && !(stop && stop());)
                row = Takes(row->second.logtime, limit, bound) ? (++deleted, t.rows.erase(row))
                                                               : std::next(row);
            return deleted;
        });
    }
    std::int64_t DeleteAllRows(const TableRef& table) override {
        return With(table, std::int64_t{-1}, [](Table& t) {
            const auto count = static_cast<std::int64_t>(t.rows.size());
            t.rows.clear();
            return count;
        });
    }
    std::optional<ZEL::DataSync::UploadRestart> FindUploadRestart(
        const TableRef& table, const std::chrono::system_clock::time_point& cutoff) override {
        const std::string limit = Logtime(cutoff);
        return With(table, std::optional<ZEL::DataSync::UploadRestart>(), [&](Table& t) {
            std::optional<ZEL::DataSync::UploadRestart> restart;
            if (t.rows.empty()) return restart;
            restart.emplace();
            restart->firstId = t.rows.rbegin()->first + 1;
            for (const auto& [id, row] : t.rows)
                if (Dated(row.logtime) &&
                    !Takes(row.logtime, limit, ZEL::DataSync::CutoffBound::UpToItsSecond)) {
                    restart->firstId = id;
                    break;
                }
            for (const auto& row : t.rows) restart->heldRows += row.first < restart->firstId ? 1 : 0;
            return restart;
        });
    }
    // The local time text the host writes as a row's logtime.
    static std::string Logtime(const std::chrono::system_clock::time_point& at) {
        return LocalLogtime(std::chrono::system_clock::to_time_t(at));
    }
    void Release(const TableRef&) override {}
    void ReleaseAll(ZEL::utility::EGetDBPathMethod) override {}
    void CheckIntegrityOnNextOpen() override {}

private:
    struct Table {
        std::map<std::int64_t, Row> rows;
        std::int64_t largestId = 0;
        bool failing = false;
    };
    using Key = std::pair<int, std::wstring>;

    // The default root is the service folder, as on the host.
    static Key KeyOf(const TableRef& table) {
        const std::wstring file = !table.file.empty()
                                      ? table.file
                                      : ZEL::DataSync::TelemetryFileName(
                                            table.datasetId, ZEL::DataSync::BookmarkTypeName(table.typeName));
        return {table.method == ZEL::utility::DB_PATH_DEFAULT ? ZEL::utility::DB_PATH_INTERNAL : table.method,
                file};
    }
    static bool Dated(const std::string& logtime) {
        return logtime.size() >= 19 && logtime[4] == '-' && logtime[7] == '-' && logtime[10] == 'T' &&
               logtime[13] == ':';
    }
    static bool Takes(const std::string& logtime, const std::string& limit,
                      ZEL::DataSync::CutoffBound bound) {
        const int order = logtime.compare(0, 19, limit);
        return Dated(logtime) && (bound == ZEL::DataSync::CutoffBound::Before ? order < 0 : order <= 0);
    }
    template <typename Result, typename Body>
    Result With(const TableRef& table, Result failed, Body body) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Table& t = m_tables[KeyOf(table)];
        return t.failing ? failed : static_cast<Result>(body(t));
    }
    template <typename T>
    TableRead ReadAs(const TableRef& table, std::int64_t from, int count, std::list<T>& rows) {
        return With(table, TableRead{ZEL::DataSync::ReadStatus::Failed, -1}, [&](Table& t) {
            TableRead read;
            for (auto row = t.rows.lower_bound(from); row != t.rows.end() && row->first < from + count;
                 ++row) {
                read = {ZEL::DataSync::ReadStatus::Rows, row->first};
                if (const T* record = std::get_if<T>(&row->second.record)) {
                    rows.push_back(*record);
                    rows.back().set_row_id(row->first);
                }
            }
            return read;
        });
    }
    std::mutex m_mutex;
    std::map<Key, Table> m_tables;  // guarded by m_mutex
};

class MemoryBookmarks : public ZEL::DataSync::BookmarkStore {
public:
    using BookmarkKey = ZEL::DataSync::BookmarkKey;
    using BookmarkRead = ZEL::DataSync::BookmarkRead;

    // The next `writes` writes are taken, every later one refused (a negative count never refuses).
    void RefuseWritesAfter(int writes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writesLeft = writes;
    }
    // The time text the writes from now on record (the host records when it wrote).
    void SetWriteTime(const std::string& logtime) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writeTime = logtime;
    }
    BookmarkRead Read(const BookmarkKey& key, std::int64_t& id, std::string* logtime) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_bookmarks.find(KeyOf(key));
        if (found == m_bookmarks.end()) return BookmarkRead::Missing;
        id = found->second.first;
        if (logtime != nullptr) *logtime = found->second.second;
        return BookmarkRead::Found;
    }
    bool Write(const BookmarkKey& key, std::int64_t id) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_writesLeft == 0) return false;
        if (m_writesLeft > 0) --m_writesLeft;
        m_bookmarks[KeyOf(key)] = {id, m_writeTime};
        return true;
    }
    std::int64_t Clear(const BookmarkKey& key) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::int64_t cleared = 0;
        for (auto it = m_bookmarks.begin(); it != m_bookmarks.end();)
            it = std::get<0>(it->first) == Root(key.method) && std::get<1>(it->first) == key.file
                     ? (++cleared, m_bookmarks.erase(it))
                     : std::next(it);
        return cleared;
    }
    std::wstring PathOf(const BookmarkKey& key) override {
        return L"memory/" + std::to_wstring(Root(key.method)) + L"/" + key.file;
    }

private:
    using Key = std::tuple<int, std::wstring, std::wstring, std::wstring>;
    // The shared folder keeps its root; every other method means the service folder, as on the
    // host, where the default root and method 1 name one file.
    static int Root(ZEL::utility::EGetDBPathMethod method) {
        return method == ZEL::utility::DB_PATH_USER_SHARED ? method : ZEL::utility::DB_PATH_INTERNAL;
    }
    static Key KeyOf(const BookmarkKey& key) {
        return {Root(key.method), key.file, key.datasetId, ZEL::DataSync::BookmarkTypeName(key.typeName)};
    }

    std::mutex m_mutex;
    std::map<Key, std::pair<std::int64_t, std::string>> m_bookmarks;  // guarded by m_mutex
    int m_writesLeft = -1;                                            // guarded by m_mutex
    std::string m_writeTime = "2026-12-01T10:00:00+00:00";            // guarded by m_mutex
};

}  // namespace testsupport
