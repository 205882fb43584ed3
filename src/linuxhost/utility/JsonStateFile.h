// A small JSON object kept in a file of the host's state folder (registry.json,
// critical-events.json). Reading never fails: a missing file is an empty object, and so is a
// corrupt or unreadable one, which is reported once in host.log and replaced by the next save.
// Saving replaces the file atomically: the new content goes to a temporary file in the same
// folder, is flushed to disk (fsync) and renamed over the old one, so that a crash leaves either
// the old or the new content, never a torn file. The content last read or saved is kept with
// the file's identity (inode, size, modification time): a read of an unchanged file costs one
// stat, and a file changed by anybody else is read again.
//
// Thread safety: none of its own. The owner serialises every call on one instance (each state
// file has one owner in the process, holding a mutex).
#pragma once

#include <json/json.h>

#include <string>

#include "linuxhost/util/FileIdentity.h"

namespace ZEL {
namespace linuxhost {

class JsonStateFile {
public:
    // `fileName` is the bare name inside the state folder, e.g. "registry.json".
    explicit JsonStateFile(std::string fileName);

    // The file's path in the state folder installed now; empty when none is configured.
    std::string CurrentPath() const;

    // The object stored at `path`; an empty object when the file is missing, corrupt (not one
    // JSON object) or unreadable.
    Json::Value Load(const std::string& path);

    // Replaces the content of `path` with `object`, creating the folder when missing. False,
    // with one line in host.log, when it could not; the old content is then left as it was.
    bool Save(const std::string& path, const Json::Value& object);

private:
    void ReportProblemOnce(const std::wstring& what, const std::string& path);
    // Keeps `content` as what `path` held when it had `identity`.
    void Remember(const std::string& path, const FileIdentity& identity, const Json::Value& content);

    // The content last read or saved, and the identity of the file it came from.
    struct Known {
        std::string path;
        FileIdentity identity;
        Json::Value content;
    };

    std::string m_fileName;
    // The path whose problem was reported and not yet cured (by a good read or a save), so
    // that repeated reads of the same damaged file write one line, not one per read.
    std::string m_reportedPath;
    Known m_known;
};

}  // namespace linuxhost
}  // namespace ZEL
