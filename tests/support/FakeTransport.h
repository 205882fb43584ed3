// A transport off the network: registration as set, one mTLS prefix, every request kept (URL,
// headers, body, authentication). Requests fail until the test scripts answers: after Accept (or
// a queued answer) each request takes the next queued answer, else a 200.
//
// Thread safety: every call may come from any thread.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/Transport.h"

namespace testsupport {

class FakeTransport : public ZEL::CoreUtility {
public:
    struct Request {
        std::string url;
        std::map<std::string, std::string> headers;
        std::string body;
        ZELCore::HttpAuthType auth;
        bool flag;
    };

    void SetRegistered(bool registered) { m_registered = registered; }
    void SetMtlsPrefix(const std::wstring& from, const std::wstring& to) {  // URLs starting with `from` get `to`
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mtlsFrom = from;
        m_mtlsTo = to;
    }
    int RequestCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(m_requests.size());
    }
    void Accept(bool accepting = true) { m_accepting = accepting; }
    // `message` is the answer's body.
    void QueueStatus(int status, const std::string& message = "") {
        Queue(ZELCore::TransportResult::OK, status, message);
    }
    void QueueNoAnswer(int resultCode) { Queue(resultCode, 0, ""); }
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    // Runs `hold` (no lock held) at the start of every request; an empty one ends that.
    void HoldEachRequest(std::function<void()> hold) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = std::move(hold);
    }

    void GetDeviceId(std::wstring& deviceId) override { deviceId = L"device-1"; }
    bool IsDeviceRegistered() override { return m_registered; }
    ZELCore::InvokeHttpResponse InvokeHttp(const std::string& url, const std::map<std::string, std::string>& headers,
                                           int&, const std::string& body, ZELCore::HttpAuthType auth, bool flag,
                                           const std::string&) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (std::function<void()> hold = m_hold) lock.unlock(), hold(), lock.lock();  // on the wire meanwhile
        m_requests.push_back({url, headers, body, auth, flag});
        ZELCore::InvokeHttpResponse response;
        response.resultCode = ZELCore::TransportResult::OTHER_FAILURE;
        if (m_accepting) response.resultCode = ZELCore::TransportResult::OK, response.response.statusCode = 200;
        if (!m_answers.empty()) response = m_answers.front(), m_answers.pop_front();
        return response;
    }
    std::wstring GetMtlsUrl(const std::wstring& url) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_mtlsFrom.empty() || url.compare(0, m_mtlsFrom.size(), m_mtlsFrom) != 0) return url;
        return m_mtlsTo + url.substr(m_mtlsFrom.size());
    }

private:
    void Queue(int resultCode, int status, const std::string& message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepting = true;
        ZELCore::InvokeHttpResponse answer;
        answer.resultCode = resultCode;
        answer.response.statusCode = status;
        answer.response.message = message;
        m_answers.push_back(answer);
    }

    std::atomic<bool> m_registered{false};
    std::atomic<bool> m_accepting{false};
    std::mutex m_mutex;
    std::wstring m_mtlsFrom, m_mtlsTo;                  // guarded by m_mutex
    std::deque<ZELCore::InvokeHttpResponse> m_answers;  // guarded by m_mutex
    std::vector<Request> m_requests;                    // guarded by m_mutex
    std::function<void()> m_hold;                       // guarded by m_mutex
};

}  // namespace testsupport
