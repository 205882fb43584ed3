// Per-thread impersonation of the logged-on user on Linux: the calling thread's file-system
// uid and gid (setfsuid/setfsgid) and its supplementary groups are switched to the user's, so
// files opened and created meanwhile are checked against, and owned by, the user, while every
// other thread of the daemon keeps running as the service.
//
// The groups are set with the raw system call: glibc's setgroups() applies the change to every
// thread of the process, the kernel call only to the calling one. The order is groups, gid,
// uid going in (each later step may rely on the privilege the earlier ones still had) and the
// reverse coming back. setfsuid/setfsgid report no errors, so every step is verified by reading
// the value back (an invalid id, -1, changes nothing and returns the current one).
//
// The security attributes of the named events live here too: they name the same logged-on user.
#include "linuxhost/impersonation/ThreadUserSwitch.h"

#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostState.h"
#include "linuxhost/logging/FileLogging.h"

namespace ZEL {
namespace linuxhost {
namespace {

static_assert(std::is_same<gid_t, unsigned>::value && std::is_same<uid_t, unsigned>::value,
              "the saved identity is kept as unsigned");

constexpr int kPrivilegeNotHeld = 1314;  // ERROR_PRIVILEGE_NOT_HELD
constexpr int kUnknownUser = 1332;       // ERROR_NONE_MAPPED

// The 32-bit id variants where the kernel still has 16-bit ones (i386, arm).
#if defined(SYS_setgroups32)
constexpr long kSysSetGroups = SYS_setgroups32;
constexpr long kSysGetGroups = SYS_getgroups32;
#else
constexpr long kSysSetGroups = SYS_setgroups;
constexpr long kSysGetGroups = SYS_getgroups;
#endif

constexpr uid_t kQueryId = static_cast<uid_t>(-1);

// The latest switch still in force on this thread; each switch links to the one before it.
thread_local ThreadUserSwitch* t_latestSwitch = nullptr;

uid_t CurrentFsUid() {
    return static_cast<uid_t>(::setfsuid(kQueryId));
}
gid_t CurrentFsGid() {
    return static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1)));
}

bool ThreadGroups(std::vector<gid_t>& groups) {
    for (;;) {
        const long count = ::syscall(kSysGetGroups, 0, nullptr);
        if (count < 0) return false;
        groups.resize(static_cast<std::size_t>(count));
        const long got = ::syscall(kSysGetGroups, count, groups.data());
        if (got == count) return true;
        if (got >= 0 || errno != EINVAL) return false;  // EINVAL: the list grew meanwhile
    }
}

bool SetThreadGroups(const std::vector<gid_t>& groups) {
    return ::syscall(kSysSetGroups, static_cast<long>(groups.size()), groups.data()) == 0;
}

bool SameGroups(std::vector<gid_t> expected) {
    std::vector<gid_t> actual;
    if (!ThreadGroups(actual)) return false;
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    return expected == actual;
}

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// False when the user does not exist or cannot be looked up.
bool LookUpAccount(const std::string& name, Account& account) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int error;
    while ((error = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || found == nullptr) {
        if (error != 0) {
            HostLog().w(L"ImpersonateUser: looking up %s failed: %s", String::UTF8ToUTF16(name),
                        String::UTF8ToUTF16(std::strerror(error)));
        }
        return false;
    }
    account.uid = entry.pw_uid;
    account.gid = entry.pw_gid;

    int count = 16;
    for (;;) {
        account.groups.resize(static_cast<std::size_t>(count));
        const int previous = count;
        if (::getgrouplist(name.c_str(), account.gid, account.groups.data(), &count) >= 0) break;
        if (count <= previous) count = previous * 2;  // some NSS setups do not report the size
        if (count > 65536) return false;
    }
    account.groups.resize(static_cast<std::size_t>(count));
    return true;
}

}  // namespace

ThreadUserSwitch::~ThreadUserSwitch() {
    RevertOwnSwitch();
}

int ThreadUserSwitch::EnterLogOnUserMode() {
    if (m_switched) return 0;
    const std::string user = CurrentHostSettings().logon_user;
    const uid_t serviceUid = ::geteuid();
    if (user.empty()) {
        if (serviceUid != 0) return 0;  // not root: nothing to switch to or from
        HostLog().d(L"ImpersonateUser: no logon_user configured while running as root");
        return kNoLogOnUserConfigured;  // ERROR_NO_TOKEN
    }
    Account account;
    if (!LookUpAccount(user, account)) {
        HostLog().w(L"ImpersonateUser: unknown user %s", String::UTF8ToUTF16(user));
        return kUnknownUser;
    }
    if (account.uid == serviceUid) return 0;

    const uid_t savedUid = CurrentFsUid();
    const gid_t savedGid = CurrentFsGid();
    std::vector<gid_t> savedGroups;
    if (!ThreadGroups(savedGroups)) {
        HostLog().w(L"ImpersonateUser: cannot read the thread's groups: %s",
                    String::UTF8ToUTF16(std::strerror(errno)));
        return kPrivilegeNotHeld;
    }

    // Each step is undone if a later one fails, leaving the thread as it was.
    if (!SetThreadGroups(account.groups)) {
        HostLog().w(L"ImpersonateUser: setting the groups of %s failed: %s", String::UTF8ToUTF16(user),
                    String::UTF8ToUTF16(std::strerror(errno)));
        return kPrivilegeNotHeld;
    }
    ::setfsgid(account.gid);
    if (CurrentFsGid() != account.gid) {
        SetThreadGroups(savedGroups);
        HostLog().w(L"ImpersonateUser: setfsgid(%d) for %s had no effect", account.gid,
                    String::UTF8ToUTF16(user));
        return kPrivilegeNotHeld;
    }
    ::setfsuid(account.uid);
    if (CurrentFsUid() != account.uid) {
        ::setfsgid(savedGid);
        SetThreadGroups(savedGroups);
        HostLog().w(L"ImpersonateUser: setfsuid(%d) for %s had no effect", account.uid,
                    String::UTF8ToUTF16(user));
        return kPrivilegeNotHeld;
    }

    m_switched = true;
    m_thread = std::this_thread::get_id();
    m_savedUid = savedUid;
    m_savedGid = savedGid;
    m_savedGroups = std::move(savedGroups);
    m_previous = t_latestSwitch;
    t_latestSwitch = this;
    return 0;
}

void ThreadUserSwitch::ExitLogOnUserMode() {
    if (m_switched) {
        RevertOwnSwitch();
        return;
    }
    while (t_latestSwitch != nullptr) t_latestSwitch->RevertOwnSwitch();
}

void ThreadUserSwitch::RevertOwnSwitch() {
    if (!m_switched) return;
    if (m_thread != std::this_thread::get_id()) {
        HostLog().e(L"ImpersonateUser: Exit called on another thread than Enter; identity kept");
        return;
    }
    while (t_latestSwitch != nullptr && t_latestSwitch != this) t_latestSwitch->RevertOwnSwitch();
    ::setfsuid(m_savedUid);
    ::setfsgid(m_savedGid);
    const bool groupsSet = SetThreadGroups(m_savedGroups);
    if (CurrentFsUid() != m_savedUid || CurrentFsGid() != m_savedGid || !groupsSet ||
        !SameGroups(m_savedGroups)) {
        HostLog().e(L"ImpersonateUser: returning to uid %d gid %d failed; the thread keeps uid %d",
                    m_savedUid, m_savedGid, CurrentFsUid());
    }
    m_switched = false;
    m_savedGroups.clear();
    t_latestSwitch = m_previous;
    m_previous = nullptr;
}

bool FsIdentityIsRoot() {
    return CurrentFsUid() == 0;
}

std::unique_ptr<UserSwitch> HostImpersonation::NewSwitch() {
    return std::make_unique<ThreadUserSwitch>();
}

bool HostImpersonation::IsAdmin() {
    return FsIdentityIsRoot();
}

// The named events are shared with the logged-on user only (see datasync/host/SecurityAttributes.h).
platform::NamedEventAccess HostImpersonation::EventAccess() {
    const std::string user = CurrentHostSettings().logon_user;
    Account account;
    if (!user.empty() && LookUpAccount(user, account)) return platform::NamedEventAccess{true, account.uid, account.gid};
    return platform::NamedEventAccess{};
}

}  // namespace linuxhost
}  // namespace ZEL
