// FileIdentity: what tells one version of a file from the next, for the host's caches of what a
// file held (a client certificate, a state file, a table's largest id, the newest device
// context). A writer that changes the file in place changes its size or modification time; one
// that renames a new file over it changes the inode.
//
// A modification time is a tick of the kernel's coarse wall clock (a few ms; whole seconds on
// some file systems), so a second write within the tick of a first one can leave the identity
// as the first one left it. SettledAt() tells an identity that no write can share any more: one
// looked at `kSettleTime` after its last modification. A cache of files that others write in
// place (the telemetry databases) trusts an unchanged identity only once it was looked at settled.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <ctime>
#include <string>

namespace ZEL {
namespace linuxhost {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};

    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }

    // False (errno set) when `path` cannot be looked at.
    static bool Of(const std::string& path, FileIdentity& identity) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return false;
        identity.device = info.st_dev;
        identity.inode = info.st_ino;
        identity.size = info.st_size;
        identity.mtime = info.st_mtim;
        return true;
    }

    // Whether this identity, looked at at wall-clock time `lookedAt`, was modified at least
    // kSettleTime before: a later write then gets another modification time. A wall clock set
    // back by more than that makes identities look unsettled for a while (they are read again).
    static constexpr time_t kSettleTime = 3;  // seconds: above the coarsest common tick (2 s)
    bool SettledAt(const timespec& lookedAt) const {
        return mtime.tv_sec + kSettleTime < lookedAt.tv_sec ||
               (mtime.tv_sec + kSettleTime == lookedAt.tv_sec && mtime.tv_nsec <= lookedAt.tv_nsec);
    }
};

// What a SQLite database and its -wal looked like at one moment. A commit by any connection of
// any process writes one of them (the database in rollback-journal mode, the -wal in WAL mode;
// a checkpoint the database), so a later look that finds both as a settled earlier look found
// them proves nothing was committed in between: what was read after the earlier look still holds.
// Two looks of different files never match (their device and inode differ).
struct DatabaseLook {
    bool there = false;     // the database could be looked at
    bool settled = false;   // both files were settled when looked at
    FileIdentity database;
    FileIdentity wal;  // all zero while there is none

    static DatabaseLook Of(const std::string& path) {
        DatabaseLook look;
        if (!FileIdentity::Of(path, look.database)) return look;
        // The file system's clock, not the agent's: modification times are the kernel's wall clock.
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        const bool walThere = FileIdentity::Of(path + "-wal", look.wal);
        if (!walThere) look.wal = FileIdentity{};
        look.there = true;
        look.settled = look.database.SettledAt(now) && (!walThere || look.wal.SettledAt(now));
        return look;
    }
    // Whether `later` shows the files as this settled look found them.
    bool StillHolds(const DatabaseLook& later) const {
        return there && settled && later.there && database == later.database && wal == later.wal;
    }
};

}  // namespace linuxhost
}  // namespace ZEL
