// The system's clocks.
#include "datasync/common/SystemClock.h"

#include "platform/KernelObjects.h"

namespace ZEL {

std::chrono::system_clock::time_point SystemClock::WallNow() {
    return std::chrono::system_clock::now();
}

std::chrono::steady_clock::time_point SystemClock::SteadyNow() {
    return std::chrono::steady_clock::now();
}

std::uint64_t SystemClock::TickCount64() {
    return platform::GetTickCount64();
}

SystemClock& SystemClock::Instance() {
    static SystemClock* const clock = new SystemClock();
    return *clock;
}

}  // namespace ZEL
