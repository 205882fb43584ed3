// Critical-event reporting: the set of active critical errors (event id with a value), kept by
// the host in its state folder and written to its log.
#pragma once

#include <set>
#include <utility>

namespace ZEL {

class CriticalEventLogger {
public:
    static void Log(int eventId, int value);
    // The condition behind `eventId` has ended (`value` shows how): clears every active value
    // of that event.
    static void ResetError(int eventId, int value);
    // The active (event id, value) pairs.
    static std::set<std::pair<int, int>> Active();
};

}  // namespace ZEL
