// The held bookmark files and the bookmark writes owed to them.
#include "datasync/upload/UnsavedBookmarks.h"

#include <algorithm>


namespace ZEL {
namespace DataSync {
namespace {

constexpr std::chrono::milliseconds kFirstHold{2000};  // one timer pass
constexpr std::chrono::milliseconds kLongestHold{60000};
// A hold ends this much early, so that the timer pass at its end (2 s apart, give or take a
// little) finds it over rather than waiting one pass more.
constexpr std::chrono::milliseconds kPassMargin{250};

std::chrono::milliseconds HoldAfter(std::uint32_t failures) {
    std::chrono::milliseconds hold = kFirstHold;
    for (std::uint32_t n = 1; n < failures && hold < kLongestHold; ++n) hold *= 2;
    return std::min(hold, kLongestHold);
}

}  // namespace

UnsavedBookmarks::OwedKey UnsavedBookmarks::KeyOf(const std::wstring& path, const BookmarkKey& key) {
    return {path, key.datasetId, BookmarkTypeName(key.typeName)};
}

bool UnsavedBookmarks::Holds(const std::wstring& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_files.find(path);
    return found != m_files.end() && m_clock.SteadyNow() < found->second.nextTry;
}

void UnsavedBookmarks::Failed(const std::wstring& path, const char* failure,
                              const std::optional<OwedBookmark>& owed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto inserted = m_files.try_emplace(path);
    FileState& file = inserted.first->second;
    if (inserted.second) {
        file.path = path;
        file.since = m_clock.WallNow();
    }
    file.failure = failure;
    file.failures += 1;
    file.nextTry = m_clock.SteadyNow() + HoldAfter(file.failures) - kPassMargin;
    if (owed) m_owed[KeyOf(path, owed->key)] = *owed;
    PublishLocked();
}

void UnsavedBookmarks::Saved(const std::wstring& path, const BookmarkKey& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const bool owedOne = m_owed.erase(KeyOf(path, key)) > 0;
    if (m_files.erase(path) == 0 && !owedOne) return;
    PublishLocked();
}

void UnsavedBookmarks::ReadWorked(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_files.find(path);
    if (found == m_files.end() || found->second.failure != "read") return;
    m_files.erase(found);
    PublishLocked();
}

std::optional<OwedBookmark> UnsavedBookmarks::OwedFor(const std::wstring& path,
                                                      const BookmarkKey& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_owed.find(KeyOf(path, key));
    if (found == m_owed.end()) return std::nullopt;
    return found->second;
}

void UnsavedBookmarks::Forget(const std::wstring& path, const BookmarkKey& key) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_owed.erase(KeyOf(path, key)) > 0) PublishLocked();
}

void UnsavedBookmarks::PublishLocked() {
    Status status;
    for (const auto& entry : m_files) status.push_back(entry.second);
    for (FileState& file : status)
        file.owed =
            static_cast<std::size_t>(std::count_if(m_owed.begin(), m_owed.end(), [&file](const auto& owed) {
                return std::get<0>(owed.first) == file.path;
            }));
    m_status.Publish(std::move(status));
}

}  // namespace DataSync
}  // namespace ZEL
