// When the timer pass may skip looking for new scheduled files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "datasync/scheduling/FolderLook.h"
#include "linuxhost/LinuxFiles.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

namespace {

TEST(FolderLook, ALookIsSkippedOnlyAfterACompleteLookAtAnUnchangedFolderUnderTheSameGeneration) {
    testsupport::TempDir temp;
    const std::wstring folder = temp.wpath();
    const auto modified = [&temp] {
        struct stat info {};
        ::stat(temp.path().c_str(), &info);
        return std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
    };
    testsupport::ManualClock clock(modified() + std::chrono::seconds(3));
    ZEL::linuxhost::LinuxFiles files;
    ZEL::DataSync::FolderLook look(clock, files);
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "never looked at";
    look.Done(look.Begin(folder, 1));
    EXPECT_FALSE(look.Begin(folder, 1).needed);
    EXPECT_TRUE(look.Begin(folder, 2).needed) << "another generation";
    look.Done(look.Begin(folder, 1));
    std::ofstream(temp.path() + "new.sqlite3") << "x";
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "a file was created";
    clock.SetWall(modified() + std::chrono::seconds(1));
    look.Done(look.Begin(folder, 1));
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "a change in the same clock step could still come unseen";
    EXPECT_FALSE(look.Begin(temp.wpath() + L"missing/", 1).needed) << "a missing folder holds no file";
}

}  // namespace
