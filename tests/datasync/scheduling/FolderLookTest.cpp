// When the timer pass may skip looking for new scheduled files: only after a complete look at an
// unchanged folder, under the same generation, whose modification time lies well in the past.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include "datasync/scheduling/FolderLook.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

namespace {

using ZEL::DataSync::FolderLook;

std::chrono::system_clock::time_point ModifiedAt(const std::string& folder) {
    struct stat info {};
    ::stat(folder.c_str(), &info);
    return std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
}

TEST(FolderLook, ALookIsSkippedOnlyAfterACompleteLookAtAnUnchangedFolderUnderTheSameGeneration) {
    testsupport::TempDir temp;
    const std::wstring folder = temp.wpath();
    testsupport::ManualClock clock(ModifiedAt(temp.path()) + std::chrono::seconds(3));
    FolderLook look(clock);

    EXPECT_TRUE(look.Begin(folder, 1).needed) << "never looked at";
    look.Done(look.Begin(folder, 1));
    EXPECT_FALSE(look.Begin(folder, 1).needed);
    EXPECT_TRUE(look.Begin(folder, 2).needed) << "another generation";

    look.Done(look.Begin(folder, 1));
    std::ofstream(temp.path() + "new.sqlite3") << "x";
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "a file was created";

    clock.SetWall(ModifiedAt(temp.path()) + std::chrono::seconds(1));
    look.Done(look.Begin(folder, 1));
    EXPECT_TRUE(look.Begin(folder, 1).needed) << "a change in the same clock step could still come unseen";

    EXPECT_FALSE(look.Begin(temp.wpath() + L"missing/", 1).needed) << "a missing folder holds no file";
}

}  // namespace
