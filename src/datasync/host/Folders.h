// The host's folders and file queries: the folder of each database root and whether a path
// names a regular file.
//
// Thread safety: both may be called from any thread; GetDBPath reads the folders the host
// installed at start (a consistent copy even while they are replaced).
#pragma once

#include <string>

#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace utility {

// The folder of `method`, ending with '/', so that file names are appended directly. Empty when
// the host has not configured that folder.
std::wstring GetDBPath(EGetDBPathMethod method);

}  // namespace utility

namespace FileSystem {

// True when `path` names a regular file, directly or through symbolic links.
bool fileExists(const std::wstring& path);

}  // namespace FileSystem
}  // namespace ZEL
