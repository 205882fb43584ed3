// A thin RAII wrapper over the SQLite C API, in the shape the agent's stores were written
// against: CppSQLite3DB (a connection), CppSQLite3Statement (a prepared statement with bound
// `?` parameters), CppSQLite3Query (a cursor over the rows of a select) and
// CppSQLite3Exception (every failure; errorMessage() names the SQLite error).
//
// SQL texts are UTF-8. Columns are 0-based, parameters 1-based.
//
// Lifetime: statements and queries keep their connection open while they exist, so a
// connection dropped from the cache is closed only after its last statement is finalized.
// A statement made by compileStatement goes back to its connection when it ends (reset, its
// bindings cleared), and the next compileStatement of the same SQL text takes it instead of
// preparing the text again; a connection keeps a few such idle statements.
// Thread safety: a connection is opened in SQLite's serialized mode and may be shared by
// threads; each statement or query object belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace ZEL {
namespace detail {
class StatementCache;
// Finalizes a statement, or hands it back to the cache it came from.
struct StatementFinalizer {
    StatementCache* cache = nullptr;
    void operator()(sqlite3_stmt* statement) const;
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;
using ConnectionPtr = std::shared_ptr<sqlite3>;
}  // namespace detail
}  // namespace ZEL

class CppSQLite3Exception : public std::exception {
public:
    CppSQLite3Exception(int errorCode, std::string message);
    int errorCode() const { return m_errorCode; }
    const char* errorMessage() const { return m_message.c_str(); }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    int m_errorCode;
    std::string m_message;
};

class CppSQLite3Query {
public:
    CppSQLite3Query() = default;
    CppSQLite3Query(ZEL::detail::ConnectionPtr connection, ZEL::detail::StatementPtr statement, bool eof);
    CppSQLite3Query(CppSQLite3Query&&) noexcept = default;
    CppSQLite3Query& operator=(CppSQLite3Query&&) noexcept = default;

    bool eof() const { return m_eof; }
    void nextRow();
    int numFields() const;
    // UTF-8 text of the column, or null for an SQL NULL (valid until the next nextRow).
    const char* fieldValue(int column) const;
    bool fieldIsNull(int column) const;
    int getIntField(int column, int nullValue = 0) const;
    long long getInt64Field(int column, long long nullValue = 0) const;
    void finalize();

private:
    void CheckColumn(int column) const;

    ZEL::detail::ConnectionPtr m_connection;
    ZEL::detail::StatementPtr m_statement;
    bool m_eof = true;
};

class CppSQLite3Statement {
public:
    CppSQLite3Statement() = default;
    CppSQLite3Statement(ZEL::detail::ConnectionPtr connection, ZEL::detail::StatementPtr statement);
    CppSQLite3Statement(CppSQLite3Statement&&) noexcept = default;
    CppSQLite3Statement& operator=(CppSQLite3Statement&&) noexcept = default;

    void bind(int parameter, const char* value);  // null binds NULL
    void bind(int parameter, const std::string& value);
    void bind(int parameter, int value);
    void bind(int parameter, long long value);
    void bindNull(int parameter);
    // Runs the statement to completion; the number of rows it changed.
    int execDML();
    CppSQLite3Query execQuery();
    void reset();
    void finalize();

private:
    sqlite3_stmt* Checked() const;

    ZEL::detail::ConnectionPtr m_connection;
    ZEL::detail::StatementPtr m_statement;
};

class CppSQLite3DB {
public:
    CppSQLite3DB() = default;
    virtual ~CppSQLite3DB() = default;
    CppSQLite3DB(const CppSQLite3DB&) = delete;
    CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;

    // `flags` are SQLite open flags (SQLITE_OPEN_READWRITE, SQLITE_OPEN_CREATE, ...); the
    // connection is always opened in serialized mode. Throws on failure.
    void open(const std::string& path, int flags);
    void close();
    bool isOpen() const { return m_connection != nullptr; }
    void setBusyTimeout(int milliseconds);
    // Caps the connection's own memory: `lookasideSlots` lookaside buffers of `lookasideSlotSize`
    // bytes (SQLite's default is 100 of 1200 bytes) and a page cache of at most `cacheKiB` KiB.
    // Call right after open, before any statement runs.
    void limitMemory(int lookasideSlotSize, int lookasideSlots, int cacheKiB);
    // Whether closing the last connection to a WAL database checkpoints it and removes its WAL
    // file (SQLite's default: yes).
    void setCheckpointOnClose(bool checkpoint);

    int execDML(const std::string& sql);
    CppSQLite3Query execQuery(const std::string& sql);
    CppSQLite3Statement compileStatement(const std::string& sql);
    // The first column of the first row as an integer (nullValue when no row or NULL).
    long long execScalar(const std::string& sql, long long nullValue = 0);
    bool tableExists(const std::string& table);
    // True when the connection cannot write (SQLite opens a write-protected file read-only).
    bool isReadOnly() const;
    long long lastRowId() const;

protected:
    sqlite3* Checked() const;

private:
    ZEL::detail::ConnectionPtr m_connection;
    ZEL::detail::StatementCache* m_statements = nullptr;  // lives as long as m_connection
};
