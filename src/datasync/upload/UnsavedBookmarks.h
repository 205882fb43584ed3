// UnsavedBookmarks: the bookmark files that did not take a write (a full disk, a read-only file, an
// I/O error), the bookmark writes still owed to them, and when the upload road may try them again.
//
// After an accepted post the bookmark must move, or the same batch goes out again on every pass.
// When the write fails, the write itself is kept here (the key, the bookmark it replaces and the
// value it was to get) and the file is held: every upload that would write to it waits, without
// touching the network, until its hold ends. The first upload after that writes the owed bookmark
// first (only when the stored one is still the one it replaces: something else may have moved it
// meanwhile) and goes on from there; a failure holds the file again, for longer:
//   2 s (one timer pass), 4 s, 8 s, ... at most 60 s (each a quarter second short, so that the
//   timer pass due at its end finds it over).
// So a full disk costs no duplicate batch while the agent runs; a restart in between sends the
// batch once more (the owed write lives in memory only).
//
// Thread safety: any thread; m_mutex guards the files and the owed writes and is held for
// in-memory work only. CurrentStatus() reads the published copy and never waits.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "datasync/common/Published.h"
#include "datasync/host/Clock.h"
#include "datasync/host/BookmarkStore.h"

namespace ZEL {
namespace DataSync {

// A bookmark write that failed and is owed to its file.
struct OwedBookmark {
    BookmarkKey key;
    std::optional<std::int64_t> replaces;  // the stored bookmark it replaces; none: there was none
    std::int64_t value = 0;
};

class UnsavedBookmarks {
public:
    struct FileState {
        std::wstring path;
        std::string failure;                          // "write" or "read"
        std::uint32_t failures = 0;                   // in a row
        std::chrono::system_clock::time_point since;  // the first failure of the row
        std::chrono::steady_clock::time_point nextTry;
        std::size_t owed = 0;  // bookmark writes owed to the file
    };
    using Status = std::vector<FileState>;

    explicit UnsavedBookmarks(Clock& clock) : m_clock(clock) {}
    UnsavedBookmarks(const UnsavedBookmarks&) = delete;
    UnsavedBookmarks& operator=(const UnsavedBookmarks&) = delete;

    // Whether uploads that write to `path` wait now.
    bool Holds(const std::wstring& path) const;
    // A write (`failure` "write", with the write owed when given) or read ("read") of a bookmark
    // in `path` failed: the file is held.
    void Failed(const std::wstring& path, const char* failure, const std::optional<OwedBookmark>& owed);
    // A write to `path` went through: its hold ends, and the write owed for `key` (if any) is done.
    void Saved(const std::wstring& path, const BookmarkKey& key);
    // A read of `path` went through: a hold for a failed read ends.
    void ReadWorked(const std::wstring& path);
    // The write owed for `key` in `path`, if any.
    std::optional<OwedBookmark> OwedFor(const std::wstring& path, const BookmarkKey& key) const;
    // Forgets the write owed for `key`: the stored bookmark moved on without it.
    void Forget(const std::wstring& path, const BookmarkKey& key);

    std::shared_ptr<const Status> CurrentStatus() const { return m_status.Read(); }

private:
    using OwedKey = std::tuple<std::wstring, std::wstring, std::wstring>;  // path, dataset id, type
    static OwedKey KeyOf(const std::wstring& path, const BookmarkKey& key);
    // REQUIRES: m_mutex held.
    void PublishLocked();

    Clock& m_clock;
    mutable std::mutex m_mutex;
    std::map<std::wstring, FileState> m_files;  // guarded by m_mutex; held files by path
    std::map<OwedKey, OwedBookmark> m_owed;     // guarded by m_mutex
    Published<Status> m_status;
};

}  // namespace DataSync
}  // namespace ZEL
