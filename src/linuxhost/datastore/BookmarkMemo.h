// BookmarkMemo: the bookmarks written through one SyncPoint handle, as they were written, so
// that reading one back (the next batch's start, the "rows waiting?" look after each upload)
// needs no transaction.
//
// Why it is exact: the bookmark files are written by this process alone (a second daemon is
// refused, the tools only read them), every write goes through the file's one shared handle
// (SyncPointDao::Set and Clear), and the memo lives and dies with that handle: a file deleted or
// replaced gets a new handle, and with it an empty memo, on the next look of the handle cache.
// A write that fails forgets its pair, so the next read of it goes to the file. A pair never
// written through the handle is read from the file as before.
//
// Thread safety: any thread. Remember, Forget and ForgetAll are called under the handle's
// write mutex, so the memo follows the order of the writes; Find may run beside them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace ZEL {
namespace linuxhost {

class BookmarkMemo {
public:
    struct Entry {
        std::int64_t id = 0;
        std::string logtime;  // the text the write stored
    };

    // `guid` and `type` as stored (UTF-8, the type normalised).
    std::optional<Entry> Find(const std::string& guid, const std::string& type) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_entries.find({guid, type});
        if (found == m_entries.end()) return std::nullopt;
        return found->second;
    }
    void Remember(const std::string& guid, const std::string& type, Entry entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries[{guid, type}] = std::move(entry);
    }
    void Forget(const std::string& guid, const std::string& type) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.erase({guid, type});
    }
    void ForgetAll() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::map<std::pair<std::string, std::string>, Entry> m_entries;  // guarded by m_mutex
};

}  // namespace linuxhost
}  // namespace ZEL
