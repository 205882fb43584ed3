// The Linux host's impersonation: ThreadUserSwitch switches only the calling thread's file-system
// identity (setfsuid/setfsgid and the thread's supplementary groups) to the logged-on user's;
// other threads keep the service's identity. The user is the host setting `logon_user` (a user
// name), read at each EnterLogOnUserMode. The results and the nesting rules are those of
// UserSwitch (datasync/host/Impersonation.h); another thread's Exit of a switched object is
// refused and logged, as it could not restore the switched thread.
//
// HostImpersonation hands out ThreadUserSwitch objects and answers IsAdmin with FsIdentityIsRoot.
//
// Thread safety: a ThreadUserSwitch belongs to one thread; HostImpersonation is stateless.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "datasync/host/Impersonation.h"

namespace ZEL {
namespace linuxhost {

class ThreadUserSwitch : public UserSwitch {
public:
    ThreadUserSwitch() = default;
    ~ThreadUserSwitch() override;
    ThreadUserSwitch(const ThreadUserSwitch&) = delete;
    ThreadUserSwitch& operator=(const ThreadUserSwitch&) = delete;

    int EnterLogOnUserMode() override;
    void ExitLogOnUserMode() override;

private:
    // Undoes this object's switch, and the later ones of the same thread first.
    void RevertOwnSwitch();

    bool m_switched = false;
    ThreadUserSwitch* m_previous = nullptr;  // the thread's switch before this one
    std::thread::id m_thread;                // the thread that switched
    // That thread's fs uid, fs gid and supplementary groups before the switch.
    unsigned m_savedUid = 0;
    unsigned m_savedGid = 0;
    std::vector<unsigned> m_savedGroups;
};

// True while the calling thread's file-system identity is root.
bool FsIdentityIsRoot();

class HostImpersonation : public Impersonation {
public:
    std::unique_ptr<UserSwitch> NewSwitch() override;
    bool IsAdmin() override;
    platform::NamedEventAccess EventAccess() override;
};

}  // namespace linuxhost
}  // namespace ZEL
