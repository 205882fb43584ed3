// The Linux host's clock (HostClock.h).
#include "linuxhost/util/HostClock.h"

#include <cstdlib>

#include "linuxhost/util/WallClockOffset.h"
#include "platform/KernelObjects.h"

namespace ZEL {
namespace linuxhost {
namespace {

// Decided once, at the first wall-clock reading or the first question for the file; null
// without the variable. Never freed: threads may still read the clock while the process exits.
WallClockOffset* Offset() {
    static WallClockOffset* const offset = []() -> WallClockOffset* {
        const char* file = std::getenv(WallClockOffset::kEnvironmentVariable);
        return file != nullptr && *file != '\0' ? new WallClockOffset(file) : nullptr;
    }();
    return offset;
}

}  // namespace

std::chrono::system_clock::time_point HostClock::WallNow() {
    const auto now = std::chrono::system_clock::now();
    WallClockOffset* offset = Offset();
    return offset == nullptr ? now : now + offset->Offset(std::chrono::steady_clock::now());
}

std::chrono::steady_clock::time_point HostClock::SteadyNow() {
    return std::chrono::steady_clock::now();
}

std::uint64_t HostClock::TickCount64() {
    return platform::GetTickCount64();
}

std::string HostClock::OffsetFile() {
    const WallClockOffset* offset = Offset();
    return offset == nullptr ? std::string() : offset->File();
}

void HostClock::ReloadOffset() {
    if (WallClockOffset* offset = Offset()) offset->LookNow();
}

}  // namespace linuxhost
}  // namespace ZEL
