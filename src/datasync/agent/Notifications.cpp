// The agent's reaction to host notifications and server commands, the start-up reading of the
// last registration and device-ready states, and the registration request.
#include <cstdlib>

#include "datasync/agent/DataSyncAgent.h"
#include "datasync/host/SendTelemetryCommand.h"
#include "datasync/host/StringUtil.h"
#include "datasync/host/Transport.h"

namespace {

const wchar_t* const kOnNotification = L"DataSyncAgent::OnNotification";
const wchar_t* const kReadLast = L"DataSyncAgent::ReadLastNotifications";
const wchar_t* const kSendRegistration = L"DataSyncAgent::SendRegistrationRequest";

bool TransportSaysRegistered() {
    ZEL::CoreUtility* transport = ZEL::CoreUtility::GetInstance();
    return transport != nullptr && transport->IsDeviceRegistered();
}

// Leading decimal digits of `text`; 0 when it does not start with one.
std::uint32_t ParseMinutes(const std::wstring& text) {
    const std::string utf8 = ZEL::String::UTF16ToUTF8(text);
    const long long value = std::strtoll(utf8.c_str(), nullptr, 10);
    if (value <= 0) return 0;
    return value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

}  // namespace

template <typename Work>
void DataSyncAgent::RunAsync(Work work) {
    std::future<void> future = std::async(std::launch::async, std::move(work));
    std::lock_guard<std::mutex> lock(m_futuresMutex);
    // Finished tasks are dropped here so that a long-running agent does not collect futures.
    for (auto it = m_notificationFutures.begin(); it != m_notificationFutures.end();) {
        if (it->valid() && it->wait_for(std::chrono::seconds(0)) == std::future_status::ready)
            it = m_notificationFutures.erase(it);
        else
            ++it;
    }
    m_notificationFutures.push_back(std::move(future));
}

void DataSyncAgent::OnNotification(ZEL::ZELNotificationData& data) {
    try {
        if (data.isExtensionNotification()) return;
        const int topic = data.getTopicId();
        const int state = data.getEventState();
        // The grace wait holds no lock: FullInit takes m_notificationMutex to read the last states
        // and has to be able to complete while a notification waits for it.
        if (!m_fullInitDone) {
            bool ready = false;
            if (topic == ZEL::TOPIC_DEVICE_REGISTRATION || topic == ZEL::TOPIC_DEVICE_READY) {
                m_log.d(L"%s: Waiting for 500 ms for full initialization to complete", kOnNotification);
                if (m_hServiceStop)
                    platform::WaitForSingleObject(m_hServiceStop, 500);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(500));
                ready = m_fullInitDone;
                if (ready) m_log.d(L"%s: Device is full initialized during the wait!", kOnNotification);
            }
            if (!ready) {
                m_log.d(L"%s: Not ready to receive notifications as full initialization is not completed! topic id "
                        L": %d event state : %d",
                        kOnNotification, topic, state);
                return;
            }
        }
        std::lock_guard<std::recursive_mutex> lock(m_notificationMutex);
        if (data.isKTANotification()) {
            HandleServerCommand(data);
            return;
        }
        switch (topic) {
            case ZEL::TOPIC_DEVICE_REGISTRATION:
                if (state == ZEL::STATE_DONE || state == ZEL::STATE_REGISTRATION_DONE_ALT) {
                    HandleRegistrationDone(data);
                } else if (state == ZEL::STATE_REGISTRATION_CHANGED) {
                    _b_is_DevRegistered = TransportSaysRegistered();
                    m_registrationRequested = false;
                }
                break;
            case ZEL::TOPIC_TELEMETRY_POLICY:
                if (state == ZEL::STATE_POLICY_CHANGED) Restart(L"%s: Telemetry changed, Datasync will restart(%d)!");
                break;
            case ZEL::TOPIC_DEVICE_CONTEXT:
                if (state == ZEL::STATE_DEVICE_CONTEXT_CHANGED && _b_is_online && _b_is_DevRegistered) {
                    if (m_msgQueue.PutMsg(sync_msg{DEVICE_CONTEXT_CHANGE, L""}))
                        m_log.d(L"%s: putmsg DEVICE_CONTEXT_CHANGE ok", kOnNotification);
                    else
                        m_log.e(L"%s: putmsg DEVICE_CONTEXT_CHANGE failed!", kOnNotification);
                }
                break;
            case ZEL::TOPIC_DEVICE_READY:
                if (state == ZEL::STATE_DONE) {
                    _b_is_online = true;
                    m_log.d(L"%s: Get Device_Ready Notificaton:online!", kOnNotification);
                    if (_b_is_DevRegistered) {
                        if (m_msgQueue.PutMsg(sync_msg{DEVICE_ONLINE, L""}))
                            m_log.d(L"%s: putmsg DEVICE_READY ok", kOnNotification);
                        else
                            m_log.e(L"%s: putmsg DEVICE_READY failed!", kOnNotification);
                    }
                } else if (state == ZEL::STATE_NONE) {
                    _b_is_online = false;
                    m_log.d(L"%s: Get Device_Ready Notificaton:offline!", kOnNotification);
                }
                break;
            case ZEL::DEVICE_MAINTENANCE:
                if (state == ZEL::DM_DAILY_MAINTENANCE) {
                    m_log.d(L"%s: TopicId::DEVICE_MAINTENANCE, EventState::DM_DAILY_MAINTENANCE apply Retention ",
                            kOnNotification);
                    m_retentionHandler.Start(false);
                }
                break;
            case ZEL::TOPIC_DNS_STATUS:
                if (state == ZEL::STATE_DNS_RESOLVED) {
                    m_log.d(L"%s: DNS error resolved!", kOnNotification);
                    RunAsync([this] { HandleResetBackoffStateOnDnsRecovery(); });
                }
                break;
            case ZEL::TOPIC_SYSTEM_TIME:
                Restart(L"%s: System time changed, Datasync will restart(%d)!");
                break;
            default:
                break;
        }
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kOnNotification, ZEL::String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", kOnNotification);
    }
}

void DataSyncAgent::Restart(const wchar_t* reason) {
    m_log.d(reason, kOnNotification, _b_is_start ? 1 : 0);
    if (_b_is_start) NullInit();
    FullInit();
}

void DataSyncAgent::HandleRegistrationDone(ZEL::ZELNotificationData& data) {
    m_log.d(L"%s: DEVICE_REGISTRATION!", kOnNotification);
    bool success = false;
    std::wstring deviceId, triggerSource, message;
    int code = 0;
    data.deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code);

    _b_is_DevRegistered = true;
    m_registrationRequested = false;
    Reset403DeviceMissingError();
    if (m_dataSyncPausedDueToCertExpiry) {
        ResumeDataSyncAfterCertRenewal();
        m_log.i(L"%s: DataSync operations resumed after certificate renewal", kOnNotification);
    }
    using zel::registration::TriggerSourceConverter;
    if (ZEL::String::CaseInsesitiveEqual(triggerSource, TriggerSourceConverter::toString(7)) ||
        ZEL::String::CaseInsesitiveEqual(triggerSource, TriggerSourceConverter::toString(8))) {
        m_403DeviceMissingCounter = 0;
        m_log.d(L"%s: Received InvokeManualRegistration success notification, resetting DeviceMissingCounter "
                L"403Counter",
                kOnNotification);
    }
    if (_b_is_online) {
        if (m_msgQueue.PutMsg(sync_msg{DEVICE_ONLINE, L""}))
            m_log.d(L"%s: putmsg DEVICE_REGISTRATION ok", kOnNotification);
        else
            m_log.e(L"%s: putmsg DEVICE_REGISTRATION failed!", kOnNotification);
    }
}

void DataSyncAgent::HandleServerCommand(ZEL::ZELNotificationData& data) {
    const std::wstring action = data.getActionType();
    const std::wstring message = data.getMessageType();
    if (action == L"set" && ZEL::String::CaseInsesitiveEqual(message, L"resetBackOffState")) {
        m_log.d(L"%s resetBackOffState command received", kOnNotification);
        const std::wstring delay = data.getFieldValue(L"randomDelay");
        if (!delay.empty()) m_backoffResetDelayMinutes = ParseMinutes(delay);
        RunAsync([this] { HandleResetBackoffState(); });
    } else if (ZEL::String::CaseInsesitiveEqual(action, L"run") &&
               ZEL::String::CaseInsesitiveEqual(message, L"removeDevice")) {
        Reset403DeviceMissingError();
        m_403DeviceMissingCounter = 0;
        bool flag = false;
        {
            std::lock_guard<std::mutex> lock(m_403StateMutex);
            flag = m_403DeviceMissingFlag;
        }
        m_log.d(L"%s: Received removeDevice, resetting DeviceMissingCounter 403Counter, flag = %d", kOnNotification,
                flag ? 1 : 0);
    } else if (action == L"run" && ZEL::String::CaseInsesitiveEqual(message, L"sendTelemetry")) {
        m_log.d(L"%s: Received sendTelemetry command!", kOnNotification);
        ZEL::ZELNotificationData copy = data;
        RunAsync([this, copy]() mutable { OnSendTelemetryCommand(copy); });
    }
}

void DataSyncAgent::ReadLastNotifications() {
    std::lock_guard<std::recursive_mutex> lock(m_notificationMutex);
    ZEL::ZELPublisherSubscriber* bus = ZEL::ZELPublisherSubscriber::GetInstance();
    ZEL::TopicId topic = ZEL::TOPIC_DEVICE_REGISTRATION;
    ZEL::EventState state = ZEL::STATE_NONE;
    bus->GetLastNotificationForTopic(topic, state);
    if (state == ZEL::STATE_DONE || state == ZEL::STATE_REGISTRATION_DONE_ALT) {
        _b_is_DevRegistered = true;
        m_registrationRequested = false;
        m_log.d(L"%s: DataSyncAgent:DEVICE_REGISTRATION already done!", kReadLast);
    }
    if (!_b_is_DevRegistered && TransportSaysRegistered()) _b_is_DevRegistered = true;

    topic = ZEL::TOPIC_DEVICE_READY;
    state = ZEL::STATE_NONE;
    bus->GetLastNotificationForTopic(topic, state);
    if (state == ZEL::STATE_DONE) {
        _b_is_online = true;
        m_log.d(L"%s: DataSyncAgent:DEVICE_READY already set!", kReadLast);
    }
    m_log.d(L"%s: Exit _b_is_DevRegistered=%d _b_is_online=%d", kReadLast, _b_is_DevRegistered ? 1 : 0,
            _b_is_online ? 1 : 0);
}

bool DataSyncAgent::SendRegistrationRequest() {
    try {
        if (!_b_is_DevRegistered && !m_registrationRequested) {
            ZEL::ZELNotificationData request(ZEL::TOPIC_REGISTRATION_REQUEST, ZEL::STATE_REGISTRATION_REQUESTED, L"");
            ZEL::ZELPublisherSubscriber::GetInstance()->Notify(request, m_subscriptionId);
            m_log.d(L"%s: RegisterNotification sent, RegisterNotificationPending %d", kSendRegistration,
                    m_registrationRequested ? 1 : 0);
            m_registrationRequested = true;
        }
        m_log.d(L"%s: _b_is_DevRegistered %d RegisterNotificationPending %d exit!", kSendRegistration,
                _b_is_DevRegistered ? 1 : 0, m_registrationRequested ? 1 : 0);
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kSendRegistration, ZEL::String::UTF8ToUTF16(ex.what()));
    }
    return m_registrationRequested;
}

bool DataSyncAgent::CheckTelemetrySyncNeedsRegistration() {
    if (_b_is_DevRegistered) return false;
    return IsTelemetryReadyToSync();
}
