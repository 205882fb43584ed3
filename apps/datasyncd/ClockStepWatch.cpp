// Wall-clock steps, seen as jumps of the wall clock's distance from the monotonic clock.
#include "datasyncd/ClockStepWatch.h"

namespace datasyncd {

std::optional<std::chrono::seconds> ClockStepWatch::Check() {
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

}  // namespace datasyncd
