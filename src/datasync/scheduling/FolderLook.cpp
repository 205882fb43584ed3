// When a folder needs no look into it.
#include "datasync/scheduling/FolderLook.h"

#include <sys/stat.h>

#include <chrono>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

constexpr std::chrono::seconds kCoarsestClockStep{2};

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

FolderLook::Ticket FolderLook::Begin(const std::wstring& folder, std::uint64_t generation) {
    Ticket ticket;
    ticket.folder = String::UTF16ToUTF8(folder);
    ticket.generation = generation;
    struct stat info {};
    if (ticket.folder.empty() || ::stat(ticket.folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        ticket.needed = ticket.folder.empty();
        return ticket;
    }
    ticket.modified = info.st_mtim;
    const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
    ticket.trusted = m_clock.WallNow() - modified > kCoarsestClockStep;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto seen = m_seen.find(ticket.folder);
    ticket.needed = seen == m_seen.end() || !ticket.trusted || seen->second.generation != generation ||
                    !SameTime(seen->second.modified, ticket.modified);
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
