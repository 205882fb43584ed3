// File queries of the host.
//
// fileExists answers whether `path` names a regular file, directly or through symbolic links:
// the agent asks it before opening a database or a marker file, so a folder, a device or a
// dangling link does not count.
#include "linuxhost/utility/FileSystem.h"

#include <sys/stat.h>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace FileSystem {

bool fileExists(const std::wstring& path) {
    // An embedded NUL would silently shorten the path the system sees.
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
    struct stat info {};
    return ::stat(String::UTF16ToUTF8(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace FileSystem
}  // namespace ZEL
