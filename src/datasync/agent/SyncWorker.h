// SyncWorker: the one thread that runs every queued upload, one at a time. Producers (start-up,
// notifications, the timer pass) put requests on the queue; the worker takes them in order while
// the device is online and some family is ready, and pauses (at most 250 ms at a time) while it
// is not:
//   DEVICE_ONLINE         the start-up scan (TimerSync::DeviceReadySync)
//   DEVICE_CONTEXT_CHANGE logged, nothing else
//   ONE_DATASET_SYNC      SyncDB of the key, when the sync map still holds it
// Messages put while the worker cannot take them wait in the queue. Each round of the loop (at
// least every 10 s while idle) is stamped on the monotonic clock: SinceLastLoop() tells a
// watchdog how long ago the worker last went round (an upload in progress counts as one round).
//
// Lifetime: Start() starts the thread (FullInit), Stop() ends and joins it (NullInit): it wakes
// a worker blocked on the queue and ends a pause at once. REQUIRES for Stop: the agent's started
// flag is already cleared. Both are called by the agent's lifecycle, never concurrently; Stop is
// safe twice. The destructor stops a worker still running.
//
// WaitSync(ms, false) pauses at most `ms`, ending early when WaitSync(any, true) frees it; a free
// that finds no pauser ends the next pause at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "datasync/common/AgentState.h"
#include "datasync/common/MessageQueue.h"
#include "datasync/common/SyncMessage.h"
#include "datasync/host/Clock.h"
#include "datasync/host/Log.h"
#include "datasync/scheduling/SyncMap.h"
#include "datasync/scheduling/SyncReadiness.h"
#include "datasync/scheduling/TimerSync.h"

namespace ZEL {
namespace DataSync {

class SyncWorker {
public:
    struct Parts {
        const AgentState& state;
        const SyncReadiness& readiness;
        CMessageQueue<sync_msg>& queue;
        SyncMap& syncMap;
        TimerSync& timer;
        Clock& clock;
        Log& log;
    };

    explicit SyncWorker(const Parts& parts) : m_parts(parts), m_log(parts.log) {}
    ~SyncWorker() { Stop(); }
    SyncWorker(const SyncWorker&) = delete;
    SyncWorker& operator=(const SyncWorker&) = delete;

    void Start();
    void Stop();

    void WaitSync(unsigned milliseconds, bool release);

    // Time since the worker last went round its loop; zero while no worker runs. Any thread.
    std::chrono::milliseconds SinceLastLoop() const;

private:
    void MsgHandleProc();
    void Handle(const sync_msg& msg);
    void StampLoop();

    Parts m_parts;
    Log& m_log;
    std::unique_ptr<std::thread> m_workerThread;  // lifecycle thread only
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseFreed;
    bool m_freePending = false;  // guarded by m_pauseMutex
    std::atomic<std::int64_t> m_lastLoopMs{-1};  // monotonic milliseconds; -1 while no worker runs
};

}  // namespace DataSync
}  // namespace ZEL
