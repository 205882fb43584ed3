// The policy watcher's looks and its thread.
//
// Polling rather than inotify: the file is small, a look per second costs nothing, and polling
// also follows a policy_file setting that changes at run time and editors that replace the file
// by renaming, without re-arming any watch.
#include "linuxhost/policy/PolicyFileWatcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "datasync/host/Notification.h"
#include "linuxhost/HostState.h"
#include "linuxhost/policy/PolicyLog.h"
#include "platform/UniqueFd.h"

namespace ZEL {
namespace linuxhost {
namespace {

constexpr std::uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

}  // namespace

PolicyFileWatcher::PolicyFileWatcher(std::chrono::milliseconds period, std::function<bool()> reload)
    : m_period(period < std::chrono::milliseconds(1) ? std::chrono::milliseconds(1) : period),
      m_reload(std::move(reload)) {
    // The baseline is taken before the thread starts, so that a change made right after
    // construction is always seen as a change.
    m_announced = TakeFingerprint(CurrentHostSettings().policy_file);
    m_looks.fetch_add(1);
    m_thread = std::thread([this] { Run(); });
}

PolicyFileWatcher::~PolicyFileWatcher() {
    Stop();
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
    {
        std::lock_guard<std::mutex> lock(m_lookMutex);
        const Fingerprint current = TakeFingerprint(path);
        m_looks.fetch_add(1);
        if (current == m_announced) {
            m_hasPending = false;
            return false;
        }
        if (!m_hasPending || !(current == m_pending)) {
            m_pending = current;
            m_hasPending = true;
            return false;
        }
        m_announced = current;
        m_hasPending = false;
    }
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
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void PolicyFileWatcher::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, m_period, [this] { return m_stopping; })) {
        lock.unlock();
        CheckOnce();
        lock.lock();
    }
}

}  // namespace linuxhost
}  // namespace ZEL
