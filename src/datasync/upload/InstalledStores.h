// The stores of the process: the telemetry tables, the bookmarks, the files and the registry every
// upload, purge and retention run reaches, as the host installed them with the agent's environment. Components
// that are handed their stores use those; the process-wide uploader calls (an uploader built on
// its own, the static questions of SyncAgentsHelper) reach these.
//
// Thread safety: InstallStores runs before any agent thread starts (the daemon's start, a test's
// set-up) and while none runs; InstalledStores may then be called from any thread.
#pragma once

#include "datasync/host/BookmarkStore.h"
#include "datasync/host/HostFiles.h"
#include "datasync/host/Registry.h"
#include "datasync/host/TelemetryTables.h"

namespace ZEL {
namespace DataSync {

struct Stores {
    TelemetryTables* tables = nullptr;   // not owned
    BookmarkStore* bookmarks = nullptr;  // not owned
    HostFiles* files = nullptr;          // not owned
    Registry* registry = nullptr;        // not owned
};

// Installs `stores` (not owned; they must outlive every use). Either may be null: nothing is
// installed then, and a use of it throws std::logic_error naming it.
void InstallStores(const Stores& stores);
// The installed stores, null where none is.
Stores InstalledStores();
// The installed stores; throws std::logic_error naming the one not installed.
TelemetryTables& InstalledTables();
BookmarkStore& InstalledBookmarks();
HostFiles& InstalledFiles();

}  // namespace DataSync
}  // namespace ZEL
