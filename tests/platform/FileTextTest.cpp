#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "platform/FileText.h"
#include "support/TempDir.h"

namespace {

using platform::FileText;
using platform::ReadFileText;

TEST(FileText, ReadsRegularFilesAndSaysWhyOthersCannotBeRead) {
    testsupport::TempDir dir;
    std::ofstream(dir.path() + "small", std::ios::binary) << std::string("a\0b", 3);
    std::ofstream(dir.path() + "large", std::ios::binary) << std::string(2 * 1024 * 1024 + 1, 'x');
    std::ofstream(dir.path() + "empty", std::ios::binary);
    ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
    dir.sub("folder");
    const struct {
        const char* name;
        FileText::Status status;
        std::string text;
        std::string reason;
    } cases[] = {
        {"small", FileText::Status::Read, std::string("a\0b", 3), ""},
        {"empty", FileText::Status::Read, "", ""},
        {"absent", FileText::Status::Missing, "", "No such file or directory"},
        {"small/below", FileText::Status::Missing, "", "Not a directory"},
        {"folder", FileText::Status::Unreadable, "", "is a folder, not a file"},
        {"fifo", FileText::Status::Unreadable, "", "is not a regular file"},  // and no blocking open
        {"large", FileText::Status::Unreadable, "", "is larger than 2 MiB"},
    };
    for (const auto& c : cases) {
        const FileText file = ReadFileText(dir.path() + c.name, 2 * 1024 * 1024);
        EXPECT_EQ(file.status, c.status) << c.name;
        EXPECT_EQ(file.text, c.text) << c.name;
        EXPECT_EQ(file.Error(), dir.path() + c.name + ": " + c.reason);  // the path and the reason
    }
    EXPECT_EQ(ReadFileText(dir.path() + "large", 1000).reason, "is larger than 1000 bytes");
    EXPECT_TRUE(ReadFileText(dir.path() + "large").ok());
}

}  // namespace
