// LinuxFiles: the module's file-system questions answered from the installed host folders
// (HostFolders.h) and the local file system.
//
// Stateless: one object may serve every thread and every agent of the process.
#pragma once

#include "datasync/host/HostFiles.h"

namespace ZEL {
namespace linuxhost {

class LinuxFiles : public DataSync::HostFiles {
public:
    std::wstring DbFolder(utility::EGetDBPathMethod root) override;
    bool Exists(const std::wstring& path) override;
    bool IsRegularFile(const std::wstring& path) override;
    std::optional<DataSync::FolderTime> FolderModified(const std::wstring& path) override;
    std::vector<std::wstring> ListFiles(const std::wstring& folder, std::string& problem) override;
    std::string WriteText(const std::wstring& path, const std::string& text) override;
    std::optional<std::string> ReadText(const std::wstring& path) override;
    std::string Remove(const std::wstring& path) override;
};

}  // namespace linuxhost
}  // namespace ZEL
