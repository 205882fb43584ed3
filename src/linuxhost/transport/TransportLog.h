// Where the transport writes its own lines: the host's "host.log".
//
// The Log is bound for each line rather than once per process, so a line goes to whatever sink
// factory is installed at that moment (the daemon installs one at start-up, tests install a
// capture per test). The transport logs only refusals and local failures, so the binding per
// line costs nothing that matters.
#pragma once

#include "datasync/host/Log.h"

namespace ZEL {
namespace linuxhost {
namespace transport {

template <typename... Args>
void TransportLogWarning(const wchar_t* format, const Args&... args) {
    Log log;
    if (utility::InitLog(log, L"host.log", 4)) log.w(format, args...);
}

template <typename... Args>
void TransportLogError(const wchar_t* format, const Args&... args) {
    Log log;
    if (utility::InitLog(log, L"host.log", 4)) log.e(format, args...);
}

}  // namespace transport
}  // namespace linuxhost
}  // namespace ZEL
