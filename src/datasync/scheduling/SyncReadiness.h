// SyncReadiness: whether an endpoint family may be posted to at all, from the device state and
// the families in use. KTA and NAVS need a registered device; NAVP does not. "Some endpoint is
// ready" also needs the device online.
//
// Thread safety: any thread; reads atomics only and never waits.
#pragma once

#include "datasync/common/AgentState.h"
#include "datasync/config/EndpointConfig.h"

namespace ZEL {
namespace DataSync {

class SyncReadiness {
public:
    SyncReadiness(const AgentState& state, const EndpointConfig& endpoints) : m_state(state), m_endpoints(endpoints) {}

    bool IsKtaSyncReady() const { return m_endpoints.IsEnabled(SyncEP::SyncEP_KTA) && m_state._b_is_DevRegistered; }
    bool IsNavsSyncReady() const { return m_endpoints.IsEnabled(SyncEP::SyncEP_NAVS) && m_state._b_is_DevRegistered; }
    bool IsNavpSyncReady() const { return m_endpoints.IsEnabled(SyncEP::SyncEP_NAVP); }
    bool SomeEndpointReady() const {
        return m_state._b_is_online && (IsNavpSyncReady() || IsKtaSyncReady() || IsNavsSyncReady());
    }

private:
    const AgentState& m_state;
    const EndpointConfig& m_endpoints;
};

}  // namespace DataSync
}  // namespace ZEL
