// The host's logged-on user for the length of a scope (by default the user the test runs as).
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <string>

#include "linuxhost/HostState.h"

namespace testsupport {

class LogonUser {
public:
    explicit LogonUser(std::string name = CurrentUserName()) : m_saved(ZEL::linuxhost::CurrentHostSettings()) {
        ZEL::linuxhost::HostSettings settings = m_saved;
        settings.logon_user = std::move(name);
        ZEL::linuxhost::InstallHostSettings(settings);
    }
    ~LogonUser() { ZEL::linuxhost::InstallHostSettings(m_saved); }
    LogonUser(const LogonUser&) = delete;
    LogonUser& operator=(const LogonUser&) = delete;
    static std::string CurrentUserName() {
        const passwd* entry = ::getpwuid(::geteuid());
        return entry != nullptr ? entry->pw_name : std::string();
    }

private:
    ZEL::linuxhost::HostSettings m_saved;
};

}  // namespace testsupport
