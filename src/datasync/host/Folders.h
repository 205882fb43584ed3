// The folder of each database root, as the module asks for it: a door onto the installed
// HostFiles (HostFiles::DbFolder, upload/InstalledStores.h). Empty without one.
//
// Thread safety: any thread.
#pragma once

#include <string>

#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace utility {

// The folder of `method`, ending with '/', so that file names are appended directly. Empty when
// the host has not configured that folder.
std::wstring GetDBPath(EGetDBPathMethod method);

}  // namespace utility
}  // namespace ZEL
