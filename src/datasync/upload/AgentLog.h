// The agent's log ("DataSync.log") as the uploaders write it: bound for one call, and the thread
// id as their lines show it.
#pragma once

#include <functional>
#include <thread>

#include "datasync/host/Log.h"

namespace ZEL {
namespace DataSync {
namespace upload {

class AgentLog : public Log {
public:
    AgentLog() { utility::InitLog(*this, L"DataSync.log", 4); }
};

inline unsigned long ThreadIdForLog() {
    return static_cast<unsigned long>(std::hash<std::thread::id>()(std::this_thread::get_id()) & 0xffffffffu);
}

}  // namespace upload
}  // namespace DataSync
}  // namespace ZEL
