// ZEL::Database: one open database file as the stores see it. On top of the wrapper it adds
// the two calls whose failures the stores expect the host to log rather than throw.
#include <exception>

#include "datasync/common/StringUtil.h"
#include "linuxhost/datastore/DataStore.h"
#include "linuxhost/logging/FileLogging.h"

namespace ZEL {

using linuxhost::HostLog;

bool Database::CreateTable(const std::string& tableName, const std::string& createStatement) {
    try {
        if (tableExists(tableName)) return true;
        execDML(createStatement);
        return true;
    } catch (const std::exception& error) {
        // Another connection (or process) may have created it between our check and our
        // CREATE; that is success, not a failure.
        try {
            if (isOpen() && tableExists(tableName)) return true;
        } catch (const std::exception&) {
        }
        HostLog().e(L"Database::CreateTable failed: table=%s path=%s error=%s",
                    String::UTF8ToUTF16(tableName), m_path, String::UTF8ToUTF16(error.what()));
        return false;
    }
}

bool Database::IsPrepared(const std::string& setUp) const {
    std::lock_guard<std::mutex> lock(m_preparedMutex);
    return m_prepared.count(setUp) != 0;
}

void Database::MarkPrepared(const std::string& setUp) {
    std::lock_guard<std::mutex> lock(m_preparedMutex);
    m_prepared.insert(setUp);
}

bool Database::ExecSql(const std::wstring& sql) {
    try {
        execDML(String::UTF16ToUTF8(sql));
        return true;
    } catch (const std::exception& error) {
        HostLog().e(L"Database::ExecSql failed: path=%s error=%s", m_path, String::UTF8ToUTF16(error.what()));
        return false;
    }
}

}  // namespace ZEL
