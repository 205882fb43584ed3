// The Linux file watcher: one inotify instance per watcher, a thread that turns its events into
// at most one report per listed file per 100 ms, and an eventfd that wakes the thread for
// shutdown.
//
// What is watched: the folder for its entries coming and going (created, renamed in or out,
// deleted) and each listed file and its -wal file for writes. Writes to the other files of the
// folder (the agent's own bookmark commits among them) never wake the thread. A watch on a file
// follows its inode, so the folder's events keep the file watches on what the names name: an
// entry created or renamed in gets a new watch (and counts as a change), one deleted or renamed
// away loses its watch. When the kernel refuses a file watch for another reason than a missing
// file (the inotify watch limit), the folder's watch takes every write in the folder, as the
// file watches would have. The thread blocks in one poll on the inotify fd, that eventfd and the stop
// event's descriptor; the poll has a time-out only while a report is due (or, rarely, while a
// missing folder cannot be waited for), so an idle watcher never wakes.
//
// A missing folder is waited for through a watch on its nearest existing ancestor: an entry
// created or renamed into that ancestor, or the ancestor going away, has the folder looked for
// again (and the ancestor chosen again, a level deeper as `mkdir -p` goes on). Only when no
// ancestor can be watched does the thread look for the folder every `retry`.
//
// Coalescing: the first unreported change of a file opens a 100 ms window; when it closes, the
// file is reported once for every change inside it. The window is cleared before the callback
// runs, so a change that arrives during or after a report opens a new window and leads to
// another report: the last change of a burst is never lost, and a steady stream of writes is
// reported about every 100 ms rather than never.
//
// The thread and its state are shared (not owned by the FileWatcher alone) so that a callback
// may destroy its own watcher: the destructor then detaches instead of joining itself, and the
// thread ends after the callback returns.
#include "linuxhost/watch/FileWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "datasync/common/StringUtil.h"
#include "linuxhost/logging/FileLogging.h"
#include "platform/UniqueFd.h"

namespace ZEL {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kCoalesceWindow = std::chrono::milliseconds(100);
// A stop event without a descriptor (not an in-process manual-reset event) cannot be polled
// with the fds, so the thread looks at it this often. The owner's destruction wakes the thread
// at once; this only bounds how long such a watcher outlives its stop event.
constexpr auto kStopLookInterval = std::chrono::seconds(1);
// Bounds the work between two looks at the stop flags while events keep pouring in.
constexpr int kMaxReadsPerPass = 16;
// IN_CLOSE_WRITE is left out on purpose: a reader's SELECT raises it too.
constexpr std::uint32_t kFolderMask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kFileMask = IN_MODIFY;
constexpr std::uint32_t kAncestorMask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
const std::string kWalSuffix = "-wal";

bool PathExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::wstring ErrnoText(int error) {
    return String::UTF8ToUTF16(std::strerror(error));
}

// Everything the watcher thread works on. The members after `stopping` belong to the thread alone
// once it runs (the constructor sets them up before starting it).
class WatchState {
public:
    std::string folder;       // UTF-8, ends with '/'
    std::wstring wideFolder;  // as reported, ends with '/'
    std::vector<std::string> names;  // UTF-8; a report widens the one it names
    FileWatcher::Callback callback;
    platform::HANDLE stopEvent;
    int stopFd = -1;  // the stop event's descriptor, owned by the event (held above); -1: none
    FileWatcherOptions options;
    platform::UniqueFd wakeFd;  // eventfd, written once by the owner to end the thread
    std::atomic<bool> stopping{false};

    platform::UniqueFd inotifyFd;
    int watch = -1;
    bool folderWrites = false;  // the folder's watch takes the writes: file watches were refused
    struct FileWatches {
        int file = -1;
        int wal = -1;
    };
    std::vector<FileWatches> fileWatches;               // per name
    std::unordered_map<int, std::size_t> watchedFiles;  // file watch -> name
    int ancestorWatch = -1;       // while the folder is missing: its nearest existing ancestor
    bool missing = false;         // the folder was not watched at some point: catch up on re-watch
    Clock::time_point nextRetry;  // max while the ancestor's watch will say when to look
    std::vector<std::optional<Clock::time_point>> due;  // per name: end of its open window

    bool TryAddWatch();
    void Run();

private:
    bool StopEventSet() const;
    void LookForFolder(Clock::time_point now);
    bool WatchAncestor();
    void DropAncestorWatch();
    void ReadEvents(Clock::time_point now);
    void HandleEvent(const inotify_event& event, Clock::time_point now);
    void HandleFileEvent(const inotify_event& event, Clock::time_point now);
    void LoseWatch(Clock::time_point now);
    void WatchFiles();
    void WatchFile(std::size_t index, bool wal);
    void UnwatchFile(std::size_t index, bool wal);
    void UnwatchFiles();
    void WatchFolderWrites(int error);
    int Match(const char* name, bool& wal) const;
    void MarkChanged(std::size_t index, Clock::time_point now);
    void MarkAll(Clock::time_point now);
    void MarkExisting(Clock::time_point now);
    void ReportDue(Clock::time_point now);
    int PollTimeoutMs(Clock::time_point now) const;
};

bool WatchState::TryAddWatch() {
    if (!inotifyFd) {
        const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (!missing) {
                linuxhost::HostLog().e(L"FileWatcher: inotify_init1 failed for %s: %s; retrying", wideFolder,
                                       ErrnoText(error));
            }
            return false;
        }
        inotifyFd.reset(fd);
    }
    watch = ::inotify_add_watch(inotifyFd.get(), folder.c_str(), kFolderMask | (folderWrites ? IN_MODIFY : 0u));
    if (watch < 0) {
        const int error = errno;
        if (!missing) {
            linuxhost::HostLog().i(L"FileWatcher: cannot watch %s yet (%s); watching again once it appears",
                                   wideFolder, ErrnoText(error));
        }
        return false;
    }
    WatchFiles();
    return true;
}

void WatchState::WatchFiles() {
    for (std::size_t i = 0; i < names.size(); ++i) {
        WatchFile(i, false);
        WatchFile(i, true);
    }
}

void WatchState::WatchFile(std::size_t index, bool wal) {
    int& slot = wal ? fileWatches[index].wal : fileWatches[index].file;
    const std::string path = folder + names[index] + (wal ? kWalSuffix : std::string());
    const int added = ::inotify_add_watch(inotifyFd.get(), path.c_str(), kFileMask);
    if (added < 0) {
        // A missing file is watched once the folder says it is there; a folder gone is the
        // folder's watch's news.
        if (errno != ENOENT && errno != ENOTDIR) WatchFolderWrites(errno);
        return;
    }
    if (slot >= 0 && slot != added) UnwatchFile(index, wal);  // the name names another file now
    slot = added;
    watchedFiles[added] = index;
}

void WatchState::UnwatchFile(std::size_t index, bool wal) {
    int& slot = wal ? fileWatches[index].wal : fileWatches[index].file;
    if (slot < 0) return;
    ::inotify_rm_watch(inotifyFd.get(), slot);  // fails harmlessly when the kernel dropped it
    watchedFiles.erase(slot);
    slot = -1;
}

void WatchState::UnwatchFiles() {
    for (std::size_t i = 0; i < names.size(); ++i) {
        UnwatchFile(i, false);
        UnwatchFile(i, true);
    }
}

void WatchState::WatchFolderWrites(int error) {
    if (folderWrites) return;
    folderWrites = true;
    linuxhost::HostLog().w(L"FileWatcher: the files of %s cannot be watched one by one (%s); watching every "
                           L"write in the folder",
                           wideFolder, ErrnoText(error));
    if (watch >= 0 && ::inotify_add_watch(inotifyFd.get(), folder.c_str(), kFolderMask | IN_MODIFY) < 0) {
        linuxhost::HostLog().e(L"FileWatcher: nor can %s take every write (%s); writes to its files are not seen "
                               L"until it is watched again",
                               wideFolder, ErrnoText(errno));
    }
}

void WatchState::Run() {
    nextRetry = Clock::now();
    while (!stopping.load()) {
        if (StopEventSet()) {
            linuxhost::HostLog().i(L"FileWatcher: stop event set, watching of %s ends", wideFolder);
            return;
        }
        Clock::time_point now = Clock::now();
        if (watch < 0 && now >= nextRetry) LookForFolder(now);
        ReportDue(now);
        if (stopping.load()) return;

        // poll skips a negative fd: no inotify instance yet, or no stop descriptor. The stop
        // descriptor stays readable while the event is set: the look at the top of the loop then
        // ends watching.
        pollfd fds[3] = {{wakeFd.get(), POLLIN, 0}, {inotifyFd.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, 3, PollTimeoutMs(Clock::now()));
        if (ready < 0) {
            if (errno == EINTR) continue;
            linuxhost::HostLog().e(L"FileWatcher: poll failed for %s: %s; watching ends", wideFolder,
                                   ErrnoText(errno));
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) ReadEvents(Clock::now());
    }
}

void WatchState::LookForFolder(Clock::time_point now) {
    // The ancestor is watched before the folder is looked for again, so that a folder made in
    // between is either found now or announced by the ancestor.
    const bool waitable = WatchAncestor();
    if (TryAddWatch()) {
        DropAncestorWatch();
        linuxhost::HostLog().i(L"FileWatcher: watching %s", wideFolder);
        // Writes made while the folder was not watched raised no events.
        MarkExisting(now);
        missing = false;
        return;
    }
    missing = true;
    nextRetry = waitable ? Clock::time_point::max() : now + options.retry;
}

bool WatchState::WatchAncestor() {
    if (!inotifyFd) return false;
    std::string ancestor = folder.substr(0, folder.size() - 1);
    for (;;) {
        const std::size_t slash = ancestor.find_last_of('/');
        if (slash == std::string::npos) {
            ancestor = ".";
        } else {
            ancestor.resize(slash == 0 ? 1 : slash);
        }
        const int added = ::inotify_add_watch(inotifyFd.get(), ancestor.c_str(), kAncestorMask);
        if (added >= 0) {
            if (ancestorWatch >= 0 && ancestorWatch != added)
                ::inotify_rm_watch(inotifyFd.get(), ancestorWatch);
            ancestorWatch = added;
            return true;
        }
        if ((errno != ENOENT && errno != ENOTDIR) || ancestor == "/" || ancestor == ".") return false;
    }
}

void WatchState::DropAncestorWatch() {
    if (ancestorWatch < 0) return;
    ::inotify_rm_watch(inotifyFd.get(), ancestorWatch);
    ancestorWatch = -1;
}

bool WatchState::StopEventSet() const {
    // A zero wait consumes nothing from a manual-reset event (see the header on auto-reset ones).
    return stopEvent && platform::WaitForSingleObject(stopEvent, 0) == platform::WAIT_OBJECT_0;
}

void WatchState::ReadEvents(Clock::time_point now) {
    alignas(inotify_event) char buffer[16 * 1024];
    for (int pass = 0; pass < kMaxReadsPerPass && !stopping.load(); ++pass) {
        const ssize_t length = ::read(inotifyFd.get(), buffer, sizeof buffer);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) return;  // EAGAIN: drained
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            HandleEvent(*event, now);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void WatchState::HandleEvent(const inotify_event& event, Clock::time_point now) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
        // Events were dropped: any listed file may have changed.
        linuxhost::HostLog().w(L"FileWatcher: event queue overflow for %s; reporting every file", wideFolder);
        if (watch >= 0) WatchFiles();  // a file created or renamed in meanwhile has no watch yet
        MarkAll(now);
        return;
    }
    if (ancestorWatch >= 0 && event.wd == ancestorWatch) {
        // Something came into the ancestor, or it went: look for the folder again now.
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) DropAncestorWatch();
        nextRetry = now;
        return;
    }
    if (watch < 0) return;  // left over from a watch given up
    if (event.wd != watch) {
        HandleFileEvent(event, now);
        return;
    }
    if ((event.mask & (IN_IGNORED | IN_MOVE_SELF)) != 0) {
        LoseWatch(now);
        return;
    }
    if (event.len == 0 || (event.mask & IN_ISDIR) != 0) return;
    bool wal = false;
    const int found = Match(event.name, wal);
    if (found < 0) return;
    const auto index = static_cast<std::size_t>(found);
    if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
        WatchFile(index, wal);
        MarkChanged(index, now);
    } else if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
        UnwatchFile(index, wal);
        if (options.reportRemoval) MarkChanged(index, now);
    } else {
        MarkChanged(index, now);  // a write, seen by the folder's watch
    }
}

void WatchState::HandleFileEvent(const inotify_event& event, Clock::time_point now) {
    const auto found = watchedFiles.find(event.wd);
    if (found == watchedFiles.end()) return;  // left over from a watch given up
    const std::size_t index = found->second;
    if ((event.mask & IN_IGNORED) != 0) {
        // The file is gone (its last link and last user) or its watch was removed.
        FileWatches& watches = fileWatches[index];
        if (watches.file == event.wd) watches.file = -1;
        if (watches.wal == event.wd) watches.wal = -1;
        watchedFiles.erase(found);
        return;
    }
    MarkChanged(index, now);
}

void WatchState::LoseWatch(Clock::time_point now) {
    // The folder was deleted, unmounted or renamed away: the watch no longer follows `folder`.
    linuxhost::HostLog().i(L"FileWatcher: %s went away; watching again once it is back", wideFolder);
    UnwatchFiles();
    ::inotify_rm_watch(inotifyFd.get(), watch);  // fails harmlessly when the kernel dropped it
    watch = -1;
    missing = true;
    nextRetry = now;
    if (options.reportRemoval) MarkAll(now);  // the listed files went with the folder
}

int WatchState::Match(const char* name, bool& wal) const {
    const std::string changed(name);
    wal = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (changed == names[i]) return static_cast<int>(i);
    }
    if (changed.size() > kWalSuffix.size() &&
        changed.compare(changed.size() - kWalSuffix.size(), kWalSuffix.size(), kWalSuffix) == 0) {
        const std::string base = changed.substr(0, changed.size() - kWalSuffix.size());
        wal = true;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (base == names[i]) return static_cast<int>(i);
        }
    }
    return -1;
}

void WatchState::MarkChanged(std::size_t index, Clock::time_point now) {
    if (!due[index]) due[index] = now + kCoalesceWindow;
}

void WatchState::MarkAll(Clock::time_point now) {
    for (std::size_t i = 0; i < names.size(); ++i) MarkChanged(i, now);
}

void WatchState::MarkExisting(Clock::time_point now) {
    if (options.reportRemoval) {
        MarkAll(now);  // a file that is gone changed as much as one that was written
        return;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (PathExists(folder + names[i]) || PathExists(folder + names[i] + kWalSuffix)) MarkChanged(i, now);
    }
}

void WatchState::ReportDue(Clock::time_point now) {
    for (std::size_t i = 0; i < names.size() && !stopping.load(); ++i) {
        if (!due[i] || *due[i] > now) continue;
        due[i].reset();  // before the call: changes seen after it open a new window
        const std::wstring path = wideFolder + String::UTF8ToUTF16(names[i]);
        try {
            callback(path);
        } catch (const std::exception& error) {
            linuxhost::HostLog().e(L"FileWatcher: the change handler failed for %s: %s", path,
                                   String::UTF8ToUTF16(error.what()));
        } catch (...) {
            linuxhost::HostLog().e(L"FileWatcher: the change handler failed for %s: unknown exception", path);
        }
    }
}

int WatchState::PollTimeoutMs(Clock::time_point now) const {
    std::optional<Clock::time_point> wakeAt;
    const auto wakeBy = [&wakeAt](Clock::time_point at) { wakeAt = wakeAt ? std::min(*wakeAt, at) : at; };
    if (stopEvent && stopFd < 0) wakeBy(now + kStopLookInterval);
    if (watch < 0 && nextRetry != Clock::time_point::max()) wakeBy(nextRetry);
    for (const auto& deadline : due) {
        if (deadline) wakeBy(*deadline);
    }
    if (!wakeAt) return -1;  // nothing to do until an fd says so
    if (*wakeAt <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wakeAt - now).count());
}

}  // namespace

struct FileWatcher::Impl {
    std::shared_ptr<WatchState> state;
    std::thread thread;
};

FileWatcher::FileWatcher(const std::wstring& folder, const std::list<std::wstring>& fileNames,
                         Callback callback, bool /*flag*/, platform::HANDLE stopEvent,
                         FileWatcherOptions options)
    : m_impl(std::make_unique<Impl>()) {
    auto state = std::make_shared<WatchState>();
    state->wideFolder = folder.empty() ? L"./" : folder;
    if (state->wideFolder.back() != L'/') state->wideFolder += L'/';
    state->folder = String::UTF16ToUTF8(state->wideFolder);
    state->names.reserve(fileNames.size());
    for (const std::wstring& name : fileNames) state->names.push_back(String::UTF16ToUTF8(name));
    state->due.resize(state->names.size());
    state->fileWatches.resize(state->names.size());
    state->callback = std::move(callback);
    state->stopEvent = std::move(stopEvent);
    if (state->stopEvent) {
        state->stopFd = platform::EventDescriptor(state->stopEvent);
        if (state->stopFd < 0) {
            linuxhost::HostLog().i(
                L"FileWatcher: the stop event of %s cannot be polled (error %d); looking at it "
                L"every second",
                state->wideFolder, static_cast<int>(platform::GetLastError()));
        }
    }
    state->options = options;

    const int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) throw std::system_error(errno, std::generic_category(), "FileWatcher: eventfd");
    state->wakeFd.reset(wake);
    // Watching starts here, not on the thread, so that a change made as soon as the constructor
    // returns is seen; only a missing folder is left to the thread's retries.
    state->missing = !state->TryAddWatch();

    m_impl->state = state;
    m_impl->thread = std::thread([state] { state->Run(); });
}

FileWatcher::~FileWatcher() {
    WatchState& state = *m_impl->state;
    state.stopping.store(true);
    const std::uint64_t one = 1;
    const ssize_t written = ::write(state.wakeFd.get(), &one, sizeof one);
    (void)written;  // cannot fail short of a closed fd; the thread also checks `stopping`
    if (m_impl->thread.get_id() == std::this_thread::get_id()) {
        m_impl->thread.detach();  // destroyed from its own callback: the thread ends after it
    } else if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
}

}  // namespace ZEL
