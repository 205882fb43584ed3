// HostFiles: the file-system questions the module asks of its host, and the few small files it
// keeps (the purge's markers). The Linux host answers from its folders (linuxhost/LinuxFiles.h);
// tests answer from memory or from a folder of their own.
//
// Paths are wide texts (UTF-32 on Linux) as the module passes them around; a path with an
// embedded NUL names nothing. Every problem text names the file and the reason.
//
// Thread safety: every operation may be called from any thread at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "datasync/common/DbRoots.h"

namespace ZEL {
namespace DataSync {

// A folder's modification time, to the resolution the file system keeps.
struct FolderTime {
    std::int64_t seconds = 0;  // Unix seconds
    std::int64_t nanoseconds = 0;
    bool operator==(const FolderTime& other) const {
        return seconds == other.seconds && nanoseconds == other.nanoseconds;
    }
};

class HostFiles {
public:
    virtual ~HostFiles() = default;

    // The folder of `root`, ending with '/' so that file names are appended directly; empty when
    // the host has not configured it.
    virtual std::wstring DbFolder(utility::EGetDBPathMethod root) = 0;
    // Whether anything is at `path` (a file, a folder; a link counts when its target is there).
    virtual bool Exists(const std::wstring& path) = 0;
    // Whether `path` names a regular file, directly or through links (a folder, a device or a
    // dangling link does not count).
    virtual bool IsRegularFile(const std::wstring& path) = 0;
    // The modification time of the folder `path`; nothing when it is not a folder.
    virtual std::optional<FolderTime> FolderModified(const std::wstring& path) = 0;
    // The names of the regular files directly in `folder`, in no particular order. `problem`
    // receives why the listing could not start or stopped early (empty when it is complete).
    virtual std::vector<std::wstring> ListFiles(const std::wstring& folder, std::string& problem) = 0;

    // Replaces the file `path` with `text`, creating its folder: empty on success, else the problem.
    virtual std::string WriteText(const std::wstring& path, const std::string& text) = 0;
    // The whole text of `path`; nothing when it is missing or cannot be read.
    virtual std::optional<std::string> ReadText(const std::wstring& path) = 0;
    // Removes the file `path` (a missing file is no problem): empty on success, else the problem.
    virtual std::string Remove(const std::wstring& path) = 0;
};

}  // namespace DataSync
}  // namespace ZEL
