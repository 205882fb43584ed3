// fileExists counts regular files, also through symbolic links, and nothing else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/TempDir.h"

namespace {

TEST(FileExists, CountsRegularFilesAlsoThroughLinksAndNothingElse) {
    testsupport::TempDir temp;
    const std::string file = temp.path() + "Ger\xc3\xa4te.sqlite3";
    std::ofstream(file) << "x";
    std::ofstream(temp.path() + "empty");
    ASSERT_EQ(::symlink(file.c_str(), (temp.path() + "link-to-file").c_str()), 0);
    ASSERT_EQ(::symlink(temp.path().c_str(), (temp.path() + "link-to-folder").c_str()), 0);
    ASSERT_EQ(::symlink((temp.path() + "nowhere").c_str(), (temp.path() + "dangling").c_str()), 0);
    std::wstring withNul = ZEL::String::UTF8ToUTF16(file);
    withNul += std::wstring(1, L'\0') + L"suffix";  // must not be shortened to the file's path

    const std::pair<std::wstring, bool> cases[] = {
        {temp.wpath() + L"Ger\u00e4te.sqlite3", true}, {temp.wpath() + L"empty", true},
        {temp.wpath() + L"link-to-file", true},        {temp.wpath() + L"missing", false},
        {temp.wpath(), false},                         {temp.wpath() + L"link-to-folder", false},
        {temp.wpath() + L"dangling", false},           {L"/dev/null", false},
        {L"", false},                                  {withNul, false}};
    for (const auto& c : cases)
        EXPECT_EQ(ZEL::FileSystem::fileExists(c.first), c.second) << ZEL::String::UTF16ToUTF8(c.first);
}

}  // namespace
