// The device-missing (403) state. A KTA or NAVS answer "403, device missing" blocks uploads to
// both families for one hour and asks the host, once, to renew the device's registration; the
// one request is allowed again only after a manual registration or a "removeDevice" command sets
// the counter back to 0. The state lives in memory only and starts clear at every load.
//
// Clocks: the hour is measured on the monotonic tick count (Clock::TickCount64, which also counts
// suspended time), so that a wall clock corrected backwards does not stretch the block by the
// jump, nor one moved forward end it early. m_403ErrorSetTime keeps the wall-clock time of the
// flag for the status.
//
// Locking: the flag and both time stamps are read and written only under m_403StateMutex, which
// is never held while another lock is taken or a call leaves this file; the counter is atomic.
#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/Clock.h"
#include "datasync/host/StringUtil.h"

namespace {

const wchar_t* const kCheckAndHandle403 = L"DataSyncAgent::CheckAndHandle403DeviceMissingError";

// The flag's life; the block ends only when strictly more time has passed.
constexpr double k403FlagLifeSeconds = 3600.0;

// Seconds on the monotonic clock from `since` to now.
double SecondsSince(std::uint64_t since) {
    const std::uint64_t now = ZEL::Clock::GetInstance()->TickCount64();
    return now > since ? static_cast<double>(now - since) / 1000.0 : 0.0;
}

}  // namespace

void DataSyncAgent::Set403DeviceMissingError() {
    const std::int64_t wallNow = ZEL::DateTimeUtility::GetCurrentDatetime();
    const std::uint64_t tickNow = ZEL::Clock::GetInstance()->TickCount64();
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    m_403DeviceMissingFlag = true;
    m_403ErrorSetTime = wallNow;
    m_403ErrorSetTick = tickNow;
}

void DataSyncAgent::Reset403DeviceMissingError() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    m_403DeviceMissingFlag = false;
}

bool DataSyncAgent::IsDeviceIn403DeviceMissingErrorState() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    return m_403DeviceMissingFlag;
}

bool DataSyncAgent::IsMaxLimitReachedFor403DeviceMissingCounter() {
    return m_403DeviceMissingCounter.load() > 0;
}

bool DataSyncAgent::IsTimeLimitFor403ErrorExceeded() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    return SecondsSince(m_403ErrorSetTick) > k403FlagLifeSeconds;
}

void DataSyncAgent::CheckTimeLimitAndResetThe403DeviceError() {
    // Tested and cleared under one lock: a flag set again by another thread between a separate
    // test and clear would otherwise lose its fresh hour.
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    if (m_403DeviceMissingFlag && SecondsSince(m_403ErrorSetTick) > k403FlagLifeSeconds)
        m_403DeviceMissingFlag = false;
}

bool DataSyncAgent::CheckAndHandle403DeviceMissingError(ZELCore::InvokeHttpResponse& response) {
    if (!ZEL::CoreUtility::Is403WithDeviceMissingError(response)) return false;

    if (IsMaxLimitReachedFor403DeviceMissingCounter()) {
        // The one renewal request has been sent: block for a fresh hour, ask nothing.
        Set403DeviceMissingError();
        const bool flag = IsDeviceIn403DeviceMissingErrorState();
        m_log.d(
            L"%s, Exit: Call is not allowed. Max limit reached for 403 DeviceMissing error, counter = %d "
            L"flag = %d",
            kCheckAndHandle403, m_403DeviceMissingCounter.load(), flag ? 1 : 0);
        return true;
    }
    {
        // Tested and set under one lock, so that of two uploads answered 403 at once (worker
        // and device-context thread) only one sends the renewal request.
        const std::int64_t wallNow = ZEL::DateTimeUtility::GetCurrentDatetime();
        const std::uint64_t tickNow = ZEL::Clock::GetInstance()->TickCount64();
        std::lock_guard<std::mutex> lock(m_403StateMutex);
        if (m_403DeviceMissingFlag) return true;
        m_403DeviceMissingFlag = true;
        m_403ErrorSetTime = wallNow;
        m_403ErrorSetTick = tickNow;
    }
    try {
        ZEL::ZELNotificationData renewal(ZEL::TOPIC_DEVICE_REGISTRATION, ZEL::STATE_REGISTRATION_RENEWAL,
                                         L"");
        ZEL::ZELPublisherSubscriber* bus = ZEL::ZELPublisherSubscriber::GetInstance();
        if (bus != nullptr) {
            m_log.d(L"%s: Requesting for Registration renewal on http 403 error from telemetry endpoint",
                    kCheckAndHandle403);
            bus->Notify(renewal, L"");
            // Counted only once sent: without a bus, the first 403 after the flag expires asks again.
            m_403DeviceMissingCounter.fetch_add(1);
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kCheckAndHandle403, ZEL::String::UTF8ToUTF16(ex.what()));
    }
    return true;
}
