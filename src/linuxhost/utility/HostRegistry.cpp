// The host's registry: named whole numbers the agent keeps across restarts (its last errors),
// stored as one JSON object {"name": value, ...} in <state_dir>/registry.json.
//
// Every write reads the file, changes one member and replaces the file atomically, all under
// one mutex, so that concurrent writers in the process never lose each other's values. A value
// equal to the stored one is not written again (the uploader records every answer, and a
// synced file replacement per upload would cost more than the upload). Values are read from
// the file each time, so the file stays the single source of truth.
//
// Without a state folder nothing is stored: the write is reported in host.log and dropped.
#include "linuxhost/utility/HostRegistry.h"

#include <mutex>

#include "datasync/common/StringUtil.h"
#include "linuxhost/logging/FileLogging.h"
#include "linuxhost/utility/JsonStateFile.h"

namespace ZEL {
namespace linuxhost {
namespace {

struct RegistryFile {
    std::mutex mutex;
    JsonStateFile file{"registry.json"};
};

RegistryFile& TheRegistry() {
    static RegistryFile* registry = new RegistryFile();  // lives to process exit: usable from any destructor
    return *registry;
}

}  // namespace

void HostRegistry::Write(const std::wstring& name, long value) {
    if (name.empty()) {
        HostLog().w(L"WriteErrorToRegistry: empty name; value %ld not stored", value);
        return;
    }
    RegistryFile& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const std::string path = registry.file.CurrentPath();
    if (path.empty()) {
        HostLog().w(L"WriteErrorToRegistry: no state folder configured; %s=%ld not stored", name,
                               value);
        return;
    }
    Json::Value root = registry.file.Load(path);
    Json::Value& stored = root[String::UTF16ToUTF8(name)];
    if (stored.isInt64() && stored.asInt64() == value) return;
    stored = Json::Int64{value};
    registry.file.Save(path, root);
}

bool HostRegistry::Read(const std::wstring& name, long& value) {
    RegistryFile& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const std::string path = registry.file.CurrentPath();
    if (path.empty() || name.empty()) return false;
    const Json::Value root = registry.file.Load(path);
    const Json::Value& stored = root[String::UTF16ToUTF8(name)];
    if (!stored.isInt64()) return false;  // also a non-integral value written by hand
    value = static_cast<long>(stored.asInt64());
    return true;
}

}  // namespace linuxhost
}  // namespace ZEL
