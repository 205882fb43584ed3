// Process-wide storage of the installation's folders.
#include "linuxhost/HostFolders.h"

#include <mutex>

#include "datasync/common/StringUtil.h"
#include "datasync/host/Folders.h"

namespace ZEL {
namespace linuxhost {
namespace {

std::mutex g_foldersMutex;
HostFolders g_folders;  // guarded by g_foldersMutex, like the wide copies below
// The database roots as the module names files: asked for every file it opens, so converted once.
std::wstring g_serviceDbFolder;
std::wstring g_sharedDbFolder;
std::wstring g_localDbFolder;

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    return folder;
}

}  // namespace

void InstallHostFolders(const HostFolders& folders) {
    HostFolders normalised{WithSlash(folders.service_db_dir), WithSlash(folders.shared_db_dir),
                           WithSlash(folders.local_db_dir), WithSlash(folders.log_dir),
                           WithSlash(folders.state_dir)};
    std::wstring service = String::UTF8ToUTF16(normalised.service_db_dir);
    std::wstring shared = String::UTF8ToUTF16(normalised.shared_db_dir);
    std::wstring local = String::UTF8ToUTF16(normalised.local_db_dir);
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    g_folders = std::move(normalised);
    g_serviceDbFolder = std::move(service);
    g_sharedDbFolder = std::move(shared);
    g_localDbFolder = std::move(local);
}

HostFolders CurrentHostFolders() {
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    return g_folders;
}

std::string StateFolder() {
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    return g_folders.state_dir;
}

std::wstring DbFolder(utility::EGetDBPathMethod method) {
    using namespace utility;
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    switch (method) {
        case DB_PATH_DEFAULT:
        case DB_PATH_INTERNAL:
            return g_serviceDbFolder;
        case DB_PATH_USER_SHARED:
            return g_sharedDbFolder;
        case DB_PATH_LOCAL:
            return g_localDbFolder;
    }
    return std::wstring();
}

}  // namespace linuxhost
}  // namespace ZEL
