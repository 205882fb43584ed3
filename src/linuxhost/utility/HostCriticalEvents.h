// The Linux host's critical events: the active (event id, value) pairs, kept in the state
// folder's critical-events.json and written to host.log (see HostCriticalEvents.cpp).
//
// The set is process-wide: every HostCriticalEvents object reads and changes the same one.
// Thread safety: any thread. HostServices installs one for the daemon.
#pragma once

#include "datasync/host/CriticalEvents.h"

namespace ZEL {
namespace linuxhost {

class HostCriticalEvents : public CriticalEvents {
public:
    void Log(int eventId, int value) override;
    void ResetError(int eventId, int value) override;
    std::set<std::pair<int, int>> Active() override;
};

}  // namespace linuxhost
}  // namespace ZEL
