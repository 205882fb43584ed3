// What the agent's uploads achieved, counted on the host side: a decorator around the transport
// the daemon installs. Each exchange is put to the endpoint family whose URL begins the
// request's URL (the longest match; "other" when none does) and counted as
//   accepted      the exchange completed with a 2xx status: one batch, and its rows (the
//                 records of the body: the members of "dataset_items_log", "dataset_contexts",
//                 "item_contexts" or a NAVP body's "events"; one for a device context)
//   a failure     of class http_4xx, http_5xx, http_other (any other status) or transport (no
//                 answer: refused, timed out, TLS failure, expired client certificate, stop)
// with the time of the last accepted batch per family. The agent keeps none of these.
//
// Thread safety: InvokeHttp may run on several threads at once (it forwards without a lock and
// counts under one afterwards); Snapshot may be called from any thread.
// Lifetime: `inner`, the family lookup and the clock must outlive this object.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "datasync/host/Clock.h"
#include "datasync/host/Transport.h"

namespace datasyncd {

enum class FailureClass { Http4xx, Http5xx, HttpOther, Transport };
inline constexpr std::array<FailureClass, 4> kFailureClasses = {
    FailureClass::Http4xx, FailureClass::Http5xx, FailureClass::HttpOther, FailureClass::Transport};
// "http_4xx", "http_5xx", "http_other", "transport".
const char* FailureClassName(FailureClass failure);

struct FamilyUploads {
    std::uint64_t batchesAccepted = 0;
    std::uint64_t rowsAccepted = 0;
    std::array<std::uint64_t, kFailureClasses.size()> failures{};  // indexed like kFailureClasses
    std::optional<std::chrono::system_clock::time_point> lastAcceptedWall;
    std::optional<std::chrono::steady_clock::time_point> lastAcceptedSteady;
};

// Per family name ("kta", "navs", "navp", "other").
using UploadCounts = std::map<std::string, FamilyUploads>;

// The family's URL prefixes: family name -> the URL its uploads start with (empty: none).
using FamilyUrls = std::map<std::string, std::string>;

class UploadCounters : public ZEL::CoreUtility {
public:
    // `familyUrls` is asked at each exchange (the policy may change the URLs at any time).
    // `exchanged` (may be empty) is called after each exchange was counted, with no lock held.
    UploadCounters(ZEL::CoreUtility& inner, std::function<FamilyUrls()> familyUrls, ZEL::Clock& clock,
                   std::function<void()> exchanged = {});

    void GetDeviceId(std::wstring& deviceId) override { m_inner.GetDeviceId(deviceId); }
    bool IsDeviceRegistered() override { return m_inner.IsDeviceRegistered(); }
    ZELCore::InvokeHttpResponse InvokeHttp(const std::string& url,
                                           const std::map<std::string, std::string>& headers, int& method,
                                           const std::string& body, ZELCore::HttpAuthType authType,
                                           bool keepAlive, const std::string& extra) override;
    std::wstring GetMtlsUrl(const std::wstring& url) override { return m_inner.GetMtlsUrl(url); }

    UploadCounts Snapshot() const;

    // The records one request body carries (see above); 0 for a body that is not JSON.
    static std::uint64_t RowsInBody(const std::string& body);
    // The failure class of an exchange that was not accepted.
    static FailureClass Classify(const ZELCore::InvokeHttpResponse& response);
    // The family of `url`: the longest URL prefix of `urls` it starts with, else "other".
    static std::string FamilyOf(const std::string& url, const FamilyUrls& urls);

private:
    ZEL::CoreUtility& m_inner;
    const std::function<FamilyUrls()> m_familyUrls;
    ZEL::Clock& m_clock;
    const std::function<void()> m_exchanged;
    mutable std::mutex m_mutex;
    UploadCounts m_counts;  // guarded by m_mutex
};

}  // namespace datasyncd
