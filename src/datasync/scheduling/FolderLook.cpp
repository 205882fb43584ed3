// When a folder needs no look into it.
#include "datasync/scheduling/FolderLook.h"

#include <chrono>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

constexpr std::chrono::seconds kCoarsestClockStep{2};

}  // namespace

FolderLook::Ticket FolderLook::Begin(const std::wstring& folder, std::uint64_t generation) {
    Ticket ticket;
    ticket.folder = folder;
    ticket.generation = generation;
    const std::optional<FolderTime> modifiedAt = folder.empty() ? std::nullopt : m_files.FolderModified(folder);
    if (!modifiedAt) {
        ticket.needed = ticket.folder.empty();
        return ticket;
    }
    ticket.modified = *modifiedAt;
    const auto modified = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(modifiedAt->seconds));
    ticket.trusted = m_clock.WallNow() - modified > kCoarsestClockStep;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto seen = m_seen.find(ticket.folder);
    ticket.needed = seen == m_seen.end() || !ticket.trusted || seen->second.generation != generation ||
                    !(seen->second.modified == ticket.modified);
    return ticket;
}

void FolderLook::Done(const Ticket& ticket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (ticket.trusted)
        m_seen[ticket.folder] = Seen{ticket.modified, ticket.generation};
    else
        m_seen.erase(ticket.folder);
}

}  // namespace DataSync
}  // namespace ZEL
