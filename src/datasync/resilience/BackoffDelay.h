// The back-off delay of a failing upload family: the doubling formula and the random jitter
// added to it. Tests replace the random source to get fixed delays.
//
// Thread safety: every function may be called from any thread; SetRandomSource may run while
// other threads ask for jitter (they use the source installed at the time of their call).
#pragma once

#include <cstdint>
#include <functional>

namespace ZEL {
namespace ApiUtility {

// A uniform random whole number of seconds in [0, spanMs / 1000].
unsigned GetRandomJitterInSeconds(unsigned spanMs);
// min(start * 2^count, cap) seconds, in milliseconds (never overflows).
std::int64_t GetSleepDurationInMillis(const int& count, const int& startSeconds, const int& capSeconds);
// Replaces the random source of GetRandomJitterInSeconds: (lo, hi) -> a value in [lo, hi].
// An empty function restores the default generator.
void SetRandomSource(std::function<unsigned(unsigned lo, unsigned hi)> source);

}  // namespace ApiUtility
}  // namespace ZEL
