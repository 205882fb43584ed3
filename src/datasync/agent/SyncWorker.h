// SyncWorker: the one thread that runs every queued upload, one at a time. Producers (start-up,
// notifications, the timer pass) put requests on the queue; the worker takes them in order while
// the device is online and some family is ready, and pauses while it is not:
//   DEVICE_ONLINE         the start-up scan (TimerSync::DeviceReadySync)
//   DEVICE_CONTEXT_CHANGE logged, nothing else
//   ONE_DATASET_SYNC      SyncDB of the key, when the sync map still holds it
// Messages put while the worker cannot take them wait in the queue. Neither the queue wait nor
// the pause has a time-out: the worker wakes for a message, for a change of the flags and
// families (StopSignal::Changed), for Stop(), or for a stop (which ends the thread).
//
// The watchdog: BusyFor() tells how long the worker has been handling its current message, on
// the monotonic clock; zero while it waits for a message, pauses, or does not run. A worker
// waiting for work is alive however long it waits; one that stays inside one message is stuck.
//
// Lifetime: Start() starts the thread (FullInit), Stop() ends and joins it (NullInit): it wakes
// a worker blocked on the queue and ends a pause at once. REQUIRES for Stop: the agent's started
// flag is already cleared. Both are called by the agent's lifecycle, never concurrently; Stop is
// safe twice. The destructor stops a worker still running.
//
// WaitSync(ms, false) pauses at most `ms` on the clock, ending early when WaitSync(any, true)
// frees it or on a stop; a free that finds no pauser ends the next pause at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "datasync/common/AgentState.h"
#include "datasync/common/MessageQueue.h"
#include "datasync/common/StopSignal.h"
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
        const StopSignal& stop;
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

    // How long the worker has been inside the message it handles; zero while it waits for one,
    // pauses, or no worker runs. Any thread.
    std::chrono::milliseconds BusyFor() const;

private:
    void MsgHandleProc();
    void Handle(const sync_msg& msg);
    // Waits until `done` holds, WaitSync frees the pause, or `deadline` passes; takes the free.
    StopSignal::Ended Pause(const std::function<bool()>& done,
                            std::chrono::steady_clock::time_point deadline);
    std::int64_t SteadyMillis() const;

    Parts m_parts;
    Log& m_log;
    std::unique_ptr<std::thread> m_workerThread;  // lifecycle thread only
    std::mutex m_pauseMutex;
    bool m_freePending = false;  // guarded by m_pauseMutex
    std::atomic<std::int64_t> m_busySinceMs{-1};  // monotonic milliseconds; -1 while not inside a message
};

}  // namespace DataSync
}  // namespace ZEL
