// The host's telemetry tables, bookmarks and files, installed as the process's stores: one stateless
// object of each for the life of the process.
//
// Thread safety: call before any agent thread starts (the daemon's start, a test binary's start);
// safe to call again.
#pragma once

#include "datasync/upload/InstalledStores.h"

namespace ZEL {
namespace linuxhost {

// The host's stores (objects that live until the process ends).
DataSync::Stores HostStores();
// Installs HostStores() as the process's stores.
void InstallHostStores();

}  // namespace linuxhost
}  // namespace ZEL
