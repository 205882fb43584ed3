// DeviceContextSync: the device context (the device's description, one database
// "DeviceContext.sqlite3") on its two roads:
//   - HandleDeviceContext: when its database changes (through the dispatch) or the host asks,
//     it is posted to every family the device-context dataset names, with its own success
//     rules;
//   - AddDeviceContextRecordToSync: the host hands over single records by id; a thread of
//     this component posts each to NAVP, oldest first, retrying a failed one every 15 minutes.
//     While the device-path purge blocks uploads the records wait, until BlockLifted() wakes
//     the thread.
//
// Lifetime: Start() starts the thread (Init), Stop() ends and joins it (safe twice, also when
// never started); the destructor calls Stop. A stop or cancel of the agent's StopSignal ends
// the thread's waits, the 15-minute retry (measured on the components' clock) included; Stop()
// ends them too.
//
// Thread safety: AddDeviceContextRecordToSync and the status from any thread; HandleDeviceContext
// on the worker or a host thread. m_deviceContextMutex guards the waiting ids and is held only
// to read, append or remove an id, never during an upload or a wait.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "datasync/common/AgentState.h"
#include "datasync/common/StopSignal.h"
#include "datasync/common/UploadOutcome.h"
#include "datasync/config/ConsentGate.h"
#include "datasync/config/DatasetPolicies.h"
#include "datasync/config/EndpointConfig.h"
#include "datasync/host/Clock.h"
#include "datasync/housekeeping/DevicePathPurge.h"
#include "datasync/host/Log.h"
#include "datasync/resilience/Backoff.h"
#include "datasync/scheduling/FamilyLeg.h"
#include "datasync/scheduling/SyncReadiness.h"

namespace ZEL {
namespace DataSync {

class DeviceContextSync {
public:
    struct Parts {
        const AgentState& state;
        const SyncReadiness& readiness;
        const EndpointConfig& endpoints;
        const DatasetPolicies& policies;
        const ConsentGate& consent;
        ExponentialBackoff& backoff;
        FamilyLeg& leg;
        const DevicePathPurge& purge;
        const StopSignal& stop;
        Clock& clock;  // the retry wait's
        Log& log;
    };

    explicit DeviceContextSync(const Parts& parts);
    ~DeviceContextSync();
    DeviceContextSync(const DeviceContextSync&) = delete;
    DeviceContextSync& operator=(const DeviceContextSync&) = delete;

    void Start();
    void Stop();

    // The purge block has lifted: the waiting records are tried at once. Any thread.
    void BlockLifted() { platform::SetEvent(m_hDeviceContextWake); }
    // Queues `recordId` for the NAVP post (once; a second add is logged and ignored).
    void AddDeviceContextRecordToSync(std::int64_t recordId);
    // Posts the device context to its dataset's families; true when the upload counts as done.
    bool HandleDeviceContext(std::wstring fileName) { return UploadDeviceContext(fileName).done; }
    // The same, with the outcome of the family that decided.
    DatabaseResult UploadDeviceContext(const std::wstring& fileName);

    bool IsDeviceContextSynced() const { return m_deviceContextSynced.load(); }
    void SetDeviceContextSynced(bool synced) { m_deviceContextSynced.exchange(synced); }
    std::size_t PendingRecords() const { return m_pending.load(); }

private:
    void DeviceContextSyncThread();
    // Posts the waiting records, oldest first, each until it is done; false when the thread is to end.
    bool SyncWaitingRecords();
    // Posts one record until it is done (accepted, or never to be sent: no such row, or one that
    // cannot be decoded); false when the thread is to end.
    bool SyncRecordUntilAccepted(std::int64_t id);
    // A wait of the thread, `wait` long on the clock: true when it is to end (stop, cancel or Stop()).
    bool StoppedWithin(std::chrono::milliseconds wait);
    // Waits until the thread is woken (a record added, the block lifted); true when it is to end.
    bool StoppedBeforeWake();

    Parts m_parts;
    Log& m_log;
    std::mutex m_deviceContextMutex;
    std::list<std::int64_t> m_deviceContextRecords;  // guarded by m_deviceContextMutex
    std::atomic<std::size_t> m_pending{0};
    platform::HANDLE m_hDeviceContextWake;  // manual reset: an id was added, the block lifted, or Stop()
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_deviceContextSynced{false};
    std::mutex m_threadMutex;  // serialises Start and Stop
    std::unique_ptr<std::thread> m_deviceContextThread;  // guarded by m_threadMutex
};

}  // namespace DataSync
}  // namespace ZEL
