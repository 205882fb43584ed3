// Critical-event reporting: the set of active critical errors (event id with a value), kept by
// the host in its state folder and written to its log. The host implements CriticalEvents; the
// static functions of CriticalEventLogger are doors onto the installed one (they do nothing, and
// Active() is empty, while none is installed).
//
// Thread safety: every call may come from any thread.
#pragma once

#include <set>
#include <utility>

namespace ZEL {

class CriticalEvents {
public:
    virtual ~CriticalEvents() = default;
    virtual void Log(int eventId, int value) = 0;
    // Clears every active value of `eventId`; `value` shows how the condition ended.
    virtual void ResetError(int eventId, int value) = 0;
    virtual std::set<std::pair<int, int>> Active() = 0;
};

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
