// Installs the Linux host's device services into the factories through which the agent finds
// them: the attribute applicability evaluator and the status manager into
// zel::ZELHelperFactory, the push-channel notification agent into zel::AgentFactory.
//
// The daemon calls this once at start-up, before it obtains the agent. Calling it again
// replaces the installed services with fresh ones (they keep no state, so nothing is lost).
#pragma once

namespace ZEL {
namespace linuxhost {

void InstallDeviceServices();

}  // namespace linuxhost
}  // namespace ZEL
