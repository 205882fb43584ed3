// The installed clock: the system's clocks unless a test installed its own.
#include <atomic>

#include "datasync/host/Clock.h"
#include "platform/KernelObjects.h"

namespace ZEL {
namespace {

class SystemClock : public Clock {
public:
    std::chrono::system_clock::time_point WallNow() override { return std::chrono::system_clock::now(); }
    std::chrono::steady_clock::time_point SteadyNow() override { return std::chrono::steady_clock::now(); }
    std::uint64_t TickCount64() override { return platform::GetTickCount64(); }
};

SystemClock g_systemClock;
std::atomic<Clock*> g_installed{nullptr};

}  // namespace

Clock* Clock::GetInstance() {
    Clock* installed = g_installed.load(std::memory_order_acquire);
    return installed ? installed : &g_systemClock;
}

void Clock::SetInstance(Clock* clock) { g_installed.store(clock, std::memory_order_release); }

}  // namespace ZEL
