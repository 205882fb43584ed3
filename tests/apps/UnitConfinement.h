// Runs datasyncd confined the way the packaged unit (packaging/datasyncd.service) confines it,
// as far as a test without systemd can: the unit's CapabilityBoundingSet= and UMask=, and no new
// privileges, applied by setpriv through a wrapper script. Only root may narrow a bounding set.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "datasyncctl/DemoFiles.h"

namespace appstest {

// The value of the first `key=` line of the unit file; empty when there is none.
inline std::string UnitSetting(const std::string& unitFile, const std::string& key) {
    std::ifstream in(unitFile);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return std::string();
}

// Writes `folder`wrap-datasyncd, which runs its arguments under the unit's bounding set and
// umask, and returns its path. Throws std::runtime_error naming the unit file when it lacks them.
inline std::string WriteUnitConfinementWrapper(const std::string& unitFile, const std::string& folder) {
    const std::string capabilities = UnitSetting(unitFile, "CapabilityBoundingSet");
    const std::string umask = UnitSetting(unitFile, "UMask");
    if (capabilities.empty() || umask.empty())
        throw std::runtime_error(unitFile + ": no CapabilityBoundingSet= or UMask=");
    // "CAP_SETUID CAP_SETGID" -> "-all,+setuid,+setgid"
    std::string bounding = "-all";
    std::istringstream names(capabilities);
    for (std::string name; names >> name;) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        bounding += ",+" + name.substr(name.rfind("cap_", 0) == 0 ? 4 : 0);
    }
    const std::string wrapper = folder + "wrap-datasyncd";
    datasyncctl::WriteTextFile(wrapper,
                               "#!/bin/sh\numask " + umask + "\nexec setpriv --bounding-set=" + bounding +
                                   " --inh-caps=-all --no-new-privs \"$@\"\n",
                               0755);
    return wrapper;
}

}  // namespace appstest
