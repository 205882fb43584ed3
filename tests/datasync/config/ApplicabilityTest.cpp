// The applicability gate (the host's evaluator on a dataset's filter, the file-to-dataset
// mapping, re-evaluation of a dataset found not applicable every 100th call) and the consent
// gate (commercial claim, consumer device, consent, exempt datasets).
#include <gtest/gtest.h>

#include <map>

#include "datasync/host/DeviceStatus.h"
#include "linuxhost/HostState.h"
#include "support/AgentHarness.h"
#include "support/PreparedComponents.h"

namespace {

const std::wstring kData = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kOther = L"6F1C2D3E-0000-4000-8000-000000000002";
const std::wstring kDeviceContext = L"03D21916-F27E-41EB-B8B3-77372521FBC7";

// Each test dataset's filter names its dataset in "tag"; answers per tag (true when not set)
// and counts the evaluations per tag.
struct TaggedEvaluator : ZEL::ApplicabilityEvaluator {
    bool Evaluate(const ZEL::ApplicabilityFilter& filter, const void*, std::list<ZEL::KeyValuePair>&,
                  std::wstring&) override {
        const std::wstring tag = ZEL::String::UTF8ToUTF16(filter.rules["tag"].asString());
        ++calls[tag];
        return answers.count(tag) == 0 || answers[tag];
    }
    std::map<std::wstring, bool> answers;
    std::map<std::wstring, int> calls;
};

ZEL::DataSet Tagged(const std::wstring& id) {
    ZEL::DataSet dataset = testsupport::MakeDataSet(id, L"Data", L"KTA", L"nrt");
    ZEL::ApplicabilityFilter filter;
    filter.rules["tag"] = ZEL::String::UTF16ToUTF8(id);
    dataset.set_applicability_filter(filter);
    return dataset;
}

class ApplicabilityTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        zel::ZELHelperFactory::GetInstance()->SetApplicabilityEvaluator(m_evaluator);  // the harness puts it back
        m_savedDevice = ZEL::linuxhost::CurrentDeviceState();
        ZEL::TelemetryPolicy policy = testsupport::PolicyWithoutFamilies();
        policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"}};
        policy.datasets = {Tagged(kData), Tagged(kDeviceContext)};
        m_prepared = std::make_unique<testsupport::PreparedComponents>(policy);
    }
    void TearDown() override {
        m_prepared.reset();  // before the host services it used go back
        ZEL::linuxhost::UpdateDeviceState([this](ZEL::linuxhost::DeviceState& device) { device = m_savedDevice; });
        AgentHarness::TearDown();
    }
    std::wstring Service(const std::wstring& id) {
        return ZEL::String::UTF8ToUTF16(m_dir.path()) + L"service/" + id + L"_ItemEvent.sqlite3";
    }

    std::shared_ptr<TaggedEvaluator> m_evaluator = std::make_shared<TaggedEvaluator>();
    ZEL::DataSync::AgentComponents& c() { return m_prepared->c; }
    std::unique_ptr<testsupport::PreparedComponents> m_prepared;
    ZEL::linuxhost::DeviceState m_savedDevice;
};

TEST_F(ApplicabilityTest, FileIsJudgedByThePolicyOfItsDataset) {
    m_evaluator->answers[kDeviceContext] = false;
    const struct {
        std::wstring path, evaluated;  // evaluated: the dataset whose filter is evaluated, if any
        bool applicable;
    } cases[] = {
        {L"/db/" + kData + L"_ItemEvent.sqlite3", kData, true},
        {L"C:\\db\\" + kData + L"_DatasetContext.sqlite3", kData, true},
        {L"/db/DeviceContext.sqlite3", kDeviceContext, false},
        {L"/db/devicecontext.sqlite3", L"", false},
        {L"/db/" + kData + L"_ItemEvent.sqlite3/", L"", false},
        {L"/db/" + kOther + L"_ItemEvent.sqlite3", L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(c.path));
        auto expected = m_evaluator->calls;
        if (!c.evaluated.empty()) ++expected[c.evaluated];
        EXPECT_EQ(this->c().applicability.IsApplicableForSync(c.path), c.applicable);
        EXPECT_EQ(m_evaluator->calls, expected);
    }

    zel::ZELHelperFactory::GetInstance()->SetApplicabilityEvaluator(nullptr);
    EXPECT_FALSE(c().applicability.CheckApplicabilityFilterForDataset(Tagged(kData))) << "no evaluator: not applicable";
}

TEST_F(ApplicabilityTest, NotApplicableDatasetIsEvaluatedAgainEveryHundredthCall) {
    const std::wstring path = Service(kData);
    c().syncMap.InternalDBChangesNotify(path);
    ZEL::DataSync::_sync_data record = c().syncMap.Record(path);
    const auto throttled = [this, &path](ZEL::DataSync::_sync_data& r) {
        return c().timer.IsApplicableForSyncWithThrottling(path, r);
    };
    std::vector<int> evaluatedAt;
    for (int call = 1; call <= 302; ++call) {
        m_evaluator->answers[kData] = call > 300;  // applicable from the fourth evaluation on
        const int before = m_evaluator->calls[kData];
        EXPECT_EQ(throttled(record), call > 300) << call;
        if (m_evaluator->calls[kData] != before) evaluatedAt.push_back(call);
        if (call == 250) {
            EXPECT_EQ(record.applicability_failure_count, 3u);
        }
    }
    EXPECT_EQ(evaluatedAt, (std::vector<int>{1, 101, 201, 301, 302}));
    EXPECT_EQ(record.applicability_failure_count, 0u);

    // A change of the database asks for a fresh evaluation at the next call.
    m_evaluator->answers[kData] = false;
    throttled(record);
    c().syncMap.Update(path, [&record](ZEL::DataSync::_sync_data& live) { live = record; });
    c().syncMap.InternalDBChangesNotify(path);
    record = c().syncMap.Record(path);
    m_evaluator->answers[kData] = true;
    EXPECT_TRUE(throttled(record));

    // Records of the start-up scan are evaluated on every call; their fields stay.
    ZEL::DataSync::_sync_data scan;
    scan.sync_kind = 1, scan.last_applicable = false, scan.iterations_since_applicability_check = 3;
    for (bool answer : {false, true}) {
        m_evaluator->answers[kData] = answer;
        EXPECT_EQ(throttled(scan), answer);
    }
    EXPECT_FALSE(scan.last_applicable);
    EXPECT_EQ(scan.iterations_since_applicability_check, 3u);
}

TEST_F(ApplicabilityTest, ConsentIsNeededOnlyOnAnUnclaimedConsumerDeviceUnlessTheDatasetIsExempt) {
    c().consent.SetAnonymousMetricsNotRequired({kOther});
    const ZEL::DataSync::ConsentGate& gate = c().consent;
    for (int bits = 0; bits < 8; ++bits) {
        SCOPED_TRACE(bits);
        const bool commercial = bits & 1, consumer = bits & 2, consent = bits & 4;
        const bool allowed = commercial || !consumer || consent;
        ZEL::linuxhost::UpdateDeviceState([&](ZEL::linuxhost::DeviceState& device) {
            device.commercial_org = commercial, device.consumer = consumer, device.anonymous_metrics = consent;
        });
        EXPECT_EQ(gate.IsSyncAllowedByMetrics(), allowed);
        EXPECT_EQ(gate.IsSyncAllowedByMetrics(kData), allowed);
        EXPECT_TRUE(gate.IsSyncAllowedByMetrics(kOther));
        EXPECT_EQ(gate.IsSyncAllowedByMetrics(ZEL::String::ToLower(kOther)), allowed);
        EXPECT_EQ(gate.IsSyncAllowedByMetricsForFile(L"C:\\db\\" + kData + L"_ItemEvent.sqlite3"), allowed);
        EXPECT_TRUE(gate.IsSyncAllowedByMetricsForFile(Service(kOther)));
    }
}

}  // namespace
