// Messaging retention: the messaging plugin's databases (dataset
// "7C1F9721-2D5C-44F7-AB64-FA4545A7BA0B", one item-event and one dataset-context file per root)
// are left out of the device-path purge's cutoff; at the end of purging each root they are
// trimmed to the last 180 days instead.
//
// Thread safety: runs on the purge's thread; works through the telemetry table store.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "datasync/common/DbRoots.h"
#include "datasync/host/HostFiles.h"
#include "datasync/host/Log.h"
#include "datasync/host/TelemetryTables.h"

namespace ZEL {

constexpr int kMessagingRetentionDays = 180;

// The first regular file directly in `folder` whose whole name matches `pattern` (ignoring case;
// its group is a dataset id) and names the messaging plugin's dataset.
bool FindMessagingPluginDb(DataSync::HostFiles& files, const std::wstring& folder, const std::wstring& pattern,
                           std::wstring& path);

// Deletes the messaging plugin's rows logged up to `cutoff` in the folder of `root`. Returns the
// rows deleted.
std::int64_t ApplyMessagingRetentionPolicy(DataSync::TelemetryTables& tables, DataSync::HostFiles& files,
                                           const std::chrono::system_clock::time_point& cutoff,
                                           utility::EGetDBPathMethod root, Log& log);

}  // namespace ZEL
