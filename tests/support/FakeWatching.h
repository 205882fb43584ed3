// Watching for tests: nothing ever fires. The agent starts its watchers and timer as on a host;
// tests call the components' own entry points instead (a change notification, a timer pass).
// Thread safety: every call may come from any thread.
#pragma once

#include <memory>

#include "datasync/host/Watching.h"

namespace testsupport {

class FakeWatching : public ZEL::Watching {
public:
    std::unique_ptr<ZEL::Watch> WatchFiles(const std::wstring&, const std::list<std::wstring>&, FileCallback,
                                           platform::HANDLE) override {
        return std::make_unique<ZEL::Watch>();
    }
    std::unique_ptr<ZEL::Watch> Every(std::chrono::milliseconds, std::chrono::milliseconds, std::wstring,
                                      TimerCallback) override {
        return std::make_unique<ZEL::Watch>();
    }
};

}  // namespace testsupport
