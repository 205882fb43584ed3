// CMessageQueue: the worker's queue of requests. A put always stores the message and signals a
// counting semaphore (maximum 4096 outstanding counts); the one consumer waits on the semaphore
// and takes the front message. Stop() signals once more so that a blocked consumer returns.
//
// A put that cannot signal (4096 counts outstanding) reports failure although the message is
// stored: it waits in the deque until a later signal lets the consumer reach it.
//
// Thread safety: any number of producers, one consumer. m_mutex is held only while the deque is
// changed or read, never during the wait.
#pragma once

#include <deque>
#include <mutex>

#include "datasync/host/Log.h"
#include "platform/KernelObjects.h"

template <typename T>
class CMessageQueue {
public:
    static constexpr long kMaximumCount = 4096;

    CMessageQueue() : m_hSemaphore(platform::CreateSemaphoreW(0, kMaximumCount)) {}
    ~CMessageQueue() {
        if (m_hSemaphore) {
            if (!platform::ReleaseSemaphore(m_hSemaphore, 1, nullptr)) m_log.d(L"CMessageQueue destructor");
            platform::CloseHandle(m_hSemaphore);
        }
    }
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;

    // Binds the queue's own log lines to the agent's log file.
    void InitLog(const std::wstring& fileName) { ZEL::utility::InitLog(m_log, fileName, 4); }

    bool PutMsg(const T& msg) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(msg);
        }
        if (!m_hSemaphore) return false;
        return platform::ReleaseSemaphore(m_hSemaphore, 1, nullptr);
    }

    // 0 after a signal (out holds the front message, or is unchanged when the signal came from
    // a stop); 1 when the wait failed; 2 when `timeoutMs` passed without a signal.
    int GetMsg(T& out, unsigned timeoutMs = platform::INFINITE) {
        const auto waited = platform::WaitForSingleObject(m_hSemaphore, timeoutMs);
        if (waited == platform::WAIT_TIMEOUT) return 2;
        if (waited != platform::WAIT_OBJECT_0) return 1;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_queue.empty()) {
            out = m_queue.front();
            m_queue.pop_front();
        }
        return 0;
    }

    void Stop() {
        if (!platform::ReleaseSemaphore(m_hSemaphore, 1, nullptr))
            m_log.d(L"%s CMessageQueue: Stop", L"CMessageQueue<struct DataSyncAgent::sync_msg>::Stop");
    }

    size_t Size() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.size();
    }

private:
    platform::HANDLE m_hSemaphore;
    std::mutex m_mutex;
    std::deque<T> m_queue;
    ZEL::Log m_log;
};
