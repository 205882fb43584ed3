// Acting as the logged-on user for every access to the user's shared database folder: the
// interfaces the host implements. Module code uses the RAII class ImpersonateUser
// (common/ImpersonateUser.h), a thin class over the installed Impersonation.
//
// A UserSwitch switches the calling thread to the logged-on user and back. Results of
// EnterLogOnUserMode:
//   0     success: the thread now acts as the user, or no switch was needed because the service
//         already runs as that user, or no user is configured and the service is not root
//         (nothing to gain); also when this object is already switched
//   1008  no logged-on user is configured while the service runs as root (ERROR_NO_TOKEN)
//   1332  the configured user name is unknown (ERROR_NONE_MAPPED)
//   1314  the switch failed, e.g. the service may not change identities (ERROR_PRIVILEGE_NOT_HELD);
//         the thread is left as it was
//
// ExitLogOnUserMode returns the thread to the identity it had before the switch. Called on an
// object that did not switch, it returns the calling thread to the service's identity when other
// switches on this thread are in force (so code deep in a call can act as the service for a
// moment without holding its caller's object), and is harmless otherwise. Destroying a switch
// undoes only its own switch. Switches on one thread nest: the latest is undone first.
//
// Thread safety: a UserSwitch belongs to one thread; Enter, Exit and the destructor of a switched
// object run on the thread that switched. Impersonation's functions may be called from any thread.
#pragma once

#include <memory>

#include "platform/KernelObjects.h"

namespace ZEL {

// EnterLogOnUserMode's answer when the service runs as root and no logged-on user is configured.
inline constexpr int kNoLogOnUserConfigured = 1008;

class UserSwitch {
public:
    virtual ~UserSwitch() = default;
    virtual int EnterLogOnUserMode() = 0;
    virtual void ExitLogOnUserMode() = 0;
};

class Impersonation {
public:
    virtual ~Impersonation() = default;
    // A new, not yet switched, switch for the calling thread.
    virtual std::unique_ptr<UserSwitch> NewSwitch() = 0;
    // True while the calling thread's (file-system) identity is the administrator's.
    virtual bool IsAdmin() = 0;
    // Who besides the service may use the agent's named events (SecurityAttributes.h): by default
    // nobody.
    virtual platform::NamedEventAccess EventAccess() { return {}; }
};

namespace System {
// The door onto the installed Impersonation's IsAdmin; false while none is installed.
bool check_admin_privilege();
}  // namespace System

}  // namespace ZEL
