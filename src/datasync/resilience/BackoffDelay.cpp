// Back-off delays and random jitter for retries.
//
// The default random source is one generator per thread (seeded from std::random_device), so
// concurrent callers need no lock and never share generator state. A source installed with
// SetRandomSource replaces it for every thread; its answers are clamped into [0, span] so that
// a faulty source cannot break the jitter's bounds.
#include "datasync/resilience/BackoffDelay.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <random>

namespace ZEL {
namespace ApiUtility {
namespace {

using RandomSource = std::function<unsigned(unsigned lo, unsigned hi)>;

std::mutex g_sourceMutex;
std::shared_ptr<const RandomSource> g_source;  // null: the default generator

unsigned DefaultRandom(unsigned lo, unsigned hi) {
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<unsigned>(lo, hi)(generator);
}

}  // namespace

void SetRandomSource(RandomSource source) {
    std::shared_ptr<const RandomSource> installed;
    if (source) installed = std::make_shared<const RandomSource>(std::move(source));
    std::lock_guard<std::mutex> lock(g_sourceMutex);
    g_source = std::move(installed);
}

unsigned GetRandomJitterInSeconds(unsigned spanMs) {
    const unsigned hi = spanMs / 1000;
    std::shared_ptr<const RandomSource> source;
    {
        std::lock_guard<std::mutex> lock(g_sourceMutex);
        source = g_source;
    }
    if (!source) return DefaultRandom(0, hi);
    return std::min((*source)(0, hi), hi);  // unsigned: never below 0
}

std::int64_t GetSleepDurationInMillis(const int& count, const int& startSeconds, const int& capSeconds) {
    const std::int64_t start = std::max(startSeconds, 0);
    const std::int64_t cap = std::max(capSeconds, 0);
    const int doublings = std::max(count, 0);
    // start < 2^31, so start * 2^doublings stays below 2^63 for doublings < 32; from 32 on any
    // non-zero start is past every int cap.
    std::int64_t seconds;
    if (start == 0)
        seconds = 0;
    else if (doublings >= 32)
        seconds = cap;
    else
        seconds = std::min(start << doublings, cap);
    return seconds * 1000;
}

}  // namespace ApiUtility
}  // namespace ZEL
