// The host's store objects.
#include "linuxhost/datastore/HostStores.h"

#include "linuxhost/LinuxFiles.h"
#include "linuxhost/datastore/SqliteTelemetryTables.h"
#include "linuxhost/datastore/SyncPointBookmarks.h"
#include "linuxhost/utility/HostRegistry.h"

namespace ZEL {
namespace linuxhost {

DataSync::Stores HostStores() {
    static SqliteTelemetryTables tables;  // stateless
    static SyncPointBookmarks bookmarks;  // stateless
    static LinuxFiles files;              // stateless
    static HostRegistry registry;         // its state is the file
    return {&tables, &bookmarks, &files, &registry};
}

void InstallHostStores() {
    DataSync::InstallStores(HostStores());
}

}  // namespace linuxhost
}  // namespace ZEL
