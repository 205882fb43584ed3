// Where the policy service writes its own lines: the host's "host.log".
//
// A Log is bound for each line rather than once per process, so the line goes to whatever sink
// factory is installed at that moment (the daemon installs one at start-up, tests install a
// capture). The policy service logs only on problems and policy changes, so binding is cheap.
#pragma once

#include "datasync/host/Log.h"

namespace ZEL {
namespace linuxhost {
namespace policy {

template <typename... Args>
void HostLogLine(LogLevel level, const wchar_t* format, const Args&... args) {
    Log log;
    if (!utility::InitLog(log, L"host.log", 4)) return;
    switch (level) {
        case LogLevel::Debug:
            log.d(format, args...);
            break;
        case LogLevel::Info:
            log.i(format, args...);
            break;
        case LogLevel::Warning:
            log.w(format, args...);
            break;
        case LogLevel::Error:
            log.e(format, args...);
            break;
    }
}

}  // namespace policy
}  // namespace linuxhost
}  // namespace ZEL
