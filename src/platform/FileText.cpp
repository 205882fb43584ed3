// Whole-file reads over open/fstat/read, so that every failure keeps its errno.
#include "platform/FileText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/UniqueFd.h"

namespace platform {
namespace {

std::string SizeText(std::size_t bytes) {
    constexpr std::size_t kMiB = 1024 * 1024;
    if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
    return std::to_string(bytes) + " bytes";
}

FileText Failed(FileText result, int error) {
    result.status =
        error == ENOENT || error == ENOTDIR ? FileText::Status::Missing : FileText::Status::Unreadable;
    result.reason = std::strerror(error);
    result.text.clear();
    return result;
}

FileText Refused(FileText result, std::string reason) {
    result.status = FileText::Status::Unreadable;
    result.reason = std::move(reason);
    result.text.clear();
    return result;
}

}  // namespace

FileText ReadFileText(const std::string& path, std::size_t maxBytes) {
    FileText result;
    result.path = path;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));  // a FIFO must not block
    if (!fd) return Failed(std::move(result), errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return Failed(std::move(result), errno);
    if (!S_ISREG(info.st_mode)) {
        result.notAFile = true;
        return Refused(std::move(result),
                       S_ISDIR(info.st_mode) ? "is a folder, not a file" : "is not a regular file");
    }
    const auto tooLarge = [&](FileText refused) {
        refused.tooLarge = true;
        return Refused(std::move(refused), "is larger than " + SizeText(maxBytes));
    };
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) return tooLarge(std::move(result));
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return Failed(std::move(result), errno);
        }
        // A file that grows while it is read is held to the same bound.
        if (result.text.size() + static_cast<std::size_t>(got) > maxBytes) return tooLarge(std::move(result));
        result.text.append(buffer, static_cast<std::size_t>(got));
    }
    result.status = FileText::Status::Read;
    return result;
}

}  // namespace platform
