// HostServices: the Linux host's default service objects, owned in one place, and the agent
// environment that names them. The daemon builds one at start-up (and adds the transport and
// policy agent it builds itself); test harnesses that need the real host build one and replace
// what they fake before installing the environment.
//
//   ZEL::linuxhost::HostServices host;
//   ZEL::DataSync::AgentEnvironment environment = host.Environment();
//   environment.transport = &myTransport;
//   ZEL::DataSync::InstallEnvironment(environment);
//
// The environment holds: the host clock (wall clock offset for end-to-end tests), the host's
// random jitter, the notification bus, the push-channel notification agent, the device facts, the
// attribute applicability evaluator, the status manager, the endpoint URL provider, the critical
// events, the thread impersonation and the watching service. It holds no transport and no
// configuration agent (the daemon's own), and no log sink factory: the host's logging set-up
// (ConfigureFileLogging) installs the file sinks itself before anything else runs.
//
// Lifetime: must outlive everything that uses its environment (the agent, the bus's
// subscribers); install an empty environment before destroying it. Not copyable.
// Thread safety: the objects are safe to call from any thread; build and destroy on one.
#pragma once

#include <memory>

#include "datasync/agent/AgentEnvironment.h"

namespace ZEL {
namespace linuxhost {

class NotificationBus;

class HostServices {
public:
    HostServices();
    ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    DataSync::AgentEnvironment Environment() const;
    NotificationBus& Bus() const;

private:
    struct Objects;
    std::unique_ptr<Objects> m_objects;
};

}  // namespace linuxhost
}  // namespace ZEL
