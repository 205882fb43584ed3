// Watching on the Linux host: each Watch owns one FileWatcher or PeriodicTimer, so destroying it
// stops and joins the watcher's thread.
#include "linuxhost/watch/HostWatching.h"

#include <utility>

#include "linuxhost/watch/FileWatcher.h"

namespace ZEL {
namespace linuxhost {
namespace {

template <typename Watcher>
class Owned : public Watch {
public:
    explicit Owned(std::unique_ptr<Watcher> watcher) : m_watcher(std::move(watcher)) {}

private:
    std::unique_ptr<Watcher> m_watcher;
};

template <typename Watcher>
std::unique_ptr<Watch> Own(std::unique_ptr<Watcher> watcher) {
    return std::make_unique<Owned<Watcher>>(std::move(watcher));
}

}  // namespace

std::unique_ptr<Watch> HostWatching::WatchFiles(const std::wstring& folder,
                                                const std::list<std::wstring>& fileNames,
                                                FileCallback callback, platform::HANDLE stopEvent) {
    return Own(std::make_unique<FileWatcher>(folder, fileNames, std::move(callback), false, stopEvent));
}

std::unique_ptr<Watch> HostWatching::Every(std::chrono::milliseconds period,
                                           std::chrono::milliseconds initialDelay, std::wstring name,
                                           TimerCallback callback) {
    return Own(std::make_unique<PeriodicTimer>(period, initialDelay, std::move(name), std::move(callback)));
}

}  // namespace linuxhost
}  // namespace ZEL
