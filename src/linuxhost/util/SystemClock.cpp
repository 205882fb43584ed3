// The installed clock: the system's clocks unless a test installed its own. When the environment
// variable DATASYNC_WALL_CLOCK_OFFSET_FILE names a file at the first reading, the wall clock is
// the system's plus the offset that file gives (WallClockOffset.h): end-to-end tests move the
// daemon's wall clock that way. The monotonic clocks are never offset.
#include <atomic>
#include <cstdlib>

#include "datasync/host/Clock.h"
#include "linuxhost/util/WallClockOffset.h"
#include "platform/KernelObjects.h"

namespace ZEL {
namespace {

class SystemClock : public Clock {
public:
    std::chrono::system_clock::time_point WallNow() override {
        const auto now = std::chrono::system_clock::now();
        linuxhost::WallClockOffset* offset = Offset();
        return offset == nullptr ? now : now + offset->Offset(std::chrono::steady_clock::now());
    }
    std::chrono::steady_clock::time_point SteadyNow() override { return std::chrono::steady_clock::now(); }
    std::uint64_t TickCount64() override { return platform::GetTickCount64(); }

private:
    // Decided once, at the first wall-clock reading; null without the variable. Never freed:
    // threads may still read the clock while the process exits.
    static linuxhost::WallClockOffset* Offset() {
        static linuxhost::WallClockOffset* const offset = []() -> linuxhost::WallClockOffset* {
            const char* file = std::getenv(linuxhost::WallClockOffset::kEnvironmentVariable);
            return file != nullptr && *file != '\0' ? new linuxhost::WallClockOffset(file) : nullptr;
        }();
        return offset;
    }
};

SystemClock g_systemClock;
std::atomic<Clock*> g_installed{nullptr};

}  // namespace

Clock* Clock::GetInstance() {
    Clock* installed = g_installed.load(std::memory_order_acquire);
    return installed ? installed : &g_systemClock;
}

void Clock::SetInstance(Clock* clock) {
    g_installed.store(clock, std::memory_order_release);
}

}  // namespace ZEL
