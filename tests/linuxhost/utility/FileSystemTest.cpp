#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <utility>

#include "datasync/common/StringUtil.h"
#include "linuxhost/utility/FileSystem.h"
#include "support/TempDir.h"

namespace {

using ZEL::String::UTF16ToUTF8;

TEST(FileExists, CountsRegularFilesAlsoThroughLinksAndNothingElse) {
    testsupport::TempDir temp;
    std::ofstream(temp.path() + "Ger\xc3\xa4te.sqlite3") << "x";
    std::ofstream(temp.path() + "empty");
    for (const auto& [target, link] : {std::pair{temp.path() + "empty", "link-to-file"}, {temp.path(), "link-to-folder"},
                                       {temp.path() + "nowhere", "dangling"}})
        ASSERT_EQ(::symlink(target.c_str(), (temp.path() + link).c_str()), 0);
    const std::pair<std::wstring, bool> cases[] = {
        {L"Ger\u00e4te.sqlite3", true}, {L"empty", true}, {L"link-to-file", true}, {L"missing", false}, {L"", false},
        {L"link-to-folder", false}, {L"dangling", false}};
    for (const auto& c : cases) EXPECT_EQ(ZEL::FileSystem::fileExists(temp.wpath() + c.first), c.second) << UTF16ToUTF8(c.first);
    EXPECT_FALSE(ZEL::FileSystem::fileExists(L"/dev/null"));
}

}  // namespace
