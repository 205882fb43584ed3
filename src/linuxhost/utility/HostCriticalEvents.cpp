// The set of active critical events: (event id, value) pairs raised by Log and cleared by
// ResetError, kept in <state_dir>/critical-events.json as
//   {"active": [{"eventId": 3, "value": 12029}, ...]}
// so that an error raised before a restart is still active after it. ResetError(id, value) says
// that the condition behind event `id` has ended (callers pass the value that shows it, such as
// the HTTP status of a successful upload): it clears every active value of that id. Clearing only
// the pair (id, value) would leave a failure raised with another value (a 500, an aborted post)
// listed for ever after the uploads recovered.
//
// The set belongs to the state folder: it is read from that folder's file on first use, and
// read again when the installed state folder changes. Each change replaces the file atomically
// and writes one line to host.log; raising an active pair or clearing an inactive one is no
// change and writes nothing. Without a state folder the set lives in memory only.
//
// Thread safety: every call may come from any thread; one mutex serialises them.
#include "linuxhost/utility/HostCriticalEvents.h"

#include <iterator>
#include <limits>
#include <mutex>
#include <string>

#include "datasync/common/StringUtil.h"
#include "linuxhost/logging/FileLogging.h"
#include "linuxhost/utility/JsonStateFile.h"

namespace ZEL {
namespace linuxhost {
namespace {

using EventSet = std::set<std::pair<int, int>>;

struct CriticalEventState {
    std::mutex mutex;
    JsonStateFile file{"critical-events.json"};
    bool loaded = false;
    std::string loadedPath;  // the file `active` was read from ("" without a state folder)
    EventSet active;
};

CriticalEventState& State() {
    static CriticalEventState* state = new CriticalEventState();  // lives to process exit
    return *state;
}

bool IsIntMember(const Json::Value& entry, const char* name) {
    return entry.isObject() && entry[name].isInt();
}

EventSet Decode(const Json::Value& root, const std::string& path) {
    EventSet events;
    const Json::Value& list = root["active"];
    if (list.isNull()) return events;
    bool skipped = !list.isArray();
    if (list.isArray()) {
        for (const Json::Value& entry : list) {
            if (IsIntMember(entry, "eventId") && IsIntMember(entry, "value")) {
                events.emplace(entry["eventId"].asInt(), entry["value"].asInt());
            } else {
                skipped = true;
            }
        }
    }
    if (skipped) {
        HostLog().w(L"CriticalEvents: %s holds entries that are not {eventId, value}; ignored",
                    String::UTF8ToUTF16(path));
    }
    return events;
}

Json::Value Encode(const EventSet& events) {
    Json::Value root(Json::objectValue);
    Json::Value& list = root["active"] = Json::Value(Json::arrayValue);
    for (const auto& event : events) {
        Json::Value entry(Json::objectValue);
        entry["eventId"] = event.first;
        entry["value"] = event.second;
        list.append(entry);
    }
    return root;
}

// REQUIRES: state.mutex held.
void EnsureLoaded(CriticalEventState& state) {
    const std::string path = state.file.CurrentPath();
    if (state.loaded && path == state.loadedPath) return;
    state.active = path.empty() ? EventSet() : Decode(state.file.Load(path), path);
    state.loadedPath = path;
    state.loaded = true;
}

// REQUIRES: state.mutex held.
void Persist(CriticalEventState& state) {
    if (!state.loadedPath.empty()) state.file.Save(state.loadedPath, Encode(state.active));
}

}  // namespace

void HostCriticalEvents::Log(int eventId, int value) {
    CriticalEventState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureLoaded(state);
    if (!state.active.emplace(eventId, value).second) return;
    Persist(state);
    HostLog().w(L"CriticalEvents: raised event %d value %d (%d active)", eventId, value, state.active.size());
}

void HostCriticalEvents::ResetError(int eventId, int value) {
    CriticalEventState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureLoaded(state);
    const auto first = state.active.lower_bound({eventId, std::numeric_limits<int>::min()});
    auto end = first;
    while (end != state.active.end() && end->first == eventId) ++end;
    if (first == end) return;
    const auto cleared = std::distance(first, end);
    state.active.erase(first, end);
    Persist(state);
    HostLog().i(L"CriticalEvents: cleared event %d (%d values) on value %d (%d active)", eventId, cleared,
                value, state.active.size());
}

std::set<std::pair<int, int>> HostCriticalEvents::Active() {
    CriticalEventState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    EnsureLoaded(state);
    return state.active;
}

}  // namespace linuxhost
}  // namespace ZEL
