// A fixture for the back-off and device-missing tests: an agent prepared as a full
// initialisation leaves it (records for KTA and NAVS, the service-stop event) but without
// threads, a manual clock whose monotonic time moves only when told, a pinned random source, a
// scripted transport, a switchable critical-gateway status, and a count of the registration
// renewal requests the agent publishes.
#pragma once

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Utility.h"
#include "datasync/upload/UploadFixture.h"
#include "support/AgentHarness.h"
#include "support/AgentTestAccess.h"
#include "support/ManualClock.h"

namespace resiliencetest {

using Access = DataSyncAgentTestAccess;
using namespace std::chrono_literals;

inline const std::string kDataset = "6F1C2D3E-0000-4000-8000-000000000001";

// Answers the critical-gateway-error question as told.
class GatewayStatus : public ZEL::ZelStatusManager {
public:
    bool HasCriticalError() override { return critical; }
    std::atomic<bool> critical{false};
};

// Every dataset applies to this device.
class ApplyEverywhere : public ZEL::ApplicabilityEvaluator {
public:
    bool Evaluate(const ZEL::ApplicabilityFilter&, const void*, std::list<ZEL::KeyValuePair>&,
                  std::wstring&) override {
        return true;
    }
};

// An agent as FullInit leaves it, for the length of one scope.
struct PreparedAgent {
    PreparedAgent(const ZEL::TelemetryPolicy& policy, platform::HANDLE stop) {
        Access::Prepare(agent, policy);
        Access::InitRetryInfo(agent);
        Access::UseServiceStop(agent, stop);
    }
    ~PreparedAgent() { Access::Finish(agent); }
    DataSyncAgent::RetryInfo Record(SyncEP::SyncEp_type type) {
        DataSyncAgent::RetryInfo info;
        EXPECT_TRUE(agent.GetRetryInfo(type, info));
        return info;
    }
    DataSyncAgent agent;
};

class ResilienceTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        ZEL::CoreUtility::SetInstance(&m_collector);
        m_savedStatus = zel::ZELHelperFactory::GetInstance()->GetZelStatusManager();
        zel::ZELHelperFactory::GetInstance()->SetZelStatusManager(m_gateway);
        m_savedEvaluator = zel::ZELHelperFactory::GetInstance()->GetApplicablilityEvaluatorAgent();
        zel::ZELHelperFactory::GetInstance()->SetApplicabilityEvaluator(std::make_shared<ApplyEverywhere>());
        // The jitter is 0 unless a test asks for the largest value; every span asked is kept.
        ZEL::ApiUtility::SetRandomSource([this](unsigned lo, unsigned hi) {
            std::lock_guard<std::mutex> lock(m_randomMutex);
            m_jitterBounds.push_back(hi);
            return m_jitterAtMax ? hi : lo;
        });
        m_policy = testsupport::PolicyWithoutFamilies();
        m_policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"},
                                     {L"NAVS_syncEP_url", L"https://navs.test/"},
                                     {L"NAVP_syncEP_url", L"https://navp.test/"}};
        ZEL::DataSet dataset =
            testsupport::MakeDataSet(ZEL::String::UTF8ToUTF16(kDataset), L"Data", L"KTA,NAVS,NAVP", L"nrt");
        dataset.set_include_events({L"ALL"});
        m_policy.datasets.push_back(dataset);
        m_config->SetPolicy(m_policy);
        m_subscription = m_bus.Subscribe(
            [this](ZEL::ZELNotificationData& data) {
                if (data.getTopicId() == ZEL::TOPIC_DEVICE_REGISTRATION &&
                    data.getEventState() == ZEL::STATE_REGISTRATION_RENEWAL)
                    ++m_renewals;
            },
            false);
    }
    void TearDown() override {
        m_bus.Unsubscribe(m_subscription);
        ZEL::ApiUtility::SetRandomSource(nullptr);
        zel::ZELHelperFactory::GetInstance()->SetZelStatusManager(m_savedStatus);
        zel::ZELHelperFactory::GetInstance()->SetApplicabilityEvaluator(m_savedEvaluator);
        ZEL::CoreUtility::SetInstance(&m_transport);
        AgentHarness::TearDown();
    }

    void WriteRows(int count) {
        testsupport::TelemetryWriter table(m_dir.path() + "service/" + kDataset + "_ItemEvent.sqlite3",
                                           "ItemEvent");
        for (int n = 0; n < count; ++n) table.Insert(testsupport::ItemEventJson(kDataset, "i"));
        testsupport::TelemetryWriter(m_dir.path() + "service/DeviceContext.sqlite3", "DeviceContext")
            .Insert(R"({"device_context_id":"dc-1"})");
    }
    // Requests sent to a host of the policy's URLs.
    int RequestsTo(const std::string& host) {
        int count = 0;
        for (const uploadtest::Request& request : m_collector.Requests())
            if (request.url.find(host) != std::string::npos) ++count;
        return count;
    }
    // Renewal requests published so far, once the bus has delivered them.
    int Renewals() {
        EXPECT_TRUE(WaitBusIdle());
        return m_renewals;
    }
    std::vector<unsigned> JitterBounds() {
        std::lock_guard<std::mutex> lock(m_randomMutex);
        return m_jitterBounds;
    }
    void JitterAtMax(bool atMax) {
        std::lock_guard<std::mutex> lock(m_randomMutex);
        m_jitterAtMax = atMax;
    }
    static bool SyncRetryError(long expected) {
        long value = -1;
        return ZEL::utility::ReadRegistryValue(L"syncRetryError", value) && value == expected;
    }
    static bool RetriesExceededEventActive() {
        return ZEL::CriticalEventLogger::Active().count({1017, 4095}) == 1;
    }

    testsupport::ManualClock m_clock{std::chrono::system_clock::from_time_t(1796554800)};
    uploadtest::ScriptedTransport m_collector;
    std::shared_ptr<GatewayStatus> m_gateway = std::make_shared<GatewayStatus>();
    ZEL::TelemetryPolicy m_policy;

private:
    std::shared_ptr<ZEL::ZelStatusManager> m_savedStatus;
    std::shared_ptr<ZEL::ApplicabilityEvaluator> m_savedEvaluator;
    std::mutex m_randomMutex;
    std::vector<unsigned> m_jitterBounds;
    bool m_jitterAtMax = false;
    std::wstring m_subscription;
    std::atomic<int> m_renewals{0};
};

}  // namespace resiliencetest
