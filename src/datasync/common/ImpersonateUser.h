// ImpersonateUser: acting as the logged-on user for the lifetime of an object, through the
// installed Impersonation (host/Impersonation.h, where the results are listed).
//
//   ImpersonateUser user;
//   if (user.EnterLogOnUserMode() == 0) { ... files are opened as the user ... }
//   // the destructor returns to the service's identity
//
// The host's switch is made at construction; while no Impersonation is installed, Enter answers 0
// and nothing is switched.
//
// Thread safety and lifetime: an object belongs to the thread that switched (see UserSwitch);
// the installed Impersonation must outlive it.
#pragma once

#include <memory>

#include "datasync/host/Impersonation.h"

namespace ZEL {

class ImpersonateUser {
public:
    ImpersonateUser();
    ~ImpersonateUser();
    ImpersonateUser(const ImpersonateUser&) = delete;
    ImpersonateUser& operator=(const ImpersonateUser&) = delete;

    int EnterLogOnUserMode() { return m_switch ? m_switch->EnterLogOnUserMode() : 0; }
    void ExitLogOnUserMode() {
        if (m_switch) m_switch->ExitLogOnUserMode();
    }

private:
    std::unique_ptr<UserSwitch> m_switch;  // null while no Impersonation is installed
};

}  // namespace ZEL
