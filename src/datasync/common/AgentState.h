// AgentState: the agent's state flags, shared by every component that must know whether the
// agent runs and whether the device may sync. They keep the agent's names:
//   _b_is_start           the agent is started: worker, timer and watchers exist
//   _b_is_online          the device-ready notification has been seen
//   _b_is_DevRegistered   the device is registered with the cloud
//   m_fullInitDone        FullInit has run to one of its ends (false again after a stop)
//   m_registrationRequested  a registration request was sent and not yet confirmed
//
// Thread safety: each flag is an atomic; readers on any thread see the old or the new value,
// and a stale read costs at most one more pass or pause of the reader. Nothing here waits.
// The waits for a ready endpoint read the first three: whoever sets one of them calls the
// agent's StopSignal::Changed() afterwards, so that those waits ask again.
#pragma once

#include <atomic>

namespace ZEL {
namespace DataSync {

struct AgentState {
    std::atomic<bool> _b_is_start{false};
    std::atomic<bool> _b_is_online{false};
    std::atomic<bool> _b_is_DevRegistered{false};
    std::atomic<bool> m_fullInitDone{false};
    std::atomic<bool> m_registrationRequested{false};
};

}  // namespace DataSync
}  // namespace ZEL
