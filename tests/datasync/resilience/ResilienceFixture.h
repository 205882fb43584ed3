// The uploaders' fixture with KTA, NAVS and NAVP endpoints, a manual clock, a pinned random source
// and a count of the registration renewal requests published; the gateway status is the fake
// host's (m_host.status). A test's components in m_prepared go before the fixture's environment.
#pragma once

#include "datasync/host/CriticalEvents.h"
#include "datasync/resilience/BackoffDelay.h"
#include "datasync/upload/UploadFixture.h"
#include "support/ManualClock.h"
#include "support/PreparedComponents.h"

namespace resiliencetest {

using namespace std::chrono_literals;
using testsupport::WaitUntil;
using uploadtest::Answer;
using PreparedAgent = testsupport::PreparedComponents;
using Counts = std::vector<std::uint32_t>;
constexpr SyncEP::SyncEp_type KTA = SyncEP::SyncEP_KTA;
constexpr SyncEP::SyncEp_type NAVS = SyncEP::SyncEP_NAVS;
constexpr std::int64_t kStart = 1796554800;  // the wall clock at the start of every test

class ResilienceTest : public uploadtest::UploadFixture {
protected:
    void SetUp() override {
        UploadFixture::SetUp();
        // The jitter is 0 unless a test asks for the largest value; the last span asked is kept.
        ZEL::ApiUtility::SetRandomSource(
            [this](unsigned lo, unsigned hi) { return m_lastJitterBound = hi, m_jitterAtMax ? hi : lo; });
        m_policy = testsupport::SyncPolicy(L"KTA,NAVS,NAVP", {{uploadtest::kDatasetW, L"nrt"}});
        m_config->SetPolicy(m_policy);
        m_subscription = m_bus.Subscribe([this](ZEL::ZELNotificationData& data) {
            m_renewals += data.getTopicId() == ZEL::TOPIC_DEVICE_REGISTRATION &&
                          data.getEventState() == ZEL::STATE_REGISTRATION_RENEWAL;
        }, false);
    }
    void TearDown() override {
        m_prepared.reset();
        m_bus.Unsubscribe(m_subscription);
        ZEL::ApiUtility::SetRandomSource(nullptr);
        UploadFixture::TearDown();
    }
    std::tuple<int, int, int> Requests() {
        const char* const hosts[] = {"kta.test", "navs.test", "navp.test"};
        int n[3] = {0, 0, 0};
        for (const uploadtest::Request& request : m_transport.Requests())
            for (int i : {0, 1, 2}) n[i] += request.url.find(hosts[i]) != std::string::npos;
        return {n[0], n[1], n[2]};
    }
    int Renewals() { EXPECT_TRUE(WaitBusIdle()); return m_renewals; }

    testsupport::ManualClock m_clock{std::chrono::system_clock::from_time_t(kStart)};
    ZEL::TelemetryPolicy m_policy;
    std::atomic<unsigned> m_lastJitterBound{0};
    std::atomic<bool> m_jitterAtMax{false};
    std::wstring m_subscription;
    std::atomic<int> m_renewals{0};
    std::unique_ptr<PreparedAgent> m_prepared;
};

}  // namespace resiliencetest
