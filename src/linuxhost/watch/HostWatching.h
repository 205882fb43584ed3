// The Linux host's Watching service: file watchers on inotify (FileWatcher) and periodic timers
// (PeriodicTimer), each handed out as the opaque Watch the module keeps.
//
// Thread safety: stateless; requests may come from any thread. HostServices installs one.
#pragma once

#include "datasync/host/Watching.h"

namespace ZEL {
namespace linuxhost {

class HostWatching : public Watching {
public:
    std::unique_ptr<Watch> WatchFiles(const std::wstring& folder, const std::list<std::wstring>& fileNames,
                                      FileCallback callback, platform::HANDLE stopEvent) override;
    std::unique_ptr<Watch> Every(std::chrono::milliseconds period, std::chrono::milliseconds initialDelay,
                                 std::wstring name, TimerCallback callback) override;
};

}  // namespace linuxhost
}  // namespace ZEL
