// Atomic replacement and tolerant reading of the host's JSON state files.
#include "linuxhost/utility/JsonStateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "datasync/common/StringUtil.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/logging/FileLogging.h"
#include "platform/FileText.h"
#include "platform/UniqueFd.h"

namespace ZEL {
namespace linuxhost {
namespace {


std::wstring ErrnoText(int error) {
    return String::UTF8ToUTF16(std::strerror(error));
}

bool WriteAll(int fd, const std::string& data) {
    size_t written = 0;
    while (written < data.size()) {
        const ssize_t result = ::write(fd, data.data() + written, data.size() - written);
        if (result < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<size_t>(result);
    }
    return true;
}

// Makes the rename itself durable. Best effort: some file systems refuse fsync on folders.
void SyncFolder(const std::string& folder) {
    platform::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

std::string Serialise(const Json::Value& object) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, object) + "\n";
}

}  // namespace

JsonStateFile::JsonStateFile(std::string fileName) : m_fileName(std::move(fileName)) {}

std::string JsonStateFile::CurrentPath() const {
    const std::string folder = StateFolder();  // ends with '/' when set
    return folder.empty() ? std::string() : folder + m_fileName;
}

void JsonStateFile::ReportProblemOnce(const std::wstring& what, const std::string& path) {
    if (m_reportedPath == path) return;
    m_reportedPath = path;
    HostLog().w(L"StateFile: %s: %s; treated as empty and replaced at the next change",
                String::UTF8ToUTF16(path), what);
}

void JsonStateFile::Remember(const std::string& path, const FileIdentity& identity, const Json::Value& content) {
    m_known.path = path;
    m_known.identity = identity;
    m_known.content = content;
}

Json::Value JsonStateFile::Load(const std::string& path) {
    // Stat'ed before the read: a change during the read makes the next Load read again.
    FileIdentity now;
    const bool identified = FileIdentity::Of(path, now);
    if (identified && m_known.path == path && now == m_known.identity) return m_known.content;
    m_known.path.clear();
    const platform::FileText file = platform::ReadFileText(path);
    if (!file.ok()) {
        if (file.status != platform::FileText::Status::Missing)
            ReportProblemOnce(L"cannot be read: " + String::UTF8ToUTF16(file.reason), path);
        return Json::Value(Json::objectValue);
    }
    const std::string& text = file.text;
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;  // a valid object followed by garbage is still damage
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors) || !root.isObject()) {
        ReportProblemOnce(L"not a JSON object", path);
        return Json::Value(Json::objectValue);
    }
    if (m_reportedPath == path) m_reportedPath.clear();
    if (identified) Remember(path, now, root);
    return root;
}

bool JsonStateFile::Save(const std::string& path, const Json::Value& object) {
    const std::filesystem::path target(path);
    const std::string folder = target.parent_path().string();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);

    // mkstemp gives a unique name, so a second writer process never shares our temporary file.
    std::string temporary = path + ".XXXXXX";
    platform::UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        HostLog().e(L"StateFile: cannot create a temporary file beside %s: %s", String::UTF8ToUTF16(path),
                    ErrnoText(error));
        return false;
    }

    const std::string data = Serialise(object);
    int error = 0;
    if (!WriteAll(fd.get(), data) || ::fsync(fd.get()) != 0) error = errno ? errno : EIO;
    // close itself may report a late write failure
    if (::close(fd.release()) != 0 && error == 0) error = errno ? errno : EIO;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        HostLog().e(L"StateFile: cannot write %s: %s", String::UTF8ToUTF16(path), ErrnoText(error));
        return false;
    }
    SyncFolder(folder);
    if (m_reportedPath == path) m_reportedPath.clear();
    FileIdentity saved;
    if (FileIdentity::Of(path, saved))
        Remember(path, saved, object);
    else
        m_known.path.clear();
    return true;
}

}  // namespace linuxhost
}  // namespace ZEL
