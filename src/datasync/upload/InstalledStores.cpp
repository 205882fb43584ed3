// The process's store slots.
#include "datasync/upload/InstalledStores.h"

#include <atomic>
#include <stdexcept>

namespace ZEL {
namespace DataSync {
namespace {

std::atomic<TelemetryTables*> g_tables{nullptr};
std::atomic<BookmarkStore*> g_bookmarks{nullptr};
std::atomic<HostFiles*> g_files{nullptr};

}  // namespace

void InstallStores(const Stores& stores) {
    g_tables.store(stores.tables);
    g_bookmarks.store(stores.bookmarks);
    g_files.store(stores.files);
}

Stores InstalledStores() {
    return {g_tables.load(), g_bookmarks.load(), g_files.load()};
}

TelemetryTables& InstalledTables() {
    TelemetryTables* tables = g_tables.load();
    if (tables == nullptr) throw std::logic_error("no telemetry table store is installed");
    return *tables;
}

BookmarkStore& InstalledBookmarks() {
    BookmarkStore* bookmarks = g_bookmarks.load();
    if (bookmarks == nullptr) throw std::logic_error("no bookmark store is installed");
    return *bookmarks;
}

HostFiles& InstalledFiles() {
    HostFiles* files = g_files.load();
    if (files == nullptr) throw std::logic_error("no host file system is installed");
    return *files;
}

}  // namespace DataSync
}  // namespace ZEL
