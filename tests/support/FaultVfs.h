// A SQLite VFS for tests, over the default one, registered as the default while the object lives
// (so every connection opened with a null VFS name uses it: the host's stores and the test's own
// writers). It keeps, per file, the bytes the file held at its last sync, and can
//   - cut the power: every file goes back to its content at its last sync; a file created and
//     never synced is gone, and so is every "-shm" file (shared memory is never durable);
//   - answer one chosen read, write or sync of a file with an error (an I/O error, a full disk).
// A file deleted through SQLite is deleted for good; a test that deletes a file itself calls
// Forget for it.
//
// Thread safety: any thread; m_mutex guards the shadows and the armed fault. Connections must
// not be used during CutPower (its callback closes them).
#pragma once

#include <sqlite3.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class FaultVfs {
public:
    enum class Op { Read, Write, Sync };

    FaultVfs();
    ~FaultVfs();
    FaultVfs(const FaultVfs&) = delete;
    FaultVfs& operator=(const FaultVfs&) = delete;

    // The op `skip` + 1 of kind `op` on a file whose path ends with `suffix` answers `code`
    // (once); Disarm() takes back a fault that has not fired.
    void Arm(const std::string& suffix, Op op, int skip, int code);
    void Disarm();

    // The power goes: `closeAll` closes every connection meanwhile (writes and syncs made then
    // are lost), then each file is put back to what it held at its last sync.
    void CutPower(const std::function<void()>& closeAll);
    // Forgets `path` and the files named after it (its journal, WAL): deleted by the test.
    void Forget(const std::string& path);

    struct File;  // a handle of ours

private:
    static int Open(sqlite3_vfs*, const char*, sqlite3_file*, int, int*);
    static int Delete(sqlite3_vfs*, const char*, int);
    static int Close(sqlite3_file*);
    static int Read(sqlite3_file*, void*, int, sqlite3_int64);
    static int Write(sqlite3_file*, const void*, int, sqlite3_int64);
    static int Sync(sqlite3_file*, int);
    static int Truncate(sqlite3_file*, sqlite3_int64);
    // The error the armed fault gives this op on `path`, or SQLITE_OK.
    int Fault(const std::string& path, Op op);
    // A write (or, with no bytes, a truncation to `offset`) and a sync of `path`.
    void Wrote(const std::string& path, sqlite3_int64 offset, const char* bytes, int size);
    void Synced(const std::string& path);

    sqlite3_vfs* m_real = nullptr;
    sqlite3_vfs m_vfs{};
    sqlite3_io_methods m_methods{};
    mutable std::mutex m_mutex;
    // Per file, its content at its last sync; none: created and never synced.
    std::map<std::string, std::optional<std::string>> m_shadows;  // guarded by m_mutex
    struct Change {
        sqlite3_int64 offset;
        bool truncate;
        std::string bytes;
    };
    std::map<std::string, std::vector<Change>> m_unsynced;  // since each file's last sync; guarded
    bool m_powerOff = false;                                // guarded by m_mutex
    struct Armed {
        std::string suffix;
        Op op;
        int skip, code;
    };
    std::optional<Armed> m_armed;  // guarded by m_mutex
};

}  // namespace testsupport
