// The worker thread and its interruptible pause.
#include "datasync/agent/SyncWorker.h"

#include <algorithm>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kMsgHandleProc = L"DataSyncAgent::MsgHandleProc";

}  // namespace

void SyncWorker::Start() {
    if (m_workerThread) return;
    m_busySinceMs = -1;
    m_workerThread = std::make_unique<std::thread>([this] { MsgHandleProc(); });
}

void SyncWorker::Stop() {
    if (!m_workerThread) return;
    m_parts.queue.Stop();  // wakes a worker blocked on the queue
    if (m_workerThread->joinable()) {
        WaitSync(5000, true);  // ends a current or the next pause at once
        m_log.d(L"%s: waitSync exited...", L"DataSyncAgent::NullInit");
        m_workerThread->join();
    }
    m_workerThread.reset();
    m_busySinceMs = -1;
}

std::int64_t SyncWorker::SteadyMillis() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_parts.clock.SteadyNow().time_since_epoch())
        .count();
}

std::chrono::milliseconds SyncWorker::BusyFor() const {
    const std::int64_t since = m_busySinceMs;
    if (since < 0) return std::chrono::milliseconds(0);
    return std::max(std::chrono::milliseconds(0), std::chrono::milliseconds(SteadyMillis() - since));
}

void SyncWorker::WaitSync(unsigned milliseconds, bool release) {
    if (release) {
        {
            std::lock_guard<std::mutex> lock(m_pauseMutex);
            m_freePending = true;
        }
        m_parts.stop.Changed();
        return;
    }
    Pause([] { return false; }, m_parts.clock.SteadyNow() + std::chrono::milliseconds(milliseconds));
}

StopSignal::Ended SyncWorker::Pause(const std::function<bool()>& done,
                                    std::chrono::steady_clock::time_point deadline) {
    const StopSignal::Ended ended = m_parts.stop.WaitUntil(
        [this, &done] {
            {
                std::lock_guard<std::mutex> lock(m_pauseMutex);
                if (m_freePending) return true;
            }
            return done();
        },
        deadline);
    std::lock_guard<std::mutex> lock(m_pauseMutex);
    m_freePending = false;
    return ended;
}

void SyncWorker::MsgHandleProc() {
    const AgentState& state = m_parts.state;
    const SyncReadiness& readiness = m_parts.readiness;
    m_log.d(L"%s: thread Entry!\n", kMsgHandleProc);
    while (state._b_is_start) {
        if (!readiness.SomeEndpointReady()) {
            // Until the device is online and some family ready, the agent no longer started,
            // or Stop(); a stop ends the thread.
            if (!state._b_is_start ||
                Pause([&] { return !state._b_is_start || readiness.SomeEndpointReady(); },
                      StopSignal::kNoDeadline) == StopSignal::Ended::Stopped) {
                m_log.d(L"%s: Service stop happend!", kMsgHandleProc);
                return;
            }
            continue;
        }
        sync_msg msg;
        m_parts.queue.GetMsg(msg);  // no time-out: a message, or Stop()
        if (!state._b_is_start) break;
        m_busySinceMs = SteadyMillis();
        try {
            Handle(msg);
        } catch (const std::exception& ex) {
            m_log.e(L"%s: Exception caught %s", kMsgHandleProc, String::UTF8ToUTF16(ex.what()));
        } catch (...) {
            m_log.e(L"%s failed with exception", kMsgHandleProc);
        }
        m_busySinceMs = -1;
    }
    m_log.d(L"%s: thread exited!\n", kMsgHandleProc);
}

void SyncWorker::Handle(const sync_msg& msg) {
    const AgentState& state = m_parts.state;
    const int online = state._b_is_online ? 1 : 0;
    const int registered = state._b_is_DevRegistered ? 1 : 0;
    const int started = state._b_is_start ? 1 : 0;
    switch (msg.type) {
        case DEVICE_ONLINE:
            m_log.d(L"%s: Get DEVICE_ONLINE(_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d)", kMsgHandleProc,
                    online, registered, started);
            m_parts.timer.DeviceReadySync(false);
            break;
        case DEVICE_CONTEXT_CHANGE:
            m_log.d(L"%s: Get DEVICE_CONTEXT_CHANGE(_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d)",
                    kMsgHandleProc, online, registered, started);
            break;
        case ONE_DATASET_SYNC:
            m_log.d(L"%s: Get ONE_DATASET_SYNC(_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d)-%s",
                    kMsgHandleProc, online, registered, started, msg.data);
            if (m_parts.syncMap.Contains(msg.data))
                m_parts.syncMap.SyncDB(msg.data);
            else
                m_log.d(L"%s: no %s found in SyncMapList\n", kMsgHandleProc, msg.data);
            break;
        default:
            break;
    }
}

}  // namespace DataSync
}  // namespace ZEL
