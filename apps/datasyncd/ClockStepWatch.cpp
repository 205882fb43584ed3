// Wall-clock steps, seen as jumps of the wall clock's distance from the monotonic clock, looked
// for whenever the kernel says the wall clock was set.
#include "datasyncd/ClockStepWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "datasync/common/StringUtil.h"
#include "linuxhost/logging/FileLogging.h"

namespace datasyncd {
namespace {

using ZEL::String::UTF8ToUTF16;

// Events that leave the offset file complete or gone. A file being written raises IN_CREATE
// and IN_MODIFY before its text is all there; IN_CLOSE_WRITE follows once it is.
constexpr std::uint32_t kOffsetEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;

std::wstring ErrnoText(int error) {
    return UTF8ToUTF16(std::strerror(error));
}

}  // namespace

std::optional<std::chrono::seconds> ClockStepDetector::Check() {
    using std::chrono::nanoseconds;
    const nanoseconds distance =
        m_clock.WallNow().time_since_epoch() - m_clock.SteadyNow().time_since_epoch();
    const std::optional<nanoseconds> last = m_lastDistance;
    m_lastDistance = distance;
    if (!last) return std::nullopt;
    const nanoseconds step = distance - *last;
    if (step < kStepThreshold && step > -kStepThreshold) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::seconds>(step);
}

ClockStepWatch::ClockStepWatch(ZEL::Clock& clock, StepCallback onStep, std::string offsetFile,
                               std::function<void()> reloadOffset)
    : m_detector(clock),
      m_onStep(std::move(onStep)),
      m_offsetFile(std::move(offsetFile)),
      m_reloadOffset(std::move(reloadOffset)) {
    m_stop.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!m_stop) throw std::runtime_error(std::string("clock-step watch: eventfd: ") + std::strerror(errno));
    const bool clockSetReported = ArmClockSetTimer();
    const bool offsetWatched = m_offsetFile.empty() || WatchOffsetFolder();
    if (!clockSetReported || !offsetWatched) FallBackToSampling();
    // Armed first: a set between arming and this baseline is measured against it, none is missed.
    m_detector.Check();
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error& error) {
        throw std::runtime_error(std::string("clock-step watch: cannot start its thread: ") + error.what());
    }
}

ClockStepWatch::~ClockStepWatch() {
    Stop();
}

void ClockStepWatch::Stop() {
    if (!m_thread.joinable()) return;
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot block or fail short of overflow, which one write cannot reach.
    (void)!::write(m_stop.get(), &one, sizeof one);
    m_thread.join();
}

bool ClockStepWatch::ArmClockSetTimer() {
    if (!m_clockSet) {
        m_clockSet.reset(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
        if (!m_clockSet) {
            ZEL::linuxhost::HostLog().w(L"datasyncd: clock steps: timerfd_create: %s", ErrnoText(errno));
            return false;
        }
    }
    // The end of time: the kernel caps it at its own limit (the year 2262), which no clock reaches.
    itimerspec never{};
    never.it_value.tv_sec = std::numeric_limits<time_t>::max();
    if (::timerfd_settime(m_clockSet.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &never, nullptr) !=
        0) {
        ZEL::linuxhost::HostLog().w(
            L"datasyncd: clock steps: the kernel does not report clock sets (timerfd: %s)", ErrnoText(errno));
        m_clockSet.reset();
        return false;
    }
    return true;
}

bool ClockStepWatch::WatchOffsetFolder() {
    const std::string::size_type slash = m_offsetFile.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : m_offsetFile.substr(0, slash + 1);
    m_offsetName = slash == std::string::npos ? m_offsetFile : m_offsetFile.substr(slash + 1);
    platform::UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch || ::inotify_add_watch(watch.get(), folder.c_str(), kOffsetEvents) < 0) {
        ZEL::linuxhost::HostLog().w(L"datasyncd: clock steps: cannot watch the wall-clock offset file %s: %s",
                                    UTF8ToUTF16(m_offsetFile), ErrnoText(errno));
        return false;
    }
    m_offsetWatch = std::move(watch);
    return true;
}

void ClockStepWatch::Run() {
    for (;;) {
        const int timeout =
            m_sample ? static_cast<int>(std::chrono::milliseconds(kFallbackPeriod).count()) : -1;
        pollfd fds[] = {
            {m_stop.get(), POLLIN, 0}, {m_clockSet.get(), POLLIN, 0}, {m_offsetWatch.get(), POLLIN, 0}};
        const int ready = ::poll(fds, 3, timeout);  // a negative descriptor is left out by poll
        if (ready < 0) {
            if (errno == EINTR) continue;
            ZEL::linuxhost::HostLog().e(L"datasyncd: clock steps: poll: %s; no more steps are noticed",
                                        ErrnoText(errno));
            return;
        }
        if (fds[0].revents != 0) return;
        bool check = ready == 0;  // the fallback period passed
        if (fds[1].revents != 0) {
            std::uint64_t expirations = 0;
            const ssize_t got = ::read(m_clockSet.get(), &expirations, sizeof expirations);
            // ECANCELED: the clock was set. A count: the clock was set past the end of time.
            if (got == static_cast<ssize_t>(sizeof expirations) || (got < 0 && errno == ECANCELED)) {
                check = true;
                if (!ArmClockSetTimer()) FallBackToSampling();
            } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                // Readable but failing: polled again it would spin.
                ZEL::linuxhost::HostLog().w(L"datasyncd: clock steps: timerfd: %s", ErrnoText(errno));
                m_clockSet.reset();
                FallBackToSampling();
            }
        }
        if (fds[2].revents != 0) {
            alignas(inotify_event) char buffer[4096];
            bool offsetChanged = false;
            for (ssize_t length;
                 m_offsetWatch && (length = ::read(m_offsetWatch.get(), buffer, sizeof buffer)) > 0;) {
                for (ssize_t at = 0; at < length;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    if (event->len > 0 && m_offsetName == event->name) offsetChanged = true;
                    // The folder itself gone: a new one with an offset file would go unnoticed.
                    if ((event->mask & IN_IGNORED) != 0) {
                        m_offsetWatch.reset();
                        FallBackToSampling();
                    }
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            if (offsetChanged) {
                if (m_reloadOffset) m_reloadOffset();
                check = true;
            }
        }
        if (check) CheckNow();
    }
}

void ClockStepWatch::FallBackToSampling() {
    m_sample = true;
    ZEL::linuxhost::HostLog().w(L"datasyncd: clock steps: looking for them every %lld s",
                                static_cast<long long>(kFallbackPeriod.count()));
}

void ClockStepWatch::CheckNow() {
    const std::optional<std::chrono::seconds> step = m_detector.Check();
    if (!step || !m_onStep) return;
    try {
        m_onStep(*step);
    } catch (const std::exception& error) {
        ZEL::linuxhost::HostLog().e(L"datasyncd: clock steps: reporting a step failed: %s",
                                    UTF8ToUTF16(error.what()));
    }
}

}  // namespace datasyncd
