// The reaction to host notifications and server commands.
#include "datasync/agent/Notifications.h"

#include <cstdlib>

#include "datasync/agent/SendTelemetryCommand.h"
#include "datasync/common/StringUtil.h"
#include "datasync/host/Transport.h"

namespace ZEL {
namespace DataSync {
namespace {

const wchar_t* const kOnNotification = L"DataSyncAgent::OnNotification";
const wchar_t* const kReadLast = L"DataSyncAgent::ReadLastNotifications";
const wchar_t* const kSendRegistration = L"DataSyncAgent::SendRegistrationRequest";
constexpr std::uint64_t kFullInitGraceMs = 500;

bool TransportSaysRegistered() {
    CoreUtility* transport = CoreUtility::GetInstance();
    return transport != nullptr && transport->IsDeviceRegistered();
}

// Leading decimal digits of `text`; 0 when it does not start with one.
std::uint32_t ParseMinutes(const std::wstring& text) {
    const std::string utf8 = String::UTF16ToUTF8(text);
    const long long value = std::strtoll(utf8.c_str(), nullptr, 10);
    if (value <= 0) return 0;
    return value > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

}  // namespace

void NotificationHandler::Subscribe() {
    std::lock_guard<std::mutex> lock(m_subscriptionMutex);
    if (!m_subscriptionId.empty()) return;
    ZELPublisherSubscriber* bus = ZELPublisherSubscriber::GetInstance();
    if (bus == nullptr) return;  // no bus installed: nothing to hear
    m_subscriptionId = bus->Subscribe([this](ZELNotificationData& data) { OnNotification(data); }, false);
}

void NotificationHandler::Unsubscribe() {
    std::wstring id;
    {
        std::lock_guard<std::mutex> lock(m_subscriptionMutex);
        id.swap(m_subscriptionId);
    }
    ZELPublisherSubscriber* bus = ZELPublisherSubscriber::GetInstance();
    if (!id.empty() && bus != nullptr) bus->Unsubscribe(id);
}

void NotificationHandler::OnNotification(ZELNotificationData& data) {
    bool keep = false;
    {
        std::lock_guard<std::mutex> lock(m_keptMutex);
        keep = m_restarts > 0 || m_handlingKept;
        if (keep) m_kept.push_back(data);
    }
    if (!keep) return Deliver(data);
    m_log.d(L"%s: kept until the restart is done, topic id : %d event state : %d", kOnNotification,
            data.getTopicId(), data.getEventState());
}

void NotificationHandler::BeginRestart() {
    std::lock_guard<std::mutex> lock(m_keptMutex);
    ++m_restarts;
}

void NotificationHandler::EndRestart(bool handleKept) {
    std::unique_lock<std::mutex> lock(m_keptMutex);
    --m_restarts;
    if (!handleKept) {
        const std::size_t dropped = m_kept.size();
        m_kept.clear();
        lock.unlock();
        if (dropped > 0) m_log.d(L"%s: the agent stops, %d kept notifications dropped", kOnNotification, dropped);
        return;
    }
    if (m_handlingKept) return;  // that thread handles these too
    m_handlingKept = true;
    while (m_restarts == 0 && !m_kept.empty()) {  // else the restart that runs handles the rest
        ZELNotificationData next = std::move(m_kept.front());
        m_kept.pop_front();
        lock.unlock();
        Deliver(next);
        lock.lock();
    }
    m_handlingKept = false;
}

void NotificationHandler::Deliver(ZELNotificationData& data) {
    try {
        if (data.isExtensionNotification()) return;
        const int topic = data.getTopicId();
        const int state = data.getEventState();
        if (!m_parts.state.m_fullInitDone) {
            bool ready = false;
            if (topic == TOPIC_DEVICE_REGISTRATION || topic == TOPIC_DEVICE_READY) {
                m_log.d(L"%s: Waiting for 500 ms for full initialization to complete", kOnNotification);
                m_parts.stop.WaitFor(kFullInitGraceMs);
                ready = m_parts.state.m_fullInitDone;
                if (ready) m_log.d(L"%s: Device is full initialized during the wait!", kOnNotification);
            }
            if (!ready) {
                m_log.d(L"%s: Not ready to receive notifications as full initialization is not completed! topic id "
                        L": %d event state : %d",
                        kOnNotification, topic, state);
                return;
            }
        }
        const wchar_t* restart = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_notificationMutex);
            restart = Handle(data, topic, state);
        }
        if (restart != nullptr && m_hooks.restart) m_hooks.restart(restart);
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kOnNotification, String::UTF8ToUTF16(ex.what()));
    } catch (...) {
        m_log.e(L"%s failed with exception", kOnNotification);
    }
}

const wchar_t* NotificationHandler::Handle(ZELNotificationData& data, int topic, int state) {
    AgentState& agent = m_parts.state;
    if (data.isKTANotification()) {
        HandleServerCommand(data);
        return nullptr;
    }
    switch (topic) {
        case TOPIC_DEVICE_REGISTRATION:
            if (state == STATE_DONE || state == STATE_REGISTRATION_DONE_ALT) {
                HandleRegistrationDone(data);
            } else if (state == STATE_REGISTRATION_CHANGED) {
                agent._b_is_DevRegistered = TransportSaysRegistered();
                agent.m_registrationRequested = false;
                m_parts.stop.Changed();
            }
            return nullptr;
        case TOPIC_TELEMETRY_POLICY:
            return state == STATE_POLICY_CHANGED ? L"%s: Telemetry changed, Datasync will restart(%d)!" : nullptr;
        case TOPIC_DEVICE_CONTEXT:
            if (state == STATE_DEVICE_CONTEXT_CHANGED && agent._b_is_online && agent._b_is_DevRegistered) {
                if (m_parts.queue.PutMsg(sync_msg{DEVICE_CONTEXT_CHANGE, L""}))
                    m_log.d(L"%s: putmsg DEVICE_CONTEXT_CHANGE ok", kOnNotification);
                else
                    m_log.e(L"%s: putmsg DEVICE_CONTEXT_CHANGE failed!", kOnNotification);
            }
            return nullptr;
        case TOPIC_DEVICE_READY:
            if (state == STATE_DONE) {
                agent._b_is_online = true;
                m_parts.stop.Changed();
                m_log.d(L"%s: Get Device_Ready Notificaton:online!", kOnNotification);
                if (agent._b_is_DevRegistered)
                    PutDeviceOnline(kOnNotification, L"%s: putmsg DEVICE_READY ok", L"%s: putmsg DEVICE_READY failed!");
            } else if (state == STATE_NONE) {
                agent._b_is_online = false;
                m_log.d(L"%s: Get Device_Ready Notificaton:offline!", kOnNotification);
            }
            return nullptr;
        case DEVICE_MAINTENANCE:
            if (state == DM_DAILY_MAINTENANCE) {
                m_log.d(L"%s: TopicId::DEVICE_MAINTENANCE, EventState::DM_DAILY_MAINTENANCE apply Retention ",
                        kOnNotification);
                if (m_hooks.dailyMaintenance) m_hooks.dailyMaintenance();
            }
            return nullptr;
        case TOPIC_DNS_STATUS:
            if (state == STATE_DNS_RESOLVED) {
                m_log.d(L"%s: DNS error resolved!", kOnNotification);
                ExponentialBackoff& backoff = m_parts.backoff;
                m_parts.tasks.Run([&backoff] { backoff.HandleResetBackoffStateOnDnsRecovery(); });
            }
            return nullptr;
        case TOPIC_SYSTEM_TIME:
            return L"%s: System time changed, Datasync will restart(%d)!";
        default:
            return nullptr;
    }
}

void NotificationHandler::PutDeviceOnline(const wchar_t* function, const wchar_t* ok, const wchar_t* failed) {
    if (m_parts.queue.PutMsg(sync_msg{DEVICE_ONLINE, L""}))
        m_log.d(ok, function);
    else
        m_log.e(failed, function);
}

void NotificationHandler::HandleRegistrationDone(ZELNotificationData& data) {
    m_log.d(L"%s: DEVICE_REGISTRATION!", kOnNotification);
    bool success = false;
    std::wstring deviceId, triggerSource, message;
    int code = 0;
    data.deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code);

    m_parts.state._b_is_DevRegistered = true;
    m_parts.state.m_registrationRequested = false;
    m_parts.stop.Changed();
    m_parts.deviceMissing.Reset403DeviceMissingError();
    if (m_parts.certPause.IsPaused()) {
        m_parts.certPause.ResumeDataSyncAfterCertRenewal();
        m_log.i(L"%s: DataSync operations resumed after certificate renewal", kOnNotification);
    }
    using zel::registration::TriggerSourceConverter;
    if (String::CaseInsesitiveEqual(triggerSource, TriggerSourceConverter::toString(7)) ||
        String::CaseInsesitiveEqual(triggerSource, TriggerSourceConverter::toString(8))) {
        m_parts.deviceMissing.ResetDeviceMissingCounter();
        m_log.d(L"%s: Received InvokeManualRegistration success notification, resetting DeviceMissingCounter "
                L"403Counter",
                kOnNotification);
    }
    if (m_parts.state._b_is_online)
        PutDeviceOnline(kOnNotification, L"%s: putmsg DEVICE_REGISTRATION ok", L"%s: putmsg DEVICE_REGISTRATION failed!");
}

void NotificationHandler::HandleServerCommand(ZELNotificationData& data) {
    const std::wstring action = data.getActionType();
    const std::wstring message = data.getMessageType();
    ExponentialBackoff& backoff = m_parts.backoff;
    if (action == L"set" && String::CaseInsesitiveEqual(message, L"resetBackOffState")) {
        m_log.d(L"%s resetBackOffState command received", kOnNotification);
        const std::wstring delay = data.getFieldValue(L"randomDelay");
        if (!delay.empty()) backoff.SetResetDelayMinutes(ParseMinutes(delay));
        m_parts.tasks.Run([&backoff] { backoff.HandleResetBackoffState(); });
    } else if (String::CaseInsesitiveEqual(action, L"run") && String::CaseInsesitiveEqual(message, L"removeDevice")) {
        m_parts.deviceMissing.Reset403DeviceMissingError();
        m_parts.deviceMissing.ResetDeviceMissingCounter();
        const bool flag = m_parts.deviceMissing.IsDeviceIn403DeviceMissingErrorState();
        m_log.d(L"%s: Received removeDevice, resetting DeviceMissingCounter 403Counter, flag = %d", kOnNotification,
                flag ? 1 : 0);
    } else if (action == L"run" && String::CaseInsesitiveEqual(message, L"sendTelemetry")) {
        m_log.d(L"%s: Received sendTelemetry command!", kOnNotification);
        if (m_hooks.sendTelemetry) {
            auto sendTelemetry = m_hooks.sendTelemetry;
            ZELNotificationData copy = data;
            m_parts.tasks.Run([sendTelemetry, copy] { sendTelemetry(copy); });
        }
    }
}

void NotificationHandler::ReadLastNotifications() {
    std::lock_guard<std::mutex> lock(m_notificationMutex);
    AgentState& agent = m_parts.state;
    ZELPublisherSubscriber* bus = ZELPublisherSubscriber::GetInstance();
    TopicId topic = TOPIC_DEVICE_REGISTRATION;
    EventState state = STATE_NONE;
    if (bus != nullptr) bus->GetLastNotificationForTopic(topic, state);
    if (state == STATE_DONE || state == STATE_REGISTRATION_DONE_ALT) {
        agent._b_is_DevRegistered = true;
        agent.m_registrationRequested = false;
        m_log.d(L"%s: DataSyncAgent:DEVICE_REGISTRATION already done!", kReadLast);
    }
    if (!agent._b_is_DevRegistered && TransportSaysRegistered()) agent._b_is_DevRegistered = true;

    topic = TOPIC_DEVICE_READY;
    state = STATE_NONE;
    if (bus != nullptr) bus->GetLastNotificationForTopic(topic, state);
    if (state == STATE_DONE) {
        agent._b_is_online = true;
        m_log.d(L"%s: DataSyncAgent:DEVICE_READY already set!", kReadLast);
    }
    m_parts.stop.Changed();
    m_log.d(L"%s: Exit _b_is_DevRegistered=%d _b_is_online=%d", kReadLast, agent._b_is_DevRegistered ? 1 : 0,
            agent._b_is_online ? 1 : 0);
}

bool NotificationHandler::SendRegistrationRequest() {
    AgentState& agent = m_parts.state;
    try {
        if (!agent._b_is_DevRegistered && !agent.m_registrationRequested) {
            std::wstring sender;
            {
                std::lock_guard<std::mutex> lock(m_subscriptionMutex);
                sender = m_subscriptionId;
            }
            ZELNotificationData request(TOPIC_REGISTRATION_REQUEST, STATE_REGISTRATION_REQUESTED, L"");
            if (ZELPublisherSubscriber* bus = ZELPublisherSubscriber::GetInstance())
                bus->Notify(request, sender);
            m_log.d(L"%s: RegisterNotification sent, RegisterNotificationPending %d", kSendRegistration,
                    agent.m_registrationRequested ? 1 : 0);
            agent.m_registrationRequested = true;
        }
        m_log.d(L"%s: _b_is_DevRegistered %d RegisterNotificationPending %d exit!", kSendRegistration,
                agent._b_is_DevRegistered ? 1 : 0, agent.m_registrationRequested ? 1 : 0);
    } catch (const std::exception& ex) {
        m_log.e(L"%s: Exception caught %s", kSendRegistration, String::UTF8ToUTF16(ex.what()));
    }
    return agent.m_registrationRequested;
}

}  // namespace DataSync
}  // namespace ZEL
