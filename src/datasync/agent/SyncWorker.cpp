// The worker thread and its interruptible pause.
#include "datasync/agent/SyncWorker.h"

#include <algorithm>

#include "datasync/common/StringUtil.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kMsgHandleProc = L"DataSyncAgent::MsgHandleProc";
// The longest the idle worker sleeps on the queue before it goes round its loop again.
constexpr unsigned kIdleRoundMs = 10000;

}  // namespace

void SyncWorker::Start() {
    if (m_workerThread) return;
    StampLoop();
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
    m_lastLoopMs = -1;
}

void SyncWorker::StampLoop() {
    m_lastLoopMs = std::chrono::duration_cast<std::chrono::milliseconds>(m_parts.clock.SteadyNow().time_since_epoch()).count();
}

std::chrono::milliseconds SyncWorker::SinceLastLoop() const {
    const std::int64_t last = m_lastLoopMs;
    if (last < 0) return std::chrono::milliseconds(0);
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(m_parts.clock.SteadyNow().time_since_epoch());
    return std::max(std::chrono::milliseconds(0), now - std::chrono::milliseconds(last));
}

void SyncWorker::WaitSync(unsigned milliseconds, bool release) {
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    if (release) {
        m_freePending = true;
        m_pauseFreed.notify_all();
        return;
    }
    m_pauseFreed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_freePending; });
    m_freePending = false;
}

void SyncWorker::MsgHandleProc() {
    const AgentState& state = m_parts.state;
    m_log.d(L"%s: thread Entry!\n", kMsgHandleProc);
    while (state._b_is_start) {
        StampLoop();
        const SyncReadiness& ready = m_parts.readiness;
        if (!state._b_is_online ||
            (!ready.IsNavpSyncReady() && !ready.IsKtaSyncReady() && !ready.IsNavsSyncReady())) {
            if (!state._b_is_start) {
                m_log.d(L"%s: Service stop happend!", kMsgHandleProc);
                return;
            }
            WaitSync(250, false);
            continue;
        }
        sync_msg msg;
        if (m_parts.queue.GetMsg(msg, kIdleRoundMs) == 2) continue;
        if (!state._b_is_start) break;
        try {
            Handle(msg);
        } catch (const std::exception& ex) {
            m_log.e(L"%s: Exception caught %s", kMsgHandleProc, String::UTF8ToUTF16(ex.what()));
        } catch (...) {
            m_log.e(L"%s failed with exception", kMsgHandleProc);
        }
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
