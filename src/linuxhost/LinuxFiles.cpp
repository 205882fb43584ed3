// The module's file-system questions on Linux.
#include "linuxhost/LinuxFiles.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostFolders.h"
#include "platform/FileText.h"

namespace ZEL {
namespace linuxhost {
namespace {

namespace fs = std::filesystem;

// The system's form of `path`; nothing for a path the system would read shorter than it is.
std::optional<std::string> SystemPath(const std::wstring& path) {
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return std::nullopt;
    return String::UTF16ToUTF8(path);
}

}  // namespace

std::wstring LinuxFiles::DbFolder(utility::EGetDBPathMethod root) {
    return linuxhost::DbFolder(root);
}

bool LinuxFiles::Exists(const std::wstring& path) {
    const std::optional<std::string> system = SystemPath(path);
    struct stat info {};
    return system && ::stat(system->c_str(), &info) == 0;
}

bool LinuxFiles::IsRegularFile(const std::wstring& path) {
    const std::optional<std::string> system = SystemPath(path);
    struct stat info {};
    return system && ::stat(system->c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<DataSync::FolderTime> LinuxFiles::FolderModified(const std::wstring& path) {
    const std::optional<std::string> system = SystemPath(path);
    struct stat info {};
    if (!system || ::stat(system->c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
    return DataSync::FolderTime{info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

std::vector<std::wstring> LinuxFiles::ListFiles(const std::wstring& folder, std::string& problem) {
    problem.clear();
    std::vector<std::wstring> names;
    const std::optional<std::string> system = SystemPath(folder);
    if (!system) {
        problem = "no folder named";
        return names;
    }
    std::error_code error;
    for (fs::directory_iterator it(*system, error), end; !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (it->is_regular_file(entryError))
            names.push_back(String::UTF8ToUTF16(it->path().filename().string()));
    }
    if (error) problem = "cannot list " + *system + ": " + error.message();
    return names;
}

std::string LinuxFiles::WriteText(const std::wstring& path, const std::string& text) {
    const std::optional<std::string> system = SystemPath(path);
    if (!system) return "cannot write a file without a name";
    std::error_code error;
    fs::create_directories(fs::path(*system).parent_path(), error);
    std::ofstream out(*system, std::ios::trunc);
    out << text;
    out.close();
    if (out) return std::string();
    return "cannot write " + *system + (error ? ": " + error.message() : std::string());
}

std::optional<std::string> LinuxFiles::ReadText(const std::wstring& path) {
    const std::optional<std::string> system = SystemPath(path);
    if (!system) return std::nullopt;
    // The purge's markers are a few bytes; anything larger is not one of them.
    constexpr std::size_t kMarkerLimit = 4096;
    platform::FileText file = platform::ReadFileText(*system, kMarkerLimit);
    if (!file.ok()) return std::nullopt;
    return std::move(file.text);
}

std::string LinuxFiles::Remove(const std::wstring& path) {
    const std::optional<std::string> system = SystemPath(path);
    if (!system) return std::string();
    std::error_code error;
    fs::remove(*system, error);
    return error ? "cannot remove " + *system + ": " + error.message() : std::string();
}

}  // namespace linuxhost
}  // namespace ZEL
