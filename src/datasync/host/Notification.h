// The host's notification bus: in-process publish/subscribe of device-state changes and server
// commands.
//
// A notification has a topic id, an event state and a JSON payload. Server commands ("KTA
// notifications") carry {"command":{"action":"run","message":"sendTelemetry","fields":{...}}};
// the command accessors read that object. Extension notifications are marked by their
// publisher and ignored by the agent.
//
// Delivery: Notify records the topic's last state at once and queues the notification; the
// bus's own thread then calls every subscriber in publishing order. A callback may publish or
// (un)subscribe. GetLastNotificationForTopic answers from the recorded states.
//
// GetInstance() is a door onto the installed bus (agent/AgentEnvironment.h): null while none is
// installed. SetInstance replaces that one slot.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace ZEL {

enum TopicId : int {
    TOPIC_DEVICE_REGISTRATION = 2,
    TOPIC_TELEMETRY_POLICY = 4,
    TOPIC_DEVICE_CONTEXT = 5,
    TOPIC_DEVICE_READY = 6,
    DEVICE_MAINTENANCE = 7,
    TOPIC_DNS_STATUS = 10,
    TOPIC_REGISTRATION_REQUEST = 12,
    TOPIC_SYSTEM_TIME = 13,
};

enum EventState : int {
    STATE_DONE = 0,  // registration done / device online
    DM_DAILY_MAINTENANCE = 1,
    STATE_REGISTRATION_REQUESTED = 10,
    STATE_REGISTRATION_DONE_ALT = 11,
    STATE_REGISTRATION_CHANGED = 12,
    STATE_DNS_RESOLVED = 13,
    STATE_POLICY_CHANGED = 14,
    STATE_DEVICE_CONTEXT_CHANGED = 16,
    STATE_REGISTRATION_RENEWAL = 36,
    STATE_NONE = 41,  // device offline / nothing recorded
};

class ZELNotificationData {
public:
    enum class Kind { Plain, KTA, Extension };

    ZELNotificationData() = default;
    ZELNotificationData(int topicId, int eventState, std::wstring payload, Kind kind = Kind::Plain);

    // A server command: topic 0, the payload built from action, message and fields.
    static ZELNotificationData MakeServerCommand(const std::wstring& action, const std::wstring& message,
                                                 const std::map<std::wstring, std::wstring>& fields);

    int getTopicId() const { return m_topicId; }
    int getEventState() const { return m_eventState; }
    const std::wstring& getPayload() const { return m_payload; }
    bool isKTANotification() const { return m_kind == Kind::KTA; }
    bool isExtensionNotification() const { return m_kind == Kind::Extension; }

    // command.message / command.action of the payload; empty when absent.
    std::wstring getMessageType() const;
    std::wstring getActionType() const;
    // command.fields[name] as text (arrays are joined with ","); empty when absent.
    std::wstring getFieldValue(const std::wstring& name) const;

    // Reads {"success":..,"triggerSource":..,"deviceId":..,"message":..,"code":..}. False when
    // the payload is not such an object (outputs then stay as they were).
    bool deserializePayloadForDeviceRegistration(bool& success, std::wstring& deviceId, std::wstring& triggerSource,
                                                 std::wstring& message, int& code) const;

private:
    int m_topicId = 0;
    int m_eventState = 0;
    std::wstring m_payload;
    Kind m_kind = Kind::Plain;
};

class ZELPublisherSubscriber {
public:
    using Callback = std::function<void(ZELNotificationData&)>;

    virtual ~ZELPublisherSubscriber() = default;
    static ZELPublisherSubscriber* GetInstance();
    // Installs `bus` (not owned); null leaves GetInstance() returning null.
    static void SetInstance(ZELPublisherSubscriber* bus);

    virtual std::wstring Subscribe(Callback callback, bool flag) = 0;
    virtual void Unsubscribe(std::wstring id) = 0;
    virtual void Notify(ZELNotificationData& data, std::wstring senderId) = 0;
    // Sets `state` to the last state published on `topic`; false (state untouched) when none.
    virtual bool GetLastNotificationForTopic(TopicId& topic, EventState& state) = 0;
};

}  // namespace ZEL
