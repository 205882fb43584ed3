// The worker thread: takes queued requests one at a time while the device can sync, and the
// interruptible pause it uses while it cannot.
#include <condition_variable>

#include "datasync/agent/DataSyncAgent.h"

namespace {

const wchar_t* const kMsgHandleProc = L"DataSyncAgent::MsgHandleProc";

// The pause is process-wide: one pauser (the worker), and a free that finds no pauser is kept
// for the next pause so that a stop never waits out a whole pause.
struct PauseState {
    std::mutex mutex;
    std::condition_variable freed;
    bool freePending = false;
};

PauseState& Pause() {
    static PauseState* const state = new PauseState();
    return *state;
}

}  // namespace

void DataSyncAgent::WaitSync(unsigned milliseconds, bool release) {
    PauseState& pause = Pause();
    std::unique_lock<std::mutex> lock(pause.mutex);
    if (release) {
        pause.freePending = true;
        pause.freed.notify_all();
        return;
    }
    pause.freed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&pause] { return pause.freePending; });
    pause.freePending = false;
}

bool DataSyncAgent::SomeEndpointReady() {
    return _b_is_online && (m_navpEnabled == 1 || IsKtaSyncReady() || IsNavsSyncReady());
}

void DataSyncAgent::MsgHandleProc() {
    m_log.d(L"%s: thread Entry!\n", kMsgHandleProc);
    while (_b_is_start) {
        if (!_b_is_online || (m_navpEnabled != 1 && !IsKtaSyncReady() && !IsNavsSyncReady())) {
            if (!_b_is_start) {
                m_log.d(L"%s: Service stop happend!", kMsgHandleProc);
                return;
            }
            WaitSync(250, false);
            continue;
        }
        sync_msg msg;
        m_msgQueue.GetMsg(msg);
        if (!_b_is_start) break;
        try {
            switch (msg.type) {
                case DEVICE_ONLINE:
                    m_log.d(L"%s: Get DEVICE_ONLINE(_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d)",
                            kMsgHandleProc, _b_is_online ? 1 : 0, _b_is_DevRegistered ? 1 : 0, _b_is_start ? 1 : 0);
                    DeviceReadySync(false);
                    break;
                case DEVICE_CONTEXT_CHANGE:
                    m_log.d(L"%s: Get DEVICE_CONTEXT_CHANGE(_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d)",
                            kMsgHandleProc, _b_is_online ? 1 : 0, _b_is_DevRegistered ? 1 : 0, _b_is_start ? 1 : 0);
                    break;
                case ONE_DATASET_SYNC: {
                    m_log.d(L"%s: Get ONE_DATASET_SYNC(_b_is_online=%d,_b_is_DevRegistered=%d,_b_is_start=%d)-%s",
                            kMsgHandleProc, _b_is_online ? 1 : 0, _b_is_DevRegistered ? 1 : 0, _b_is_start ? 1 : 0,
                            msg.data);
                    bool present = false;
                    {
                        std::lock_guard<std::recursive_mutex> lock(m_syncMapMutex);
                        present = m_syncMap.find(msg.data) != m_syncMap.end();
                    }
                    if (present)
                        SyncDB(msg.data);
                    else
                        m_log.d(L"%s: no %s found in SyncMapList\n", kMsgHandleProc, msg.data);
                    break;
                }
                default:
                    break;
            }
        } catch (const std::exception& ex) {
            m_log.e(L"%s: Exception caught %s", kMsgHandleProc, ZEL::String::UTF8ToUTF16(ex.what()));
        } catch (...) {
            m_log.e(L"%s failed with exception", kMsgHandleProc);
        }
    }
    m_log.d(L"%s: thread exited!\n", kMsgHandleProc);
}
