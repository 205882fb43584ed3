// FolderLook: whether a folder may hold files it did not hold at the last complete look into it.
// Creating, renaming or removing an entry changes a folder's modification time, so while that
// time and the caller's own state (a generation number) are as they were at the last complete
// look, no new file can have appeared and the caller may skip asking for each file. A time is
// trusted only once it lies more than 2 s (the coarsest clock step of the file systems the agent
// runs on) before the look, so that a change within the same clock step is never missed.
//
// Thread safety: any thread; m_mutex guards the remembered looks and is never held across a
// file-system call.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "datasync/host/Clock.h"
#include "datasync/host/HostFiles.h"

namespace ZEL {
namespace DataSync {

class FolderLook {
public:
    struct Ticket {
        std::wstring folder;
        bool needed = true;    // the caller must look at each file
        bool trusted = false;  // a complete look may be remembered
        FolderTime modified{};
        std::uint64_t generation = 0;
    };

    FolderLook(Clock& clock, HostFiles& files) : m_clock(clock), m_files(files) {}
    FolderLook(const FolderLook&) = delete;
    FolderLook& operator=(const FolderLook&) = delete;

    // Looks at `folder` before the caller looks into it. A folder that does not exist holds no
    // file: no look is needed, and nothing is remembered.
    Ticket Begin(const std::wstring& folder, std::uint64_t generation);
    // Remembers a complete look made with `ticket`.
    void Done(const Ticket& ticket);

private:
    struct Seen {
        FolderTime modified{};
        std::uint64_t generation = 0;
    };

    Clock& m_clock;
    HostFiles& m_files;
    std::mutex m_mutex;
    std::map<std::wstring, Seen> m_seen;  // guarded by m_mutex
};

}  // namespace DataSync
}  // namespace ZEL
