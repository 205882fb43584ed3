// Watching: how the module asks its host for file watchers and periodic timers. Each request
// answers an opaque Watch whose destruction stops the watching and joins its thread (waiting for
// a callback in progress); a callback may destroy its own Watch.
//
// WatchFiles calls back with the full path (folder + name) of a listed database file that
// changed: a change of "<name>-wal" counts as one of "<name>", bursts within about 100 ms are
// reported once, and the folder need not exist yet. `stopEvent` (may be null; a manual-reset
// event) ends the watching early when set.
//
// Every calls `callback(name)` after `initialDelay` and then every `period` (measured from the
// start of the previous call; calls never overlap, missed periods are not made up).
//
// Callbacks run on the host's threads; exceptions they throw are logged by the host.
// Thread safety: requests may be made from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "platform/KernelObjects.h"

namespace ZEL {

class Watch {
public:
    virtual ~Watch() = default;
};

class Watching {
public:
    using FileCallback = std::function<void(const std::wstring& fullPath)>;
    using TimerCallback = std::function<void(const std::wstring& name)>;

    virtual ~Watching() = default;
    virtual std::unique_ptr<Watch> WatchFiles(const std::wstring& folder,
                                              const std::list<std::wstring>& fileNames, FileCallback callback,
                                              platform::HANDLE stopEvent) = 0;
    virtual std::unique_ptr<Watch> Every(std::chrono::milliseconds period,
                                         std::chrono::milliseconds initialDelay, std::wstring name,
                                         TimerCallback callback) = 0;
};

}  // namespace ZEL
