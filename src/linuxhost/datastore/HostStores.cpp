// The host's store objects.
#include "linuxhost/datastore/HostStores.h"

#include "linuxhost/datastore/SqliteTelemetryTables.h"
#include "linuxhost/datastore/SyncPointBookmarks.h"

namespace ZEL {
namespace linuxhost {

DataSync::Stores HostStores() {
    static SqliteTelemetryTables tables;  // stateless
    static SyncPointBookmarks bookmarks;  // stateless
    return {&tables, &bookmarks};
}

void InstallHostStores() {
    DataSync::InstallStores(HostStores());
}

}  // namespace linuxhost
}  // namespace ZEL
