// The database roots: which folder a telemetry or SyncPoint file lives in, named the way the
// agent's records and logs name it. The folder itself is the host's (GetDBPath in
// datasync/host/Folders.h).
//
// Thread safety: constants and a pure function; callable from any thread.
#pragma once

namespace ZEL {
namespace utility {

// The root folder of a telemetry or SyncPoint file.
enum EGetDBPathMethod {
    DB_PATH_DEFAULT = 0,      // "default": the service's telemetry folder
    DB_PATH_INTERNAL = 1,     // "internal/DB": the service's telemetry folder
    DB_PATH_USER_SHARED = 2,  // "user/SharedDB": the logged-on user's shared folder
    DB_PATH_LOCAL = 3,        // "LocalDB": reserved
};

// The label the agent logs for a method: "default", "internal/DB", "user/SharedDB", "LocalDB"
// ("unknown" for any other value). The text is static.
const wchar_t* DBPathMethodLabel(EGetDBPathMethod method);

}  // namespace utility
}  // namespace ZEL
