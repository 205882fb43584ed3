// A transport off the network: registration as set, one mTLS prefix, every request counted and failed.
#pragma once

#include <atomic>
#include <mutex>

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

    void GetDeviceId(std::wstring& deviceId) override { deviceId = L"fake-device"; }
    bool IsDeviceRegistered() override { return m_registered; }
    ZELCore::InvokeHttpResponse InvokeHttp(const std::string&, const std::map<std::string, std::string>&, int&,
                                           const std::string&, ZELCore::HttpAuthType, bool,
                                           const std::string&) override {
        ++m_requests;
        ZELCore::InvokeHttpResponse response;
        response.resultCode = ZELCore::TransportResult::OTHER_FAILURE;
        return response;
    }
    std::wstring GetMtlsUrl(const std::wstring& url) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_mtlsFrom.empty() || url.compare(0, m_mtlsFrom.size(), m_mtlsFrom) != 0) return url;
        return m_mtlsTo + url.substr(m_mtlsFrom.size());
    }

private:
    std::atomic<bool> m_registered{false};
    std::atomic<int> m_requests{0};
    std::mutex m_mutex;
    std::wstring m_mtlsFrom, m_mtlsTo;  // guarded by m_mutex
};

}  // namespace testsupport
