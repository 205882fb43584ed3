// The resilience tests' fixture: components as FullInit leaves them (no threads), a manual clock,
// a pinned random source keeping the last span asked, a scripted transport, a switchable gateway
// status, and a count of the registration renewal requests published.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <tuple>

#include "datasync/host/CriticalEvents.h"
#include "datasync/host/DeviceStatus.h"
#include "datasync/host/Utility.h"
#include "datasync/upload/UploadFixture.h"
#include "support/AgentHarness.h"
#include "support/ManualClock.h"
#include "support/PreparedComponents.h"

namespace resiliencetest {

using namespace std::chrono_literals;
using testsupport::WaitUntil;
constexpr SyncEP::SyncEp_type KTA = SyncEP::SyncEP_KTA;
constexpr SyncEP::SyncEp_type NAVS = SyncEP::SyncEP_NAVS;
constexpr std::int64_t kStart = 1796554800;  // the wall clock at the start of every test
inline const std::string kDataset = "6F1C2D3E-0000-4000-8000-000000000001";

class GatewayStatus : public ZEL::ZelStatusManager {
public:
    bool HasCriticalError() override { return critical; }
    std::atomic<bool> critical{false};
};

using PreparedAgent = testsupport::PreparedComponents;

class ResilienceTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        ZEL::CoreUtility::SetInstance(&m_collector);
        m_savedStatus = zel::ZELHelperFactory::GetInstance()->GetZelStatusManager();
        zel::ZELHelperFactory::GetInstance()->SetZelStatusManager(m_gateway);
        // The jitter is 0 unless a test asks for the largest value; the last span asked is kept.
        ZEL::ApiUtility::SetRandomSource([this](unsigned lo, unsigned hi) {
            m_lastJitterBound = hi;
            return m_jitterAtMax ? hi : lo;
        });
        m_policy = testsupport::PolicyWithoutFamilies();
        m_policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"},
                                     {L"NAVS_syncEP_url", L"https://navs.test/"},
                                     {L"NAVP_syncEP_url", L"https://navp.test/"}};
        m_policy.datasets.push_back(
            testsupport::MakeDataSet(ZEL::String::UTF8ToUTF16(kDataset), L"Data", L"KTA,NAVS,NAVP", L"nrt"));
        m_policy.datasets.back().set_include_events({L"ALL"});
        m_config->SetPolicy(m_policy);
        m_subscription = m_bus.Subscribe(
            [this](ZEL::ZELNotificationData& data) {
                m_renewals += data.getTopicId() == ZEL::TOPIC_DEVICE_REGISTRATION &&
                              data.getEventState() == ZEL::STATE_REGISTRATION_RENEWAL;
            },
            false);
    }
    void TearDown() override {
        m_bus.Unsubscribe(m_subscription);
        ZEL::ApiUtility::SetRandomSource(nullptr);
        zel::ZELHelperFactory::GetInstance()->SetZelStatusManager(m_savedStatus);
        AgentHarness::TearDown();
    }

    void WriteRows() {
        testsupport::TelemetryWriter table(m_dir.path() + "service/" + kDataset + "_ItemEvent.sqlite3",
                                           "ItemEvent");
        for (int n = 0; n < 3; ++n) table.Insert(testsupport::ItemEventJson(kDataset, "i"));
        testsupport::TelemetryWriter(m_dir.path() + "service/DeviceContext.sqlite3", "DeviceContext")
            .Insert(R"({"device_context_id":"dc-1"})");
    }
    bool Post(PreparedAgent& prepared) { return prepared.DoPost(ZEL::String::UTF8ToUTF16(kDataset)); }
    // Requests sent so far to KTA, NAVS and NAVP.
    static constexpr const char* kHosts[] = {"kta.test", "navs.test", "navp.test"};
    std::tuple<int, int, int> Requests() {
        int n[3] = {0, 0, 0};
        for (const uploadtest::Request& request : m_collector.Requests())
            for (int i = 0; i < 3; ++i) n[i] += request.url.find(kHosts[i]) != std::string::npos;
        return {n[0], n[1], n[2]};
    }
    // Renewal requests published so far, once the bus has delivered them.
    int Renewals() {
        EXPECT_TRUE(WaitBusIdle());
        return m_renewals;
    }
    testsupport::ManualClock m_clock{std::chrono::system_clock::from_time_t(kStart)};
    uploadtest::ScriptedTransport m_collector;
    std::shared_ptr<GatewayStatus> m_gateway = std::make_shared<GatewayStatus>();
    ZEL::TelemetryPolicy m_policy;
    std::atomic<unsigned> m_lastJitterBound{0};
    std::atomic<bool> m_jitterAtMax{false};

private:
    std::shared_ptr<ZEL::ZelStatusManager> m_savedStatus;
    std::wstring m_subscription;
    std::atomic<int> m_renewals{0};
};

}  // namespace resiliencetest
