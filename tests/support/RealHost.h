// For benchmarks that run the agent's components on the real host: installs the Linux host's
// service objects (HostServices) as the process's environment, once, for the rest of the process.
// Callers replace single services (configuration agent, transport) through their doors afterwards.
#pragma once

#include "linuxhost/HostServices.h"

namespace testsupport {

inline void InstallRealHost() {
    static ZEL::linuxhost::HostServices* const host = new ZEL::linuxhost::HostServices();  // lives to exit
    ZEL::DataSync::InstallEnvironment(host->Environment());
}

}  // namespace testsupport
