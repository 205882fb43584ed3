// Reading a whole file into memory, the one way the host and the programs do it: open, check
// it is a regular file no larger than the caller allows, read to the end (retrying interrupted
// reads). A failure says which kind it is (the file is missing, or it is there but cannot be
// used) and why, in words that name the file.
//
// Thread safety: a free function over the file system; call it from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace platform {

struct FileText {
    enum class Status {
        Read,        // `text` holds the whole file
        Missing,     // no such file (ENOENT, or a missing folder on the way)
        Unreadable,  // it exists but cannot be opened or read, is no regular file, or is too large
    };
    Status status = Status::Unreadable;
    std::string text;
    std::string path;
    // When not Read: why, without the path: the errno text ("Permission denied"), "is a folder,
    // not a file", "is not a regular file" or "is larger than 16 MiB".
    std::string reason;
    bool tooLarge = false;  // Unreadable because of `maxBytes`
    bool notAFile = false;  // Unreadable because it is a folder, a device, a FIFO, ...

    bool ok() const { return status == Status::Read; }
    // "<path>: <reason>".
    std::string Error() const { return path + ": " + reason; }
};

// The content of `path`. A file larger than `maxBytes` is Unreadable and not read at all.
FileText ReadFileText(const std::string& path,
                      std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

}  // namespace platform
