// The device-missing (403) state: only its reset exists so far.
#include "datasync/agent/DataSyncAgent.h"

void DataSyncAgent::Reset403DeviceMissingError() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    m_403DeviceMissingFlag = false;
}
