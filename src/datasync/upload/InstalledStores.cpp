// The process's store slots.
#include "datasync/upload/InstalledStores.h"

#include <atomic>
#include <stdexcept>

#include "datasync/host/Folders.h"

namespace ZEL {
namespace DataSync {
namespace {

std::atomic<TelemetryTables*> g_tables{nullptr};
std::atomic<BookmarkStore*> g_bookmarks{nullptr};
std::atomic<HostFiles*> g_files{nullptr};
std::atomic<Registry*> g_registry{nullptr};

}  // namespace

void InstallStores(const Stores& stores) {
    g_tables.store(stores.tables);
    g_bookmarks.store(stores.bookmarks);
    g_files.store(stores.files);
    g_registry.store(stores.registry);
}

Stores InstalledStores() {
    return {g_tables.load(), g_bookmarks.load(), g_files.load(), g_registry.load()};
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

// The doors onto the installed files and registry.
namespace utility {

std::wstring GetDBPath(EGetDBPathMethod method) {
    DataSync::HostFiles* files = DataSync::g_files.load();
    return files != nullptr ? files->DbFolder(method) : std::wstring();
}

void WriteErrorToRegistry(std::wstring& name, long value) {
    if (Registry* registry = DataSync::g_registry.load()) registry->Write(name, value);
}

bool ReadRegistryValue(const std::wstring& name, long& value) {
    Registry* registry = DataSync::g_registry.load();
    return registry != nullptr && registry->Read(name, value);
}

}  // namespace utility
}  // namespace ZEL
