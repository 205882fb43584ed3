#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <optional>

#include "linuxhost/impersonation/ThreadUserSwitch.h"
#include "linuxhost/watch/watch_test_support.h"
#include "support/LogonUser.h"
#include "support/TempDir.h"

namespace {

using ImpersonateUser = ZEL::linuxhost::ThreadUserSwitch;
const auto check_admin_privilege = ZEL::linuxhost::FsIdentityIsRoot;

// The value of a field ("Gid", "Groups") of the calling thread's /proc status.
std::string ThreadStatusField(const std::string& field) {
    std::ifstream status("/proc/thread-self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0) return line.substr(field.size() + 1);
    return "?";
}

// The calling thread's file system uid (an invalid uid changes nothing and returns it), and its
// gids and supplementary groups.
unsigned ThreadFsUid() { return static_cast<unsigned>(::setfsuid(static_cast<uid_t>(-1))); }
std::string ThreadIds() { return ThreadStatusField("Gid") + "|" + ThreadStatusField("Groups"); }

std::pair<long, long> CreateAndGetOwner(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    struct stat info {};
    const bool ok = fd >= 0 && ::fstat(fd, &info) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? std::pair<long, long>(info.st_uid, info.st_gid) : std::pair<long, long>(-1, -1);
}

// Sets logon_user for one test; the previous host settings come back afterwards.
class ImpersonationTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(ThreadFsUid(), ::geteuid()) << "left impersonating"; }
    void SetLogonUser(const std::string& user) { m_user.reset(), m_user.emplace(user); }
    std::optional<testsupport::LogonUser> m_user;
};

TEST_F(ImpersonationTest, ResultCodesWhenNoSwitchHappens) {
    const bool root = ::geteuid() == 0;
    SetLogonUser("datasync-no-such-user-4b1d");
    EXPECT_EQ(ImpersonateUser().EnterLogOnUserMode(), 1332);
    SetLogonUser(testsupport::LogonUser::CurrentUserName());
    const std::string idsBefore = ThreadIds();
    ImpersonateUser same;
    EXPECT_EQ(same.EnterLogOnUserMode(), 0) << "the service already runs as the user";
    EXPECT_EQ(ThreadFsUid(), ::geteuid());
    EXPECT_EQ(ThreadIds(), idsBefore);
    SetLogonUser("");
    EXPECT_EQ(ImpersonateUser().EnterLogOnUserMode(), root ? 1008 : 0) << "no logon user";
    EXPECT_EQ(check_admin_privilege(), root);
}

class ImpersonateNobodyTest : public ImpersonationTest {
protected:
    void SetUp() override {
        const passwd* entry = ::getpwnam("nobody");
        if (::geteuid() != 0 || entry == nullptr) GTEST_SKIP() << "needs root and user nobody";
        nobody = {entry->pw_uid, entry->pw_gid};
        SetLogonUser("nobody");
        ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);  // nobody may create files here
    }

    std::pair<long, long> nobody;  // uid, gid
    testsupport::TempDir dir;
};

// Another thread, which exists before the switch, acts while the calling thread is switched.
TEST_F(ImpersonateNobodyTest, OnlyTheCallingThreadIsSwitched) {
    struct Seen {
        std::pair<long, long> owner;
        bool admin;
        std::string ids;
    };
    const auto look = [&](const std::string& file) {
        return Seen{CreateAndGetOwner(dir.path() + file), check_admin_privilege(), ThreadIds()};
    };
    const std::string ids = ThreadIds(), privateDir = dir.sub("private");
    ASSERT_EQ(::chmod(privateDir.c_str(), 0700), 0);  // root's, not open to others
    std::promise<void> switched;
    auto other = std::async(std::launch::async, [&] {
        switched.get_future().wait();
        return look("other");
    });
    ImpersonateUser user;
    const int entered = user.EnterLogOnUserMode();
    switched.set_value();
    const Seen byOther = other.get(), mine = look("mine");
    const long denied = CreateAndGetOwner(privateDir + "denied").first;
    const int deniedError = errno;
    user.ExitLogOnUserMode();
    ASSERT_EQ(entered, 0);
    EXPECT_EQ(mine.owner, nobody);
    EXPECT_FALSE(mine.admin);
    EXPECT_NE(mine.ids, ids);
    EXPECT_EQ(std::make_pair(denied, deniedError), std::make_pair(-1L, EACCES)) << "root's file capabilities kept";
    EXPECT_EQ(byOther.owner.first, 0L) << "the other thread was switched too";
    EXPECT_TRUE(byOther.admin);
    EXPECT_EQ(byOther.ids, ids) << "glibc's setgroups() changes every thread's groups";
}

TEST_F(ImpersonateNobodyTest, ExitAndDestructorRestoreTheThreadsIdentity) {
    const std::string idsBefore = ThreadIds();
    ImpersonateUser user;
    ASSERT_EQ(user.EnterLogOnUserMode(), 0);
    EXPECT_EQ(user.EnterLogOnUserMode(), 0);  // entering twice keeps the identity to return to
    ASSERT_FALSE(check_admin_privilege());
    user.ExitLogOnUserMode();
    user.ExitLogOnUserMode();  // a second Exit changes nothing
    EXPECT_EQ(ThreadFsUid(), 0u);
    EXPECT_EQ(ThreadIds(), idsBefore);
    {  // The destructor returns too, and nested objects return step by step.
        ImpersonateUser outer;
        ASSERT_EQ(outer.EnterLogOnUserMode(), 0);
        ASSERT_EQ(ImpersonateUser().EnterLogOnUserMode(), 0);
        EXPECT_EQ(ThreadFsUid(), static_cast<unsigned>(nobody.first)) << "undone by the inner object";
    }
    EXPECT_TRUE(check_admin_privilege());
    {  // Exit on an object that never switched returns the thread to the service, for good.
        ImpersonateUser caller, callee;
        ASSERT_EQ(caller.EnterLogOnUserMode(), 0);
        callee.ExitLogOnUserMode();
        EXPECT_TRUE(check_admin_privilege());
        ASSERT_EQ(callee.EnterLogOnUserMode(), 0);
        callee.ExitLogOnUserMode();
        EXPECT_TRUE(check_admin_privilege());
    }
    EXPECT_EQ(ThreadIds(), idsBefore);
}

}  // namespace
