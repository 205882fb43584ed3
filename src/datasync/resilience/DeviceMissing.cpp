// The device-missing (403) state: the one-hour block and the one renewal request; and the test
// of an answer for "403, device missing", which only reads the answer and so is the module's
// although it is declared with the transport interface.
#include "datasync/resilience/DeviceMissing.h"

#include <json/json.h>

#include <memory>

#include "datasync/common/StringUtil.h"
#include "datasync/host/Notification.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kCheckAndHandle403 = L"DataSyncAgent::CheckAndHandle403DeviceMissingError";

// The flag's life; the block ends only when strictly more time has passed.
constexpr double k403FlagLifeSeconds = 3600.0;

}  // namespace

double DeviceMissingState::SecondsSince(std::uint64_t tick) {
    const std::uint64_t now = m_clock.TickCount64();
    return now > tick ? static_cast<double>(now - tick) / 1000.0 : 0.0;
}

void DeviceMissingState::PublishLocked() {
    Status status;
    status.flag = m_403DeviceMissingFlag;
    status.setTime = m_403ErrorSetTime;
    status.setTick = m_403ErrorSetTick;
    status.counter = m_403DeviceMissingCounter.load();
    m_status.Publish(status);
}

void DeviceMissingState::Set403DeviceMissingError() {
    const std::int64_t wallNow = std::chrono::system_clock::to_time_t(m_clock.WallNow());
    const std::uint64_t tickNow = m_clock.TickCount64();
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    m_403DeviceMissingFlag = true;
    m_403ErrorSetTime = wallNow;
    m_403ErrorSetTick = tickNow;
    PublishLocked();
}

void DeviceMissingState::Reset403DeviceMissingError() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    m_403DeviceMissingFlag = false;
    PublishLocked();
}

bool DeviceMissingState::IsDeviceIn403DeviceMissingErrorState() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    return m_403DeviceMissingFlag;
}

bool DeviceMissingState::IsMaxLimitReachedFor403DeviceMissingCounter() const {
    return m_403DeviceMissingCounter.load() > 0;
}

bool DeviceMissingState::IsTimeLimitFor403ErrorExceeded() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    return SecondsSince(m_403ErrorSetTick) > k403FlagLifeSeconds;
}

void DeviceMissingState::CheckTimeLimitAndResetThe403DeviceError() {
    // Tested and cleared under one lock: a flag set again by another thread between a separate
    // test and clear would otherwise lose its fresh hour.
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    if (m_403DeviceMissingFlag && SecondsSince(m_403ErrorSetTick) > k403FlagLifeSeconds) {
        m_403DeviceMissingFlag = false;
        PublishLocked();
    }
}

void DeviceMissingState::ResetDeviceMissingCounter() {
    std::lock_guard<std::mutex> lock(m_403StateMutex);
    m_403DeviceMissingCounter = 0;
    PublishLocked();
}

bool DeviceMissingState::CheckAndHandle403DeviceMissingError(ZELCore::InvokeHttpResponse& response) {
    if (!CoreUtility::Is403WithDeviceMissingError(response)) return false;

    if (IsMaxLimitReachedFor403DeviceMissingCounter()) {
        // The one renewal request has been sent: block for a fresh hour, ask nothing.
        Set403DeviceMissingError();
        const bool flag = IsDeviceIn403DeviceMissingErrorState();
        m_log.d(L"%s, Exit: Call is not allowed. Max limit reached for 403 DeviceMissing error, counter = %d "
                L"flag = %d",
                kCheckAndHandle403, m_403DeviceMissingCounter.load(), flag ? 1 : 0);
        return true;
    }
    {
        // Tested and set under one lock, so that of two uploads answered 403 at once (worker
        // and device-context thread) only one sends the renewal request.
        const std::int64_t wallNow = std::chrono::system_clock::to_time_t(m_clock.WallNow());
        const std::uint64_t tickNow = m_clock.TickCount64();
        std::lock_guard<std::mutex> lock(m_403StateMutex);
        if (m_403DeviceMissingFlag) return true;
        m_403DeviceMissingFlag = true;
        m_403ErrorSetTime = wallNow;
        m_403ErrorSetTick = tickNow;
        PublishLocked();
    }
    try {
        ZELNotificationData renewal(TOPIC_DEVICE_REGISTRATION, STATE_REGISTRATION_RENEWAL, L"");
        ZELPublisherSubscriber* bus = ZELPublisherSubscriber::GetInstance();
        if (bus != nullptr) {
            m_log.d(L"%s: Requesting for Registration renewal on http 403 error from telemetry endpoint",
                    kCheckAndHandle403);
            bus->Notify(renewal, L"");
            // Counted only once sent: without a bus, the first 403 after the flag expires asks again.
            m_403DeviceMissingCounter.fetch_add(1);
            std::lock_guard<std::mutex> lock(m_403StateMutex);
            PublishLocked();
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kCheckAndHandle403, String::UTF8ToUTF16(ex.what()));
    }
    return true;
}

std::int64_t DeviceMissingState::SecondsLeft(const Status& status, std::uint64_t tick) {
    const std::int64_t elapsed = tick > status.setTick ? static_cast<std::int64_t>(tick - status.setTick) / 1000 : 0;
    const std::int64_t left = 3600 - elapsed;
    return status.flag && left > 0 ? left : 0;
}

}  // namespace DataSync

bool CoreUtility::Is403WithDeviceMissingError(ZELCore::InvokeHttpResponse& response) {
    if (response.response.statusCode != 403) return false;
    const std::string& body = response.response.message;
    try {
        Json::CharReaderBuilder builder;
        // Only a body that is wholly one JSON object counts; a server error page that happens to
        // start with JSON must not switch the agent into its device-missing state.
        builder["failIfExtra"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value root;
        std::string errors;
        if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors)) return false;
        if (!root.isObject()) return false;
        const Json::Value& code = root["errorCode"];
        if (!code.isString()) return false;
        return String::CaseInsesitiveEqual(String::UTF8ToUTF16(code.asString()), L"DeviceMissing");
    } catch (...) {
        return false;
    }
}

}  // namespace ZEL
