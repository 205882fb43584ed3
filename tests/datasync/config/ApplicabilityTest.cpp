#include "support/AgentHarness.h"

namespace {

using testsupport::PreparedComponents;
const std::wstring kData = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kOther = L"6F1C2D3E-0000-4000-8000-000000000002";
const std::wstring kDeviceContext = L"03D21916-F27E-41EB-B8B3-77372521FBC7";

// Each test dataset's filter names it in "tag": answers (true unless set) and counts evaluations per tag.
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

ZEL::DataSet Tagged(const std::wstring& id, const std::wstring& syncEPs = L"KTA") {
    ZEL::DataSet dataset = testsupport::MakeDataSet(id, L"Data", syncEPs, L"nrt");
    ZEL::ApplicabilityFilter filter;
    filter.rules["tag"] = ZEL::String::UTF16ToUTF8(id);
    dataset.set_applicability_filter(filter);
    return dataset;
}

class ApplicabilityTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        zel::ZELHelperFactory::GetInstance()->SetApplicabilityEvaluator(
            m_evaluator);  // the harness puts it back
        ZEL::TelemetryPolicy policy = testsupport::PolicyWithoutFamilies();
        policy.datasets = {Tagged(kData), Tagged(kDeviceContext)};
        m_prepared = std::make_unique<PreparedComponents>(policy);
    }
    void TearDown() override {
        m_prepared.reset();  // before the host services it used go back
        AgentHarness::TearDown();
    }
    void SetDevice(bool commercial, bool consumer, bool consent) {
        testsupport::FakeDeviceFacts& device = m_host.device;
        device.claimed = commercial, device.consumer = consumer, device.anonymousMetrics = consent;
    }
    std::wstring Service(const std::wstring& id) {
        return m_host.files.Path(ZEL::utility::DB_PATH_INTERNAL,
                                 ZEL::DataSync::TelemetryFileName(id, L"ItemEvent"));
    }
    ZEL::DataSync::AgentComponents& c() { return m_prepared->c; }

    std::shared_ptr<TaggedEvaluator> m_evaluator = std::make_shared<TaggedEvaluator>();
    std::unique_ptr<PreparedComponents> m_prepared;
};

TEST_F(ApplicabilityTest, FileIsJudgedByThePolicyOfItsDataset) {
    m_evaluator->answers[kDeviceContext] = false;
    const struct { std::wstring path, evaluated; bool applicable; } cases[] = {
        {L"/db/" + kData + L"_ItemEvent.sqlite3", kData, true}, {L"/db/DeviceContext.sqlite3", kDeviceContext, false},
        {L"C:\\db\\" + kData + L"_DatasetContext.sqlite3", kData, true}, {L"/db/devicecontext.sqlite3", L"", false},
        {L"/db/" + kData + L"_ItemEvent.sqlite3/", L"", false}, {L"/db/" + kOther + L"_ItemEvent.sqlite3", L"", false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(k.path));
        auto expected = m_evaluator->calls;
        if (!k.evaluated.empty()) ++expected[k.evaluated];
        EXPECT_EQ(c().applicability.IsApplicableForSync(k.path), k.applicable);
        EXPECT_EQ(m_evaluator->calls, expected);
    }
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
    scan.sync_kind = 1;
    scan.last_applicable = false;
    scan.iterations_since_applicability_check = 3;
    for (bool answer : {false, true}) { m_evaluator->answers[kData] = answer; EXPECT_EQ(throttled(scan), answer); }
    EXPECT_EQ(std::pair(scan.last_applicable, scan.iterations_since_applicability_check), std::pair(false, 3u));
}

TEST_F(ApplicabilityTest, ConsentIsNeededOnlyOnAnUnclaimedConsumerDeviceUnlessTheDatasetIsExempt) {
    c().consent.SetAnonymousMetricsNotRequired({kOther});
    const ZEL::DataSync::ConsentGate& gate = c().consent;
    for (int bits = 0; bits < 8; ++bits) {
        SCOPED_TRACE(bits);
        const bool commercial = bits & 1, consumer = bits & 2, consent = bits & 4;
        const bool allowed = commercial || !consumer || consent;
        SetDevice(commercial, consumer, consent);
        EXPECT_EQ(gate.IsSyncAllowedByMetrics(), allowed);
        EXPECT_EQ(gate.IsSyncAllowedByMetrics(kData), allowed);
        EXPECT_TRUE(gate.IsSyncAllowedByMetrics(kOther));
        EXPECT_EQ(gate.IsSyncAllowedByMetrics(ZEL::String::ToLower(kOther)), allowed);
        EXPECT_EQ(gate.IsSyncAllowedByMetricsForFile(L"C:\\db\\" + kData + L"_ItemEvent.sqlite3"), allowed);
        EXPECT_TRUE(gate.IsSyncAllowedByMetricsForFile(Service(kOther)));
    }
}

// A refused gate sends (or queues) nothing and keeps the bookmark; with both gates open the same
// path sends and moves it, so the refusals are not a path that never sends.
TEST_F(ApplicabilityTest, RefusedConsentOrApplicabilitySendsNothingOnEveryUploadPath) {
    m_transport.SetRegistered(true), m_transport.Accept();
    m_host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kData, 3);  // and the device context "dc-1"
    enum Path { Kta, Navs, Navp, DeviceContext, TimerPass, DeviceContextThread };
    const struct { const char* name; const wchar_t *family, *bookmarks; } paths[] = {
        {"KTA", L"KTA", L"SyncPoint.sqlite3"}, {"NAVS", L"NAVS", L"Navs_SyncPoint.sqlite3"},
        {"NAVP", L"NAVP", L"navp_syncPoint.sqlite3"}, {"device context", L"KTA", L"SyncPoint.sqlite3"},
        {"timer pass", L"KTA", nullptr}, {"device-context thread", L"NAVP", nullptr}};
    ZEL::TelemetryPolicy policy = testsupport::SyncPolicy(L"", {});  // the three families' URLs, no dataset
    enum Gate { NoConsent, NotApplicable, Open };
    for (Path path : {Kta, Navs, Navp, DeviceContext, TimerPass, DeviceContextThread}) {
        for (Gate gate : {NoConsent, NotApplicable, Open}) {
            // The device context's file is judged before the dispatch (see above).
            if (gate == NotApplicable && (path == DeviceContext || path == DeviceContextThread)) continue;
            SCOPED_TRACE(std::string(paths[path].name) + " gate " + std::to_string(gate));
            m_logs.Clear();
            SetDevice(false, true, gate != NoConsent);
            m_evaluator->answers[kData] = gate != NotApplicable;
            policy.datasets = {Tagged(kData, paths[path].family), Tagged(kDeviceContext)};
            policy.datasets.front().set_include_events({L"ALL"});
            policy.datasets.back().set_dataset_name(L"DeviceContext");
            m_config->SetPolicy(policy);
            const int before = m_transport.RequestCount();
            PreparedComponents p(policy);  // fresh back-off records
            if (path == TimerPass) {
                p.c.syncMap.InternalDBChangesNotify(Service(kData));
                p.c.timer.DoTimerPost(L"");
                EXPECT_EQ(p.c.queue.Size(), gate == Open ? 1u : 0u);
            } else if (path == DeviceContextThread) {
                p.c.deviceContext.AddDeviceContextRecordToSync(1);
                p.c.deviceContext.AddDeviceContextRecordToSync(1);  // already waiting: sent once
                p.c.deviceContext.Start();
                EXPECT_TRUE(testsupport::WaitUntil(
                    [&] { return p.c.deviceContext.PendingRecords() == 0 || Logged("not posted: no consent"); }));
                p.c.stop.Cancel();
                p.c.deviceContext.Stop();
                EXPECT_EQ(m_transport.RequestCount() - before, gate == Open ? 1 : 0);
            } else {
                const bool context = path == DeviceContext;
                context ? p.c.dispatch.HandleNRT(ZEL::DataSync::kDeviceContextFileName) : p.DoPost(kData);
                EXPECT_EQ(m_transport.RequestCount() > before, gate == Open);
                std::int64_t bookmark = 0;
                // The device context's bookmark is written under the default root (the host's same folder).
                m_host.bookmarks.Read(
                    {paths[path].bookmarks,
                     context ? ZEL::utility::DB_PATH_DEFAULT : ZEL::utility::DB_PATH_INTERNAL,
                     context ? L"" : kData, context ? L"DeviceContext" : L"ItemEvent"},
                    bookmark, nullptr);
                EXPECT_EQ(bookmark > 0, gate == Open) << bookmark;
            }
        }
    }
}

}  // namespace
