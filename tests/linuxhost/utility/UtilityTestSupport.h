// The fixture of the host-utility tests that touch the state folder: each test gets its own
// empty folder and a capture of the log lines; the folders are uninstalled afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "linuxhost/HostFolders.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace testsupport {

class StateFolderTest : public ::testing::Test {
protected:
    void SetUp() override { UseStateFolder(temp.sub("state")); }
    void TearDown() override { ZEL::linuxhost::InstallHostFolders(ZEL::linuxhost::HostFolders{}); }

    static void UseStateFolder(const std::string& folder) {  // installed as the host's state_dir
        ZEL::linuxhost::HostFolders folders;
        folders.state_dir = folder;
        ZEL::linuxhost::InstallHostFolders(folders);
    }
    std::string StateFolder() const { return ZEL::linuxhost::CurrentHostFolders().state_dir; }

    // The lines written to host.log during the test.
    std::vector<LogCapture::Line> HostLines() const {
        std::vector<LogCapture::Line> lines;
        for (const LogCapture::Line& line : capture.Lines()) {
            if (line.file == "host.log") lines.push_back(line);
        }
        return lines;
    }

    TempDir temp;
    LogCapture capture;
};

}  // namespace testsupport
