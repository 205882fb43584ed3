// The Linux host's log files: one rotating UTF-8 file per log file name in the log folder
// (10 MiB, 3 kept), lines "2026-12-06T10:00:00.123+01:00 [D] <tid> text", flushed at warning
// level and above at once and within about a second otherwise.
#pragma once

#include <string>

#include "datasync/host/Log.h"

namespace ZEL {
namespace linuxhost {

// Installs the file sink factory for InitLog. Lines below `minimumLevel` are dropped.
// Creates `logDir` when missing. Throws std::runtime_error naming the folder when it cannot.
void ConfigureFileLogging(const std::string& logDir, LogLevel minimumLevel);

// Parses "debug", "info", "warning" (or "warn"), "error" in any case; false for anything else.
bool ParseLogLevel(const std::string& text, LogLevel& level);

// Flushes every open log file and stops the periodic flush (daemon shutdown).
void ShutdownFileLogging();

// The host's own log "host.log", bound at each call to the sink of the factory installed then
// (drops lines while none is installed). Call it for each use rather than keeping the reference.
Log& HostLog();

}  // namespace linuxhost
}  // namespace ZEL
