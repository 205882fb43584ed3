// Per-thread impersonation of the logged-on user: result codes, and a switch to "nobody" that
// changes the calling thread only and is undone by Exit and by the destructor. Identities are
// read back from the thread's /proc status and the owners of files it creates.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "datasync/host/Impersonation.h"
#include "linuxhost/HostState.h"
#include "support/TempDir.h"

namespace {

using ZEL::ImpersonateUser;
using ZEL::System::check_admin_privilege;

// The value of a field ("Uid", "Gid", "Groups") of the calling thread's /proc status.
std::string ThreadStatusField(const std::string& field) {
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            std::string value = line.substr(field.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of(" \t") + 1);
            return value;
        }
    }
    return "?";
}

// The fourth of the thread's uids (real, effective, saved, file system).
unsigned ThreadFsUid() {
    std::istringstream ids(ThreadStatusField("Uid"));
    unsigned id = 0;
    for (int i = 0; i < 4; ++i) ids >> id;
    return id;
}

// Creates `path` and returns the uid that owns it, or -1.
long CreateAndGetOwner(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat info {};
    const int rc = ::fstat(fd, &info);
    ::close(fd);
    return rc == 0 ? static_cast<long>(info.st_uid) : -1;
}

struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
};

bool LookUp(const char* name, Account& account) {
    const passwd* entry = ::getpwnam(name);  // tests run the look-up on one thread at a time
    if (entry == nullptr) return false;
    account = {entry->pw_uid, entry->pw_gid};
    return true;
}

// Sets logon_user for one test and puts the previous host settings back afterwards.
class ImpersonationTest : public ::testing::Test {
protected:
    void SetUp() override { m_saved = ZEL::linuxhost::CurrentHostSettings(); }
    void TearDown() override {
        ZEL::linuxhost::InstallHostSettings(m_saved);
        EXPECT_EQ(ThreadFsUid(), ::geteuid()) << "a test left the thread impersonating";
    }
    void SetLogonUser(const std::string& user) {
        auto settings = m_saved;
        settings.logon_user = user;
        ZEL::linuxhost::InstallHostSettings(settings);
    }
    static bool IsRoot() { return ::geteuid() == 0; }

private:
    ZEL::linuxhost::HostSettings m_saved;
};

TEST_F(ImpersonationTest, ResultCodesWhenNoSwitchHappens) {
    SetLogonUser("datasync-no-such-user-4b1d");
    ImpersonateUser unknown;
    EXPECT_EQ(unknown.EnterLogOnUserMode(), 1332);
    EXPECT_EQ(ThreadFsUid(), ::geteuid());

    const passwd* self = ::getpwuid(::geteuid());
    ASSERT_NE(self, nullptr);
    SetLogonUser(self->pw_name);
    const std::string groupsBefore = ThreadStatusField("Groups");
    ImpersonateUser same;
    EXPECT_EQ(same.EnterLogOnUserMode(), 0) << "the service already runs as the user";
    EXPECT_EQ(ThreadFsUid(), ::geteuid());
    EXPECT_EQ(ThreadStatusField("Groups"), groupsBefore);

    SetLogonUser("");
    ImpersonateUser none;
    EXPECT_EQ(none.EnterLogOnUserMode(), IsRoot() ? 1008 : 0) << "no logon user";
    EXPECT_EQ(check_admin_privilege(), IsRoot());

    Account nobody;
    if (!IsRoot() && LookUp("nobody", nobody) && nobody.uid != ::geteuid()) {
        SetLogonUser("nobody");
        ImpersonateUser other;
        EXPECT_EQ(other.EnterLogOnUserMode(), 1314) << "a non-root service cannot become another user";
        EXPECT_EQ(ThreadFsUid(), ::geteuid());
    }
}

class ImpersonateNobodyTest : public ImpersonationTest {
protected:
    void SetUp() override {
        ImpersonationTest::SetUp();
        if (!IsRoot()) GTEST_SKIP() << "needs root";
        if (!LookUp("nobody", nobody)) GTEST_SKIP() << "needs user nobody";
        SetLogonUser("nobody");
        ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);  // nobody may create files here
    }

    Account nobody;
    testsupport::TempDir dir;
};

TEST_F(ImpersonateNobodyTest, OnlyTheCallingThreadIsSwitched) {
    std::mutex mutex;
    std::condition_variable changed;
    bool otherReady = false;
    bool switched = false;
    bool otherDone = false;
    long otherOwner = -2;
    bool otherAdmin = false;
    std::string otherGroups;
    std::string groupsBefore;

    // The other thread exists before the switch and acts while the calling thread is switched.
    std::thread other([&] {
        std::unique_lock<std::mutex> lock(mutex);
        groupsBefore = ThreadStatusField("Groups");
        otherReady = true;
        changed.notify_all();
        changed.wait(lock, [&] { return switched; });
        otherOwner = CreateAndGetOwner(dir.path() + "other");
        otherAdmin = check_admin_privilege();
        otherGroups = ThreadStatusField("Groups");
        otherDone = true;
        changed.notify_all();
    });

    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return otherReady; });
    }
    const std::string privateDir = dir.sub("private");  // root's, not open to others
    ASSERT_EQ(::chmod(privateDir.c_str(), 0700), 0);
    ImpersonateUser user;
    const int entered = user.EnterLogOnUserMode();
    const std::string myGroups = ThreadStatusField("Groups");
    {
        std::unique_lock<std::mutex> lock(mutex);
        switched = true;
        changed.notify_all();
        changed.wait(lock, [&] { return otherDone; });
    }
    const long myOwner = CreateAndGetOwner(dir.path() + "mine");
    const bool myAdmin = check_admin_privilege();
    const long denied = CreateAndGetOwner(privateDir + "denied");
    const int deniedError = errno;
    user.ExitLogOnUserMode();
    other.join();

    ASSERT_EQ(entered, 0);
    EXPECT_EQ(myOwner, static_cast<long>(nobody.uid));
    struct stat info {};
    ASSERT_EQ(::stat((dir.path() + "mine").c_str(), &info), 0);
    EXPECT_EQ(info.st_gid, nobody.gid);
    EXPECT_FALSE(myAdmin);
    EXPECT_EQ(denied, -1) << "root's file capabilities were kept";
    EXPECT_EQ(deniedError, EACCES);
    EXPECT_EQ(otherOwner, 0L) << "the other thread was switched too";
    EXPECT_TRUE(otherAdmin);
    // glibc's setgroups() would have changed the other thread's groups as well.
    EXPECT_EQ(otherGroups, groupsBefore);
    EXPECT_NE(myGroups, groupsBefore);
}

TEST_F(ImpersonateNobodyTest, ExitAndDestructorRestoreTheThreadsIdentity) {
    const std::string groupsBefore = ThreadStatusField("Groups");
    const std::string gidsBefore = ThreadStatusField("Gid");
    ImpersonateUser user;
    ASSERT_EQ(user.EnterLogOnUserMode(), 0);
    EXPECT_EQ(user.EnterLogOnUserMode(), 0);  // entering twice keeps the identity to return to
    ASSERT_FALSE(check_admin_privilege());
    user.ExitLogOnUserMode();
    EXPECT_TRUE(check_admin_privilege());
    EXPECT_EQ(ThreadFsUid(), 0u);
    EXPECT_EQ(ThreadStatusField("Gid"), gidsBefore);
    EXPECT_EQ(ThreadStatusField("Groups"), groupsBefore);
    EXPECT_EQ(CreateAndGetOwner(dir.path() + "after"), 0L);
    user.ExitLogOnUserMode();  // a second Exit changes nothing
    EXPECT_TRUE(check_admin_privilege());

    // The destructor returns too, and nested objects return step by step.
    {
        ImpersonateUser outer;
        ASSERT_EQ(outer.EnterLogOnUserMode(), 0);
        {
            ImpersonateUser inner;
            ASSERT_EQ(inner.EnterLogOnUserMode(), 0);
        }
        EXPECT_EQ(ThreadFsUid(), nobody.uid) << "the inner object returned past the outer switch";
    }
    EXPECT_TRUE(check_admin_privilege());
    EXPECT_EQ(ThreadStatusField("Groups"), groupsBefore);

    // Code deep in a call acts as the service for a moment through an object of its own, then
    // as the user again; its caller's object is no longer switched afterwards.
    {
        ImpersonateUser caller;
        ASSERT_EQ(caller.EnterLogOnUserMode(), 0);
        ImpersonateUser callee;
        callee.ExitLogOnUserMode();
        EXPECT_TRUE(check_admin_privilege());
        ASSERT_EQ(callee.EnterLogOnUserMode(), 0);
        EXPECT_EQ(ThreadFsUid(), nobody.uid);
        callee.ExitLogOnUserMode();
        EXPECT_TRUE(check_admin_privilege());
    }
    EXPECT_TRUE(check_admin_privilege());
    EXPECT_EQ(ThreadStatusField("Groups"), groupsBefore);
}

}  // namespace
