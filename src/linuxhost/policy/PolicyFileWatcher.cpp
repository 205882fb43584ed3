// The policy watcher's looks and its thread.
//
// The folder's changes come from FileWatcher (inotify on the folder, never on the file, which
// editors replace by renaming): its callback only marks the file changed and wakes this thread,
// which decides when to look. A policy_file setting that changes at run time is followed from
// the next look on (CheckOnce tells the thread), as is a symbolic link that is pointed elsewhere.
#include "linuxhost/policy/PolicyFileWatcher.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "datasync/host/Notification.h"
#include "linuxhost/HostState.h"
#include "linuxhost/policy/PolicyLog.h"
#include "linuxhost/watch/FileWatcher.h"
#include "platform/UniqueFd.h"

namespace ZEL {
namespace linuxhost {
namespace {

constexpr std::uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

// The folder (with its '/', empty for the current one) and the name of a file path.
std::pair<std::string, std::string> SplitPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The path with every symbolic link resolved; empty when it does not lead to an existing file.
std::string Resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

}  // namespace

PolicyFileWatcher::PolicyFileWatcher(std::chrono::milliseconds period, std::function<bool()> reload)
    : m_period(period < std::chrono::milliseconds(1) ? std::chrono::milliseconds(1) : period),
      m_reload(std::move(reload)) {
    // The watch is made before the baseline is taken and the baseline before the thread starts,
    // so that a change made right after construction is always seen as a change.
    const std::string path = CurrentHostSettings().policy_file;
    Watch(WhatToWatch(path));
    m_announced = TakeFingerprint(path);
    m_looks.fetch_add(1);
    m_lastLook = Clock::now();
    m_thread = std::thread([this] { Run(); });
}

PolicyFileWatcher::~PolicyFileWatcher() {
    Stop();
}

PolicyFileWatcher::Watched PolicyFileWatcher::WhatToWatch(const std::string& path) {
    Watched watched{path, std::string()};
    if (path.empty()) return watched;
    // A link's own folder tells only of the link being replaced; a write to the file it leads
    // to shows in that file's folder.
    const std::string target = Resolved(path);
    const auto [folder, name] = SplitPath(path);
    const std::string folderResolved = Resolved(folder.empty() ? "." : folder);
    if (!target.empty() && target != folderResolved + (folderResolved == "/" ? "" : "/") + name)
        watched.target = target;
    return watched;
}

void PolicyFileWatcher::Watch(const Watched& watched) {
    m_watchers.clear();  // joins their threads; their callbacks take m_mutex only briefly
    FileWatcherOptions options;
    options.reportRemoval = true;  // a deleted file is a change of content
    // A missing folder is looked for no more often than the file was once looked at.
    options.retry = std::max(options.retry, m_period);
    for (const std::string* file : {&watched.path, &watched.target}) {
        if (file->empty()) continue;
        const auto [folder, name] = SplitPath(*file);
        try {
            m_watchers.push_back(std::make_unique<FileWatcher>(
                String::UTF8ToUTF16(folder), std::list<std::wstring>{String::UTF8ToUTF16(name)},
                [this](const std::wstring&) { OnFileChanged(); }, false, nullptr, options));
        } catch (const std::exception& error) {
            policy::HostLogLine(LogLevel::Error,
                                L"PolicyFileWatcher: cannot watch %s (%s); changes are seen on SIGHUP",
                                String::UTF8ToUTF16(*file), String::UTF8ToUTF16(error.what()));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_watched = watched;
}

void PolicyFileWatcher::OnFileChanged() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed = true;
    }
    m_wake.notify_all();
}

PolicyFileWatcher::Fingerprint PolicyFileWatcher::TakeFingerprint(const std::string& path) {
    // FNV-1a over the bytes, streamed, so the file is never held in memory. Any failure to read
    // gives the fingerprint of empty content.
    Fingerprint empty{0, kFnvOffset};
    if (path.empty()) return empty;
    const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return empty;
    Fingerprint print = empty;
    char buffer[64 * 1024];
    while (true) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof(buffer));
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            print = empty;
            break;
        }
        for (ssize_t i = 0; i < count; ++i) {
            print.hash ^= static_cast<unsigned char>(buffer[i]);
            print.hash *= kFnvPrime;
        }
        print.size += static_cast<std::uint64_t>(count);
    }
    return print;
}

bool PolicyFileWatcher::CheckOnce() {
    const std::string path = CurrentHostSettings().policy_file;
    bool settled = false;
    bool wakeThread = false;
    {
        std::lock_guard<std::mutex> lock(m_lookMutex);
        const Fingerprint current = TakeFingerprint(path);
        m_looks.fetch_add(1);
        if (current == m_announced) {
            m_hasPending = false;
        } else if (!m_hasPending || !(current == m_pending)) {
            m_pending = current;
            m_hasPending = true;
        } else {
            m_announced = current;
            m_hasPending = false;
            settled = true;
        }
        // Under the look lock, so that the thread learns of looks in the order they were taken.
        std::lock_guard<std::mutex> waitLock(m_mutex);
        m_lastLook = Clock::now();
        m_settleLook.reset();
        if (m_hasPending) m_settleLook = m_lastLook + m_period;
        if (path != m_watched.path) m_changed = true;  // the thread watches the new file's folder
        wakeThread = m_settleLook || m_changed;
    }
    if (wakeThread) m_wake.notify_all();
    if (!settled) return false;
    if (m_reload && !m_reload()) {
        policy::HostLogLine(LogLevel::Warning, L"PolicyFileWatcher: policy file %s changed but cannot be used; "
                                               L"the agent keeps the policy it has",
                            String::UTF8ToUTF16(path));
        return false;
    }
    policy::HostLogLine(LogLevel::Info,
                        L"PolicyFileWatcher: policy file %s changed; publishing topic %d state %d",
                        String::UTF8ToUTF16(path), static_cast<int>(TOPIC_TELEMETRY_POLICY),
                        static_cast<int>(STATE_POLICY_CHANGED));
    ZELPublisherSubscriber* bus = ZELPublisherSubscriber::GetInstance();
    if (bus == nullptr) return false;
    ZELNotificationData notification(TOPIC_TELEMETRY_POLICY, STATE_POLICY_CHANGED, L"");
    bus->Notify(notification, L"");
    return true;
}

void PolicyFileWatcher::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    std::lock_guard<std::mutex> joinLock(m_joinMutex);
    if (m_thread.get_id() == std::this_thread::get_id()) return;
    if (m_thread.joinable()) m_thread.join();
    m_watchers.clear();  // the thread is gone: they are the caller's now
}

void PolicyFileWatcher::Run() {
    constexpr Clock::time_point kNoLook = Clock::time_point::max();
    Clock::time_point nextLook = kNoLook;  // a plain time: GCC's Release build misreads an optional here
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        const auto lookBy = [&nextLook](Clock::time_point at) { nextLook = std::min(nextLook, at); };
        if (m_changed) {
            m_changed = false;
            lookBy(std::max(Clock::now(), m_lastLook + m_period));  // looks stay a period apart
        }
        if (m_settleLook) {
            lookBy(*m_settleLook);
            m_settleLook.reset();
        }
        if (nextLook == kNoLook) {
            m_wake.wait(lock);  // nothing to look at until a watcher reports or a look asks
            continue;
        }
        if (Clock::now() < nextLook) {
            m_wake.wait_until(lock, nextLook);
            continue;
        }
        nextLook = kNoLook;
        lock.unlock();
        CheckOnce();
        const Watched wanted = WhatToWatch(CurrentHostSettings().policy_file);
        lock.lock();
        if (wanted == m_watched || m_stopping) continue;
        lock.unlock();
        Watch(wanted);
        lock.lock();
        m_changed = true;  // what changed before the new watch raised no event
    }
}

}  // namespace linuxhost
}  // namespace ZEL
