// fileExists counts regular files, also through symbolic links, and nothing else; the
// security-attribute calls of named objects succeed without touching their argument.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "datasync/host/StringUtil.h"
#include "datasync/host/Utility.h"
#include "support/TempDir.h"

namespace {

using ZEL::FileSystem::fileExists;

std::wstring Wide(const std::string& path) {
    return ZEL::String::UTF8ToUTF16(path);
}

class FileExists : public ::testing::Test {
protected:
    void SetUp() override {
        file = temp.path() + "data.sqlite3";
        std::ofstream(file) << "x";
    }
    testsupport::TempDir temp;
    std::string file;
};

TEST_F(FileExists, IsTrueForARegularFile) {
    EXPECT_TRUE(fileExists(Wide(file)));
}

TEST_F(FileExists, IsTrueForAnEmptyRegularFile) {
    std::ofstream(temp.path() + "empty");
    EXPECT_TRUE(fileExists(Wide(temp.path() + "empty")));
}

TEST_F(FileExists, IsFalseForAMissingPath) {
    EXPECT_FALSE(fileExists(Wide(temp.path() + "missing")));
}

TEST_F(FileExists, IsFalseForAFolder) {
    EXPECT_FALSE(fileExists(Wide(temp.path())));
    EXPECT_FALSE(fileExists(Wide(temp.sub("folder"))));
}

TEST_F(FileExists, FollowsSymbolicLinks) {
    const std::string toFile = temp.path() + "link-to-file";
    const std::string toFolder = temp.path() + "link-to-folder";
    const std::string dangling = temp.path() + "dangling";
    ASSERT_EQ(::symlink(file.c_str(), toFile.c_str()), 0);
    ASSERT_EQ(::symlink(temp.path().c_str(), toFolder.c_str()), 0);
    ASSERT_EQ(::symlink((temp.path() + "nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_TRUE(fileExists(Wide(toFile)));
    EXPECT_FALSE(fileExists(Wide(toFolder)));
    EXPECT_FALSE(fileExists(Wide(dangling)));
}

TEST_F(FileExists, IsFalseForADevice) {
    EXPECT_FALSE(fileExists(L"/dev/null"));
}

TEST_F(FileExists, IsFalseForTheEmptyPath) {
    EXPECT_FALSE(fileExists(L""));
}

TEST_F(FileExists, HandlesNonAsciiNames) {
    const std::string name = temp.path() + "Ger\xc3\xa4te.sqlite3";
    std::ofstream(name) << "x";
    EXPECT_TRUE(fileExists(temp.wpath() + L"Ger\u00e4te.sqlite3"));
}

TEST_F(FileExists, AnEmbeddedNulDoesNotShortenThePath) {
    std::wstring path = Wide(file);
    path += L'\0';
    path += L"suffix";
    EXPECT_FALSE(fileExists(path));
}

TEST(SecurityAttributes, InitializeSucceedsAndFreeLeavesThemAlone) {
    ZEL::System::SECURITY_ATTRIBUTES attributes;
    attributes.inheritHandle = true;
    EXPECT_TRUE(ZEL::System::InitializeSecurityAttributes(&attributes, true));
    EXPECT_TRUE(ZEL::System::InitializeSecurityAttributes(&attributes, false));
    ZEL::System::FreeSecurityAttribute(&attributes);
    EXPECT_TRUE(attributes.inheritHandle);
    EXPECT_TRUE(ZEL::System::InitializeSecurityAttributes(nullptr, false));
    ZEL::System::FreeSecurityAttribute(nullptr);
}

}  // namespace
