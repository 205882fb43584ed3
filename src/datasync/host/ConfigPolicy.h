// The host's configuration and policy service: the telemetry policy with its per-dataset
// policies, the two settings queries read by heartbeat suppression, and the factory through
// which the agent reaches the configuration and notification agents.
//
// The Linux host keeps the last usable reading of its policy file in force and reads the file
// again when it changes or on a reload (see the host's policy agent); tests install agents of
// their own through zel::AgentFactory.
#pragma once

#include <json/json.h>

#include <list>
#include <map>
#include <memory>
#include <string>

namespace ZEL {

// Which devices a dataset applies to: a JSON object whose members name device attributes and
// give one allowed value or a list of them (compared ignoring case). Empty: every device.
struct ApplicabilityFilter {
    Json::Value rules = Json::Value(Json::objectValue);
};

class DataSet {
public:
    const std::wstring& dataset_id() const { return m_datasetId; }
    const std::wstring& dataset_name() const { return m_datasetName; }
    const std::wstring& syncEPs() const { return m_syncEPs; }
    const std::wstring& syncEP_frequency() const { return m_frequency; }
    bool dataset_enable() const { return m_enable; }
    const std::list<std::wstring>& include_events() const { return m_includeEvents; }
    const ApplicabilityFilter& applicability_filter() const { return m_filter; }
    const std::map<std::wstring, std::wstring>& dataset_settings_map() const { return m_settings; }

    void set_dataset_id(const std::wstring& value) { m_datasetId = value; }
    void set_dataset_name(const std::wstring& value) { m_datasetName = value; }
    void set_syncEPs(const std::wstring& value) { m_syncEPs = value; }
    void set_syncEP_frequency(const std::wstring& value) { m_frequency = value; }
    void set_dataset_enable(bool value) { m_enable = value; }
    void set_include_events(const std::list<std::wstring>& value) { m_includeEvents = value; }
    void set_applicability_filter(const ApplicabilityFilter& value) { m_filter = value; }
    void set_dataset_settings_map(const std::map<std::wstring, std::wstring>& value) { m_settings = value; }

private:
    std::wstring m_datasetId;
    std::wstring m_datasetName;
    std::wstring m_syncEPs;
    std::wstring m_frequency;
    bool m_enable = false;
    std::list<std::wstring> m_includeEvents;
    ApplicabilityFilter m_filter;
    std::map<std::wstring, std::wstring> m_settings;
};

class TelemetryPolicy {
public:
    virtual ~TelemetryPolicy() = default;

    std::wstring secondaryUrl;
    std::wstring primaryUrl;
    std::wstring navsUrl;
    std::wstring authMode;
    std::wstring navpUrl;
    std::wstring telemetryScope;
    std::list<std::wstring> syncOptions;
    std::list<DataSet> datasets;
    std::map<std::wstring, std::wstring> syncEndpointUrls;
};

// The settings record of QuerySettings: five texts, the fifth the push channel mode.
struct ZelSettings {
    std::wstring setting1;
    std::wstring setting2;
    std::wstring setting3;
    std::wstring setting4;
    std::wstring channel_mode;
};

// The policy record of QueryPolicy: seven texts, a list, a JSON value, three texts; the first
// text after the JSON value is the heartbeat suppression mode.
struct ZelPolicy {
    std::wstring policy1;
    std::wstring policy2;
    std::wstring policy3;
    std::wstring policy4;
    std::wstring policy5;
    std::wstring policy6;
    std::wstring policy7;
    std::list<std::wstring> policy_list;
    Json::Value policy_json;
    std::wstring heartbeat_suppression;
    std::wstring policy9;
    std::wstring policy10;
};

// The first dataset of `policy` whose id equals `datasetId` exactly; null when there is none.
inline const DataSet* FindDataset(const TelemetryPolicy& policy, const std::wstring& datasetId) {
    for (const DataSet& dataset : policy.datasets)
        if (dataset.dataset_id() == datasetId) return &dataset;
    return nullptr;
}

class IConfigAgent {
public:
    virtual ~IConfigAgent() = default;
    virtual bool QuerySettings(ZelSettings& settings) = 0;
    // Fills `policy`; false (and one log line naming the file and the problem) when the policy
    // cannot be read or is not valid.
    virtual bool ReadTelemetryPolicy(TelemetryPolicy& policy) = 0;
    // The policy in force, never changed once handed out; null when it cannot be read (as
    // ReadTelemetryPolicy). This one reads a copy; an agent that keeps its policy in memory hands
    // out that one, so the whole policy is not copied for every reader.
    virtual std::shared_ptr<const TelemetryPolicy> TelemetryPolicyInForce() {
        auto policy = std::make_shared<TelemetryPolicy>();
        if (!ReadTelemetryPolicy(*policy)) return nullptr;
        return policy;
    }
    virtual bool QueryPolicy(ZelPolicy& policy) = 0;
    // Replaces `includeEvents` by the include list of the policy's dataset `datasetId` (as
    // FindDataset); false (list untouched) when the policy cannot be read, as ReadTelemetryPolicy,
    // or names no such dataset. Asked once per uploaded batch: this one reads the whole policy, an
    // agent that keeps its policy in memory answers from it without copying the rest.
    virtual bool ReadIncludeEvents(const std::wstring& datasetId, std::list<std::wstring>& includeEvents) {
        TelemetryPolicy policy;
        if (!ReadTelemetryPolicy(policy)) return false;
        const DataSet* dataset = FindDataset(policy, datasetId);
        if (dataset == nullptr) return false;
        includeEvents = dataset->include_events();
        return true;
    }
};

// The configuration agent of the agent factory (null when none is installed).
class ConfigPolicyAgent {
public:
    static IConfigAgent* GetInstance();
};

namespace AgentInterface {
namespace Notification {
class INotificationAgent {
public:
    virtual ~INotificationAgent() = default;
    // True exactly while the host's push channel is connected.
    virtual bool IsConnected() = 0;
};
}  // namespace Notification
}  // namespace AgentInterface

}  // namespace ZEL

namespace zel {

// Hands out the host's agents. The daemon installs the real ones at start; tests their own.
// Thread safety: getters and setters may be called from any thread.
class AgentFactory {
public:
    static AgentFactory* GetInstance();

    std::shared_ptr<ZEL::IConfigAgent> GetConfigPolicyAgent();
    std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> GetNotificationAgent();

    void SetConfigPolicyAgent(std::shared_ptr<ZEL::IConfigAgent> agent);
    void SetNotificationAgent(std::shared_ptr<ZEL::AgentInterface::Notification::INotificationAgent> agent);

private:
    struct State;
    AgentFactory();
    std::shared_ptr<State> m_state;
};

}  // namespace zel
