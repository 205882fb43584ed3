// The folders of one installation, as named by the host config. The daemon installs them at
// start; GetDBPath, InitLog and the state files read them. Each folder text ends with '/'
// (Install adds it where missing).
//
// Thread safety: Install may run while other threads read; readers get a consistent copy.
#pragma once

#include <string>

#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace linuxhost {

struct HostFolders {
    std::string service_db_dir;  // GetDBPath methods 0 and 1
    std::string shared_db_dir;   // method 2
    std::string local_db_dir;    // method 3
    std::string log_dir;
    std::string state_dir;
};

void InstallHostFolders(const HostFolders& folders);
HostFolders CurrentHostFolders();
// The state folder alone (CurrentHostFolders().state_dir, without copying the others).
std::string StateFolder();
// The folder of a database root (methods 0 and 1 the service's, 2 the shared, 3 the local one),
// ending with '/'; empty when not configured. The module asks it through HostFiles::DbFolder.
std::wstring DbFolder(utility::EGetDBPathMethod method);

}  // namespace linuxhost
}  // namespace ZEL
