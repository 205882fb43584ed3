// Process-wide storage of the installation's folders.
#include "linuxhost/HostFolders.h"

#include <mutex>

#include "datasync/common/StringUtil.h"
#include "datasync/host/Folders.h"

namespace ZEL {
namespace linuxhost {
namespace {

std::mutex g_foldersMutex;
HostFolders g_folders;

std::string WithSlash(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    return folder;
}

}  // namespace

void InstallHostFolders(const HostFolders& folders) {
    HostFolders normalised{WithSlash(folders.service_db_dir), WithSlash(folders.shared_db_dir),
                           WithSlash(folders.local_db_dir), WithSlash(folders.log_dir),
                           WithSlash(folders.state_dir)};
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    g_folders = std::move(normalised);
}

HostFolders CurrentHostFolders() {
    std::lock_guard<std::mutex> lock(g_foldersMutex);
    return g_folders;
}

std::wstring DbFolder(utility::EGetDBPathMethod method) {
    using namespace utility;
    const HostFolders folders = CurrentHostFolders();
    switch (method) {
        case DB_PATH_DEFAULT:
        case DB_PATH_INTERNAL:
            return String::UTF8ToUTF16(folders.service_db_dir);
        case DB_PATH_USER_SHARED:
            return String::UTF8ToUTF16(folders.shared_db_dir);
        case DB_PATH_LOCAL:
            return String::UTF8ToUTF16(folders.local_db_dir);
    }
    return std::wstring();
}

}  // namespace linuxhost
}  // namespace ZEL
