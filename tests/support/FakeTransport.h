// A transport off the network: registration as set, one mTLS prefix, every request counted and
// its URL kept. Requests fail until the test scripts answers: after Accept (or a queued answer)
// each request takes the next queued answer, else a 200.
//
// Thread safety: every call may come from any thread.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/Transport.h"

namespace testsupport {

class FakeTransport : public ZEL::CoreUtility {
public:
    void SetRegistered(bool registered) { m_registered = registered; }
    void SetMtlsPrefix(const std::wstring& from, const std::wstring& to) {  // URLs starting with `from` get `to`
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mtlsFrom = from;
        m_mtlsTo = to;
    }
    int RequestCount() const { return m_requests; }
    void Accept(bool accepting = true) { m_accepting = accepting; }
    void QueueStatus(int status) { Queue(ZELCore::TransportResult::OK, status); }
    void QueueNoAnswer(int resultCode) { Queue(resultCode, 0); }
    // Runs `hold` at the start of every request, no lock held (an empty one ends that).
    void HoldEachRequest(std::function<void()> hold) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = std::move(hold);
    }
    std::vector<std::string> Urls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_urls;
    }

    void GetDeviceId(std::wstring& deviceId) override { deviceId = L"fake-device"; }
    bool IsDeviceRegistered() override { return m_registered; }
    ZELCore::InvokeHttpResponse InvokeHttp(const std::string& url, const std::map<std::string, std::string>&,
                                           int&, const std::string&, ZELCore::HttpAuthType, bool,
                                           const std::string&) override {
        if (const std::function<void()> hold = Hold()) hold();  // on the wire meanwhile
        ++m_requests;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_urls.push_back(url);
        ZELCore::InvokeHttpResponse response;
        response.resultCode = ZELCore::TransportResult::OTHER_FAILURE;
        if (m_accepting)
            response.resultCode = ZELCore::TransportResult::OK, response.response.statusCode = 200;
        if (!m_answers.empty()) response = m_answers.front(), m_answers.pop_front();
        return response;
    }
    std::wstring GetMtlsUrl(const std::wstring& url) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_mtlsFrom.empty() || url.compare(0, m_mtlsFrom.size(), m_mtlsFrom) != 0) return url;
        return m_mtlsTo + url.substr(m_mtlsFrom.size());
    }

private:
    std::function<void()> Hold() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_hold;
    }
    void Queue(int resultCode, int status) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_accepting = true;
        ZELCore::InvokeHttpResponse answer;
        answer.resultCode = resultCode;
        answer.response.statusCode = status;
        m_answers.push_back(answer);
    }

    std::atomic<bool> m_registered{false};
    std::atomic<bool> m_accepting{false};
    std::atomic<int> m_requests{0};
    std::mutex m_mutex;
    std::wstring m_mtlsFrom, m_mtlsTo;                  // guarded by m_mutex
    std::deque<ZELCore::InvokeHttpResponse> m_answers;  // guarded by m_mutex
    std::vector<std::string> m_urls;                    // guarded by m_mutex
    std::function<void()> m_hold;                       // guarded by m_mutex
};

}  // namespace testsupport
