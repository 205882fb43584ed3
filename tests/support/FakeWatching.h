// Watching for tests: nothing runs by itself. Each watch is recorded; the test fires a file change
// (Changed) or a timer (Tick) on its own thread, which calls the matching callbacks in turn. A
// Watch's destruction forgets it; destroying one from another thread while its callback runs is
// the test's concern (the fakes' callbacks run on the test thread).
// Thread safety: every call may come from any thread.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/Watching.h"

namespace testsupport {

class FakeWatching : public ZEL::Watching {
public:
    std::unique_ptr<ZEL::Watch> WatchFiles(const std::wstring& folder, const std::list<std::wstring>& fileNames,
                                           FileCallback callback, platform::HANDLE) override {
        Entry entry;
        entry.folder = folder;
        entry.names = fileNames;
        entry.file = std::move(callback);
        return Add(std::move(entry));
    }
    std::unique_ptr<ZEL::Watch> Every(std::chrono::milliseconds, std::chrono::milliseconds, std::wstring name,
                                      TimerCallback callback) override {
        Entry entry;
        entry.name = std::move(name);
        entry.timer = std::move(callback);
        return Add(std::move(entry));
    }

    // The file at `fullPath` changed: every watch of its folder that lists its name is called.
    // Returns how many were.
    int Changed(const std::wstring& fullPath) {
        const std::size_t slash = fullPath.rfind(L'/');
        const std::wstring folder = fullPath.substr(0, slash + 1), name = fullPath.substr(slash + 1);
        int called = 0;
        for (const Entry& entry : Snapshot()) {
            const bool listed = std::find(entry.names.begin(), entry.names.end(), name) != entry.names.end();
            if (entry.file && SameFolder(entry.folder, folder) && listed) entry.file(fullPath), ++called;
        }
        return called;
    }
    // Every timer (named `name`, when given) fires once. Returns how many did.
    int Tick(const std::wstring& name = L"") {
        int called = 0;
        for (const Entry& entry : Snapshot())
            if (entry.timer && (name.empty() || entry.name == name)) entry.timer(entry.name), ++called;
        return called;
    }
    // How many file watches and timers are live.
    std::pair<int, int> Count() {
        int files = 0, timers = 0;
        for (const Entry& entry : Snapshot()) (entry.file ? files : timers) += 1;
        return {files, timers};
    }

private:
    struct Entry {
        std::wstring folder, name;
        std::list<std::wstring> names;
        FileCallback file;
        TimerCallback timer;
    };
    class Handle : public ZEL::Watch {
    public:
        Handle(FakeWatching& owner, std::uint64_t id) : m_owner(owner), m_id(id) {}
        ~Handle() override { m_owner.Remove(m_id); }

    private:
        FakeWatching& m_owner;
        std::uint64_t m_id;
    };

    static bool SameFolder(std::wstring a, std::wstring b) {
        for (std::wstring* folder : {&a, &b})
            if (folder->empty() || folder->back() != L'/') folder->push_back(L'/');
        return a == b;
    }
    std::unique_ptr<ZEL::Watch> Add(Entry entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries[++m_lastId] = std::move(entry);
        return std::make_unique<Handle>(*this, m_lastId);
    }
    void Remove(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.erase(id);
    }
    std::vector<Entry> Snapshot() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Entry> entries;
        for (const auto& [id, entry] : m_entries) entries.push_back(entry);
        return entries;
    }

    std::mutex m_mutex;
    std::map<std::uint64_t, Entry> m_entries;  // guarded by m_mutex
    std::uint64_t m_lastId = 0;                // guarded by m_mutex
};

}  // namespace testsupport
