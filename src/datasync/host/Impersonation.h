// Acting as the logged-on user for every access to the user's shared database folder.
//
//   ImpersonateUser user;
//   if (user.EnterLogOnUserMode() == 0) { ... files are opened as the user ... }
//   // the destructor returns to the service's identity
//
// On Linux this switches only the calling thread's file-system identity (setfsuid/setfsgid
// and the thread's supplementary groups); other threads keep the service's identity. The user
// is the host setting `logon_user` (a user name), read at each EnterLogOnUserMode.
//
// Results of EnterLogOnUserMode:
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
// objects on this thread switched it (so code deep in a call can act as the service for a moment
// without holding its caller's object), and is harmless otherwise. The destructor undoes only
// the object's own switch. Switches on one thread nest: the latest is undone first.
//
// Thread safety: an object belongs to one thread. EnterLogOnUserMode, ExitLogOnUserMode and
// the destructor of a switched object must run on the thread that switched (another thread's
// Exit is refused and logged, as it could not restore the switched thread).
#pragma once

#include <thread>
#include <vector>

namespace ZEL {

// EnterLogOnUserMode's answer when the service runs as root and no logged-on user is configured.
inline constexpr int kNoLogOnUserConfigured = 1008;

class ImpersonateUser {
public:
    ImpersonateUser() = default;
    ~ImpersonateUser();
    ImpersonateUser(const ImpersonateUser&) = delete;
    ImpersonateUser& operator=(const ImpersonateUser&) = delete;

    int EnterLogOnUserMode();
    void ExitLogOnUserMode();

private:
    // Undoes this object's switch, and the later ones of the same thread first.
    void RevertOwnSwitch();

    bool m_switched = false;
    ImpersonateUser* m_previous = nullptr;  // the thread's switch before this one
    std::thread::id m_thread;  // the thread that switched
    // That thread's fs uid, fs gid and supplementary groups before the switch.
    unsigned m_savedUid = 0;
    unsigned m_savedGid = 0;
    std::vector<unsigned> m_savedGroups;
};

namespace System {
// True while the calling thread's file-system identity is root.
bool check_admin_privilege();
}  // namespace System

}  // namespace ZEL
