// Reading and writing upload bookmarks. See SyncPointDao.h for the file and table layout.
#include "linuxhost/datastore/SyncPointDao.h"

#include <mutex>

#include "datasync/common/ImpersonateUser.h"
#include "datasync/common/StringUtil.h"
#include "datasync/common/TimeText.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/BookmarkTable.h"

namespace ZEL {
namespace linuxhost {
namespace {

const char* const kUpdate = "update SyncPoint set id=?,logtime=? where guid=? and type=?";

utility::EGetDBPathMethod RootOf(utility::EGetDBPathMethod method) {
    return method == utility::DB_PATH_INTERNAL ? utility::DB_PATH_INTERNAL : utility::DB_PATH_USER_SHARED;
}

}  // namespace

SyncPointDao::SyncPointDao(utility::EGetDBPathMethod method, const std::wstring& fileName)
    : m_fileName(fileName), m_root(RootOf(method)), m_openLog(OpenLog::WithMethod) {
    OpenAtConstruction();
}

SyncPointDao::SyncPointDao(const std::wstring& fileName)
    : m_fileName(fileName), m_root(utility::DB_PATH_DEFAULT), m_openLog(OpenLog::WithoutMethod) {
    OpenAtConstruction();
}

void SyncPointDao::OpenAtConstruction() {
    utility::InitLog(m_log, m_fileName + L"Dao.log", 4);
    if (!Open()) m_log.e(L"%s SyncPointDao: checkpdb failed!", m_fileName);
}

bool SyncPointDao::Open() {
    const std::wstring root = linuxhost::DbFolder(m_root);
    // The agent's files in the user's shared folder belong to the user: there the store opens
    // (and creates, with its journal) its file as the user, whatever identity the calling thread
    // has; when that is not possible it creates nothing.
    ImpersonateUser user;
    bool create = true;
    if (m_root == utility::DB_PATH_USER_SHARED && System::check_admin_privilege()) {
        const int rc = user.EnterLogOnUserMode();
        if (rc != 0) {
            m_log.e(L"SyncPointDao: cannot act as the logged-on user (%d): %s is not created in the shared folder", rc,
                    m_fileName);
            create = false;
        }
    }
    if (!root.empty()) m_db = EventDataLogging::GetInstance()->GetDatabase(root + m_fileName, create, false);
    if (!m_db) {
        if (m_openLog == OpenLog::WithMethod)
            m_log.e(L"SyncPointDao: Can note get database,type=%d", static_cast<int>(m_root));
        else
            m_log.e(L"SyncPointDao: Can note get database.");
        return false;
    }
    // The host shares one handle per file: its table and journal are set up on its first use,
    // and again on the next use after a set-up that failed (a lock held too long, a full disk).
    if (!m_db->IsPrepared(m_tableName) && m_db->CreateTable(m_tableName, kBookmarkCreate)) {
        UseWriteAheadLog();
        m_db->MarkPrepared(m_tableName);
    }
    // A file the agent may not write (owned by another user) keeps every bookmark where it is:
    // the same batches would go again and again. Said once per handle.
    if (m_db->isReadOnly() && !m_db->IsPrepared("read-only noted")) {
        m_db->MarkPrepared("read-only noted");
        m_log.e(L"SyncPointDao: %s is read-only (owner or permissions): bookmarks cannot be saved", m_db->path());
    }
    return true;
}

void SyncPointDao::UseWriteAheadLog() {
    // A bookmark is written after every accepted batch. With the rollback journal and full sync
    // each write costs four fsyncs, several times the upload itself; in WAL mode with
    // synchronous=FULL it costs one, of the WAL. NORMAL would cost none, but the agent's handles
    // never checkpoint on close, so the WAL is synced only at its automatic checkpoint: a power
    // cut would send every batch since then again. With FULL a power cut sends again at most the
    // batch whose bookmark was being written.
    //
    // The WAL is checkpointed every 100 writes instead of every 1,000, so that it stays at about
    // 400 KiB and the writes after a checkpoint reuse its blocks: a commit that extends the file
    // also commits the file system's journal in its fdatasync, about twice the cost of one that
    // overwrites. A checkpoint of this table copies two or three pages.
    try {
        m_db->execQuery("PRAGMA journal_mode=WAL").finalize();
        m_db->execDML("PRAGMA synchronous=FULL");
        m_db->execQuery("PRAGMA wal_autocheckpoint=100").finalize();
    } catch (const CppSQLite3Exception& ex) {
        m_log.w(L"SyncPointDao: %s stays in rollback-journal mode: %s", m_fileName,
                String::UTF8ToUTF16(ex.errorMessage()));
    }
}

bool SyncPointDao::Get(std::int64_t& id, const std::wstring& guid, const std::wstring& type) {
    return ReadRow(id, nullptr, guid, type) == BookmarkRead::Found;
}

bool SyncPointDao::Get(std::int64_t& id, std::string& logtime, const std::wstring& guid, const std::wstring& type) {
    return ReadRow(id, &logtime, guid, type) == BookmarkRead::Found;
}

BookmarkRead SyncPointDao::Read(std::int64_t& id, const std::wstring& guid, const std::wstring& type) {
    return ReadRow(id, nullptr, guid, type);
}

BookmarkRead SyncPointDao::Read(std::int64_t& id, std::string& logtime, const std::wstring& guid,
                                const std::wstring& type) {
    return ReadRow(id, &logtime, guid, type);
}

BookmarkRead SyncPointDao::ReadRow(std::int64_t& id, std::string* logtime, const std::wstring& guid,
                                   const std::wstring& type) {
    try {
        const std::string guidText = String::UTF16ToUTF8(guid);
        const std::string typeText = String::UTF16ToUTF8(NormaliseType(type));
        if (!m_db && !Open()) return BookmarkRead::Failed;
        if (const auto written = m_db->Bookmarks().Find(guidText, typeText)) {
            id = written->id;
            if (logtime) *logtime = written->logtime;
            return BookmarkRead::Found;
        }

        CppSQLite3Statement statement = m_db->compileStatement(logtime ? kBookmarkSelectIdAndLogtime : kBookmarkSelectId);
        statement.bind(1, guidText);
        statement.bind(2, typeText);
        CppSQLite3Query query = statement.execQuery();
        if (query.eof()) {
            m_log.d(L"SyncPoint::Get execQuery: id = %s,type = %s", guid, type);
            return BookmarkRead::Missing;
        }
        id = query.getInt64Field(0, 0);
        if (logtime) {
            const char* text = query.fieldValue(1);
            *logtime = text ? text : "";
        }
        return BookmarkRead::Found;
    } catch (const CppSQLite3Exception& ex) {
        m_log.e(L"SyncPoint::Get Exception: %s", String::UTF8ToUTF16(ex.errorMessage()));
    } catch (...) {
        m_log.e(L"SyncPoint::Get Exception No Catch.");
    }
    return BookmarkRead::Failed;
}

bool SyncPointDao::Set(const SyncPoint& record) {
    const std::string typeText = String::UTF16ToUTF8(NormaliseType(record.type));
    const std::string guidText = String::UTF16ToUTF8(record.guid);
    const std::string now = String::UTF16ToUTF8(System::GetTime());
    if (!m_db && !Open()) return false;

    // The table has no key, so "update, else insert" must not interleave between two writers
    // of the agent or a pair could gain two rows.
    std::lock_guard<std::mutex> lock(m_db->WriteMutex());
    BookmarkMemo& memo = m_db->Bookmarks();
    // Forgotten until the write is known to have been taken.
    memo.Forget(guidText, typeText);
    try {
        CppSQLite3Statement update = m_db->compileStatement(kUpdate);
        update.bind(1, static_cast<long long>(record.id));
        update.bind(2, now);
        update.bind(3, guidText);
        update.bind(4, typeText);
        if (update.execDML() > 0) {
            memo.Remember(guidText, typeText, {record.id, now});
            return true;
        }

        m_log.d(L"new SyncPoint id = %s,type = %s", record.guid, record.type);
        CppSQLite3Statement insert =
            m_db->compileStatement("INSERT INTO " + m_tableName + "(type,guid,id,logtime) VALUES(?,?,?,?)");
        insert.bind(1, typeText);
        insert.bind(2, guidText);
        insert.bind(3, static_cast<long long>(record.id));
        insert.bind(4, now);
        if (insert.execDML() == 0) {
            m_log.e(L"SyncPointDao:Set execDML no change.");
            return true;
        }
        memo.Remember(guidText, typeText, {record.id, now});
        return true;
    } catch (const CppSQLite3Exception& ex) {
        m_log.e(L"SyncPoint::Set failed: %s", String::UTF8ToUTF16(ex.errorMessage()));
    } catch (...) {
        m_log.e(L"SyncPoint::Set failed.");
    }
    return false;
}

std::int64_t SyncPointDao::Clear() {
    if (!m_db && !Open()) return -1;
    std::lock_guard<std::mutex> lock(m_db->WriteMutex());
    m_db->Bookmarks().ForgetAll();
    try {
        return m_db->execDML("DELETE FROM " + m_tableName);
    } catch (const CppSQLite3Exception& ex) {
        m_log.e(L"SyncPointDao: cannot clear %s: %s", m_db->path(), String::UTF8ToUTF16(ex.errorMessage()));
    }
    return -1;
}

}  // namespace linuxhost
}  // namespace ZEL
