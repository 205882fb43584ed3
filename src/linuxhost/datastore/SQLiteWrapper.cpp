// The SQLite wrapper the stores are written against: connections, prepared statements and
// cursors over the C API, each C handle owned by a smart pointer, every failure turned into a
// CppSQLite3Exception whose message names the SQLite error and, where it helps, the SQL.
//
// Connections are opened in serialized mode and shared between threads. SQLite keeps the
// error message and the change count per connection, so whenever we read one of them after a
// step we hold the connection's own mutex across both; otherwise another thread's statement
// could overwrite the value in between and we would report its error or its row count.
#include "linuxhost/datastore/SQLiteWrapper.h"

#include <sqlite3.h>

#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "linuxhost/datastore/SqliteHandles.h"

namespace ZEL {
namespace detail {

// The idle prepared statements of one connection, by SQL text. Any thread.
class StatementCache {
public:
    static constexpr std::size_t kMaxIdle = 8;

    StatementCache() = default;
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;
    ~StatementCache() { Clear(); }

    // An idle statement prepared from `sql`, or an empty pointer.
    StatementPtr Take(const std::string& sql) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_idle.find(sql);
        if (found == m_idle.end()) return StatementPtr();
        sqlite3_stmt* statement = found->second;
        m_idle.erase(found);
        return StatementPtr(statement, StatementFinalizer{this});
    }
    // Takes back a statement that ended: reset and unbound, kept when there is room.
    void Give(sqlite3_stmt* statement) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        const char* sql = sqlite3_sql(statement);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (sql != nullptr && m_idle.size() < kMaxIdle) {
                m_idle.emplace(sql, statement);
                return;
            }
        }
        sqlite3_finalize(statement);
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_idle) sqlite3_finalize(entry.second);
        m_idle.clear();
    }

private:
    std::mutex m_mutex;
    std::multimap<std::string, sqlite3_stmt*> m_idle;  // guarded by m_mutex
};

void StatementFinalizer::operator()(sqlite3_stmt* statement) const {
    if (cache != nullptr)
        cache->Give(statement);
    else
        sqlite3_finalize(statement);
}

}  // namespace detail
}  // namespace ZEL

namespace {

using ZEL::detail::ConnectionPtr;
using ZEL::detail::StatementPtr;

constexpr std::size_t kMaxSqlInMessage = 300;

// Holds a connection's recursive mutex; SQLite's own calls made meanwhile re-enter it.
class ConnectionLock {
public:
    explicit ConnectionLock(sqlite3* db) : m_mutex(sqlite3_db_mutex(db)) {
        if (m_mutex != nullptr) sqlite3_mutex_enter(m_mutex);
    }
    ~ConnectionLock() {
        if (m_mutex != nullptr) sqlite3_mutex_leave(m_mutex);
    }
    ConnectionLock(const ConnectionLock&) = delete;
    ConnectionLock& operator=(const ConnectionLock&) = delete;

private:
    sqlite3_mutex* m_mutex;
};

// Puts a statement back to its start on every exit, so a failed execDML leaves it reusable.
class ResetOnExit {
public:
    explicit ResetOnExit(sqlite3_stmt* statement) : m_statement(statement) {}
    ~ResetOnExit() { sqlite3_reset(m_statement); }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    sqlite3_stmt* m_statement;
};

// A connection and its idle statements; the connection pointers share its ownership. The
// statements go first (members end in reverse order); close_v2 then defers the close while
// statements handed out are alive, which the lifetime rules rely on.
struct Connection {
    ZEL::linuxhost::SqliteDatabase db;
    ZEL::detail::StatementCache statements;
};

std::string Abbreviated(const std::string& sql) {
    if (sql.size() <= kMaxSqlInMessage) return sql;
    return sql.substr(0, kMaxSqlInMessage) + "...";
}

[[noreturn]] void Fail(int code, const std::string& action, const std::string& detail,
                       const std::string& sql = std::string()) {
    const char* description = sqlite3_errstr(code);
    std::string message = action;
    if (!detail.empty()) message += ": " + detail;
    message += " (SQLite error " + std::to_string(code);
    if (description != nullptr && detail != description) message += std::string(": ") + description;
    message += ")";
    if (!sql.empty()) message += " [SQL: " + Abbreviated(sql) + "]";
    throw CppSQLite3Exception(code, std::move(message));
}

[[noreturn]] void FailMisuse(const std::string& detail) {
    Fail(SQLITE_MISUSE, detail, std::string());
}

std::string StatementSql(sqlite3_stmt* statement) {
    const char* sql = sqlite3_sql(statement);
    return sql != nullptr ? std::string(sql) : std::string();
}

// Prepares the first statement of `sql`; an empty pointer when the text holds none.
StatementPtr Prepare(sqlite3* db, const std::string& sql) {
    if (sql.size() >= static_cast<std::size_t>(INT_MAX))
        Fail(SQLITE_TOOBIG, "cannot prepare", "SQL text too long");
    ConnectionLock lock(db);
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    StatementPtr statement(raw);
    if (rc != SQLITE_OK) Fail(rc, "cannot prepare", sqlite3_errmsg(db), sql);
    return statement;
}

// Steps to completion, skipping any rows, and returns the rows this statement changed.
// REQUIRES: the caller holds the connection's mutex.
long long RunToCompletion(sqlite3* db, sqlite3_stmt* statement) {
    // sqlite3_changes keeps the count of the last INSERT/UPDATE/DELETE; comparing the total
    // first keeps a CREATE or SELECT from reporting an earlier statement's count.
    const sqlite3_int64 before = sqlite3_total_changes64(db);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) Fail(rc, "cannot execute", sqlite3_errmsg(db), StatementSql(statement));
    return sqlite3_total_changes64(db) != before ? sqlite3_changes64(db) : 0;
}

// Steps a fresh query once; true when it has a first row.
bool FirstStep(sqlite3* db, sqlite3_stmt* statement) {
    ConnectionLock lock(db);
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string detail = sqlite3_errmsg(db);
    sqlite3_reset(statement);
    Fail(rc, "cannot run query", detail, StatementSql(statement));
}

}  // namespace

// ---- CppSQLite3Exception ------------------------------------------------------------------

CppSQLite3Exception::CppSQLite3Exception(int errorCode, std::string message)
    : m_errorCode(errorCode), m_message(std::move(message)) {}

// ---- CppSQLite3Query ----------------------------------------------------------------------

CppSQLite3Query::CppSQLite3Query(ZEL::detail::ConnectionPtr connection, ZEL::detail::StatementPtr statement,
                                 bool eof)
    : m_connection(std::move(connection)), m_statement(std::move(statement)), m_eof(eof) {}

void CppSQLite3Query::nextRow() {
    if (!m_statement) FailMisuse("query is finalized");
    // Stepping past SQLITE_DONE would silently restart the query.
    if (m_eof) return;
    sqlite3* db = m_connection.get();
    ConnectionLock lock(db);
    const int rc = sqlite3_step(m_statement.get());
    if (rc == SQLITE_ROW) return;
    m_eof = true;
    if (rc != SQLITE_DONE)
        Fail(rc, "cannot fetch next row", sqlite3_errmsg(db), StatementSql(m_statement.get()));
}

int CppSQLite3Query::numFields() const {
    if (!m_statement) FailMisuse("query is finalized");
    return sqlite3_column_count(m_statement.get());
}

void CppSQLite3Query::CheckColumn(int column) const {
    if (!m_statement) FailMisuse("query is finalized");
    if (m_eof) FailMisuse("query has no current row");
    const int count = sqlite3_column_count(m_statement.get());
    if (column < 0 || column >= count) {
        Fail(SQLITE_RANGE, "invalid column index " + std::to_string(column),
             "the query has " + std::to_string(count) + " columns", StatementSql(m_statement.get()));
    }
}

const char* CppSQLite3Query::fieldValue(int column) const {
    CheckColumn(column);
    return reinterpret_cast<const char*>(sqlite3_column_text(m_statement.get(), column));
}

bool CppSQLite3Query::fieldIsNull(int column) const {
    CheckColumn(column);
    return sqlite3_column_type(m_statement.get(), column) == SQLITE_NULL;
}

int CppSQLite3Query::getIntField(int column, int nullValue) const {
    if (fieldIsNull(column)) return nullValue;
    return sqlite3_column_int(m_statement.get(), column);
}

long long CppSQLite3Query::getInt64Field(int column, long long nullValue) const {
    if (fieldIsNull(column)) return nullValue;
    return sqlite3_column_int64(m_statement.get(), column);
}

void CppSQLite3Query::finalize() {
    m_statement.reset();
    m_connection.reset();
    m_eof = true;
}

// ---- CppSQLite3Statement ------------------------------------------------------------------

CppSQLite3Statement::CppSQLite3Statement(ZEL::detail::ConnectionPtr connection,
                                         ZEL::detail::StatementPtr statement)
    : m_connection(std::move(connection)), m_statement(std::move(statement)) {}

sqlite3_stmt* CppSQLite3Statement::Checked() const {
    if (!m_statement) FailMisuse("statement is not prepared (finalized, or handed over to a query)");
    return m_statement.get();
}

namespace {

template <typename BindCall>
void BindChecked(sqlite3* db, sqlite3_stmt* statement, int parameter, BindCall bindCall) {
    ConnectionLock lock(db);
    const int rc = bindCall();
    if (rc != SQLITE_OK) {
        Fail(rc, "cannot bind parameter " + std::to_string(parameter), sqlite3_errmsg(db),
             StatementSql(statement));
    }
}

}  // namespace

void CppSQLite3Statement::bind(int parameter, const char* value) {
    if (value == nullptr) {
        bindNull(parameter);
        return;
    }
    sqlite3_stmt* statement = Checked();
    BindChecked(m_connection.get(), statement, parameter,
                [&] { return sqlite3_bind_text(statement, parameter, value, -1, SQLITE_TRANSIENT); });
}

void CppSQLite3Statement::bind(int parameter, const std::string& value) {
    sqlite3_stmt* statement = Checked();
    BindChecked(m_connection.get(), statement, parameter, [&] {
        return sqlite3_bind_text64(statement, parameter, value.data(), value.size(), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
    });
}

void CppSQLite3Statement::bind(int parameter, int value) {
    sqlite3_stmt* statement = Checked();
    BindChecked(m_connection.get(), statement, parameter,
                [&] { return sqlite3_bind_int(statement, parameter, value); });
}

void CppSQLite3Statement::bind(int parameter, long long value) {
    sqlite3_stmt* statement = Checked();
    BindChecked(m_connection.get(), statement, parameter,
                [&] { return sqlite3_bind_int64(statement, parameter, value); });
}

void CppSQLite3Statement::bindNull(int parameter) {
    sqlite3_stmt* statement = Checked();
    BindChecked(m_connection.get(), statement, parameter,
                [&] { return sqlite3_bind_null(statement, parameter); });
}

int CppSQLite3Statement::execDML() {
    sqlite3_stmt* statement = Checked();
    ConnectionLock lock(m_connection.get());
    ResetOnExit reset(statement);
    return static_cast<int>(RunToCompletion(m_connection.get(), statement));
}

CppSQLite3Query CppSQLite3Statement::execQuery() {
    sqlite3_stmt* statement = Checked();
    // A query owns its statement, so this statement object is empty from here on; compile
    // the SQL again to run it once more.
    const bool hasRow = FirstStep(m_connection.get(), statement);
    return CppSQLite3Query(std::move(m_connection), std::move(m_statement), !hasRow);
}

void CppSQLite3Statement::reset() {
    // The result repeats the last step's error, which that step has already reported.
    sqlite3_reset(Checked());
}

void CppSQLite3Statement::finalize() {
    m_statement.reset();
    m_connection.reset();
}

// ---- CppSQLite3DB -------------------------------------------------------------------------

void CppSQLite3DB::open(const std::string& path, int flags) {
    if (sqlite3_threadsafe() == 0) FailMisuse("this SQLite library cannot share connections between threads");
    close();
    flags &= ~SQLITE_OPEN_NOMUTEX;
    flags |= SQLITE_OPEN_FULLMUTEX;
    if ((flags & (SQLITE_OPEN_READONLY | SQLITE_OPEN_READWRITE)) == 0)
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    auto owner = std::make_shared<Connection>();
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    // SQLite hands out a handle even when the open fails; the owner closes it as well.
    owner->db.reset(raw);
    if (rc != SQLITE_OK) Fail(rc, "cannot open database " + path, raw != nullptr ? sqlite3_errmsg(raw) : "");
    m_statements = &owner->statements;
    m_connection = ConnectionPtr(owner, raw);
}

void CppSQLite3DB::close() {
    m_connection.reset();
    m_statements = nullptr;
}

sqlite3* CppSQLite3DB::Checked() const {
    if (!m_connection) FailMisuse("database is not open");
    return m_connection.get();
}

void CppSQLite3DB::setBusyTimeout(int milliseconds) {
    sqlite3* db = Checked();
    const int rc = sqlite3_busy_timeout(db, milliseconds);
    if (rc != SQLITE_OK) Fail(rc, "cannot set busy timeout", sqlite3_errmsg(db));
}

void CppSQLite3DB::limitMemory(int lookasideSlotSize, int lookasideSlots, int cacheKiB) {
    sqlite3* db = Checked();
    const int rc = sqlite3_db_config(db, SQLITE_DBCONFIG_LOOKASIDE, nullptr, lookasideSlotSize, lookasideSlots);
    if (rc != SQLITE_OK) Fail(rc, "cannot size the lookaside memory", sqlite3_errmsg(db));
    execDML("PRAGMA cache_size=-" + std::to_string(cacheKiB));
}

void CppSQLite3DB::setCheckpointOnClose(bool checkpoint) {
    sqlite3* db = Checked();
    const int rc = sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, checkpoint ? 0 : 1, nullptr);
    if (rc != SQLITE_OK) Fail(rc, "cannot set the checkpoint on close", sqlite3_errmsg(db));
}

int CppSQLite3DB::execDML(const std::string& sql) {
    sqlite3* db = Checked();
    if (sql.size() >= static_cast<std::size_t>(INT_MAX))
        Fail(SQLITE_TOOBIG, "cannot prepare", "SQL text too long");
    ConnectionLock lock(db);
    long long changed = 0;
    const char* cursor = sql.c_str();
    const char* const end = cursor + sql.size();
    // Like sqlite3_exec, run every statement of the text in turn.
    while (cursor < end) {
        sqlite3_stmt* raw = nullptr;
        const char* tail = nullptr;
        const int rc = sqlite3_prepare_v2(db, cursor, static_cast<int>(end - cursor), &raw, &tail);
        StatementPtr statement(raw);
        if (rc != SQLITE_OK) Fail(rc, "cannot prepare", sqlite3_errmsg(db), sql);
        if (tail == nullptr || tail <= cursor) tail = end;
        cursor = tail;
        if (statement) changed += RunToCompletion(db, statement.get());
    }
    return static_cast<int>(changed);
}

CppSQLite3Query CppSQLite3DB::execQuery(const std::string& sql) {
    sqlite3* db = Checked();
    // A query has one result set, so only the text's first statement runs.
    StatementPtr statement = Prepare(db, sql);
    if (!statement) Fail(SQLITE_MISUSE, "cannot run query", "the text holds no SQL statement", sql);
    const bool hasRow = FirstStep(db, statement.get());
    return CppSQLite3Query(m_connection, std::move(statement), !hasRow);
}

CppSQLite3Statement CppSQLite3DB::compileStatement(const std::string& sql) {
    sqlite3* db = Checked();
    if (StatementPtr idle = m_statements->Take(sql)) return CppSQLite3Statement(m_connection, std::move(idle));
    StatementPtr statement = Prepare(db, sql);
    if (!statement) Fail(SQLITE_MISUSE, "cannot compile", "the text holds no SQL statement", sql);
    return CppSQLite3Statement(m_connection, StatementPtr(statement.release(), ZEL::detail::StatementFinalizer{m_statements}));
}

long long CppSQLite3DB::execScalar(const std::string& sql, long long nullValue) {
    CppSQLite3Query query = execQuery(sql);
    if (query.eof() || query.numFields() < 1) return nullValue;
    return query.getInt64Field(0, nullValue);
}

bool CppSQLite3DB::tableExists(const std::string& table) {
    // SQLite matches identifiers without regard to ASCII case, so the lookup does too.
    CppSQLite3Statement statement = compileStatement(
        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE");
    statement.bind(1, table);
    CppSQLite3Query query = statement.execQuery();
    return !query.eof() && query.getInt64Field(0) > 0;
}

bool CppSQLite3DB::isReadOnly() const { return sqlite3_db_readonly(Checked(), "main") == 1; }

long long CppSQLite3DB::lastRowId() const {
    return sqlite3_last_insert_rowid(Checked());
}
