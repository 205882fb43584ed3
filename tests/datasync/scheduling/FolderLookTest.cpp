// When the timer pass may skip looking for new scheduled files.
#include <gtest/gtest.h>

#include "datasync/scheduling/FolderLook.h"
#include "support/ManualClock.h"
#include "support/MemoryFiles.h"

namespace {

TEST(FolderLook, ALookIsSkippedOnlyAfterACompleteLookAtAnUnchangedFolderUnderTheSameGeneration) {
    constexpr auto kRoot = ZEL::utility::DB_PATH_INTERNAL;
    testsupport::MemoryFiles files;
    const std::wstring folder = files.DbFolder(kRoot);
    const ZEL::DataSync::FolderTime modified{1796554800, 250};
    files.SetFolderTime(kRoot, modified);
    testsupport::ManualClock clock(std::chrono::system_clock::from_time_t(modified.seconds + 3));
    ZEL::DataSync::FolderLook look(clock, files);
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "never looked at";
    look.Done(look.Begin(folder, 1));
    EXPECT_FALSE(look.Begin(folder, 1).needed);
    EXPECT_TRUE(look.Begin(folder, 2).needed) << "another generation";
    look.Done(look.Begin(folder, 1));
    files.SetFolderTime(kRoot, {modified.seconds, modified.nanoseconds + 1});
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "a file was created, within the same second";
    clock.SetWall(std::chrono::system_clock::from_time_t(modified.seconds + 1));
    look.Done(look.Begin(folder, 1));
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "a change in the same clock step could still come unseen";
    EXPECT_FALSE(look.Begin(folder + L"missing/", 1).needed) << "a missing folder holds no file";
}

}  // namespace
