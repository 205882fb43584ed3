#include <gtest/gtest.h>

#include <cerrno>
#include <future>

#include "datasync/common/WellKnownIds.h"
#include "datasync/config/EndpointFamilies.h"
#include "datasync/housekeeping/RetentionUtils.h"
#include "support/FakeComponents.h"
#include "support/WaitUntil.h"

namespace {

using TelemetryUtils::RetentionUtils;
using testsupport::PreparedComponents;
using testsupport::TableOf;
using Mark = ZEL::DataSync::DevicePathPurge::Mark;
using Root = ZEL::utility::EGetDBPathMethod;
using SystemClock = std::chrono::system_clock;
constexpr Root kService = ZEL::utility::DB_PATH_INTERNAL, kShared = ZEL::utility::DB_PATH_USER_SHARED;

const std::wstring kData = L"6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kOther = L"6F1C2D3E-0000-4000-8000-000000000002";
constexpr std::time_t kNow = testsupport::FakeHost::kNow;  // the wall clock of every test

class HousekeepingTest : public ::testing::Test {
protected:
    HousekeepingTest() {
        for (ZEL::DataSet& d : m_policy.datasets)
            d.set_dataset_settings_map({{L"Retention", d.dataset_id() == kData ? L"10d" : L"forever"}});
        m_host.UsePolicy(m_policy);
    }
    static std::string At(std::time_t t) {
        return testsupport::MemoryTables::Logtime(SystemClock::from_time_t(t));
    }
    static std::string DaysAgo(int days) { return At(kNow - days * 86400); }
    // Rows of `Kind` with these logtimes, in the dataset's file of that kind.
    template <typename Kind = ZEL::ItemEvent>
    void Add(Root root, const std::wstring& id, std::initializer_list<std::string> logtimes) {
        for (const std::string& logtime : logtimes)
            m_host.tables.Add(TableOf<Kind>(id, root), Kind(), logtime);
        m_host.files.Add(
            root, ZEL::DataSync::TelemetryFileName(id, ZEL::DataSync::BookmarkTypeName(Kind::TypeName())));
    }
    // Item events logged `daysAgo` before now, plus one with an empty and one with a foreign logtime.
    void AddAged(Root root, const std::wstring& id, std::initializer_list<int> daysAgo) {
        for (int days : daysAgo) Add(root, id, {DaysAgo(days)});
        Add(root, id, {"", "06/12/2020 10:00"});
    }
    std::size_t Rows(const ZEL::DataSync::TableRef& table) { return m_host.tables.RowCount(table); }
    std::wstring Marker(const wchar_t* name) { return m_host.files.Path(kService, name); }

    testsupport::FakeHost m_host;
    ZEL::TelemetryPolicy m_policy = testsupport::SyncPolicy(L"KTA", {{kData, L"nrt"}, {kOther, L"nrt"}});
};

TEST(RetentionUtils, RetentionTextsGiveTheirDaysAndEverythingElseTheDefault) {
    const std::pair<const wchar_t*, int> cases[] = {
        {L"45d", 45}, {L"45D", 45}, {L"120d", 90}, {L"0d", 30}, {L"45", 30},
        {L"d", 30},   {L" 45d", 30}, {L"", 30},   {L"4 5d", 30}, {L"99999999999999999999d", 90}};
    for (const auto& [text, days] : cases) EXPECT_EQ(RetentionUtils::ParseRetentionDays(text, 30, 90), days) << text;
    bool overflowed = false;
    EXPECT_TRUE(RetentionUtils::ParseRetentionDays(L"3000000000d", 30, 90, &overflowed) == 90 && overflowed);
}

TEST_F(HousekeepingTest, RetentionDeletesOnlyDatedItemEventsPastTheirPeriodInBothFolders) {
    AddAged(kService, kData, {40, 11, 9});
    AddAged(kShared, kData, {12, 1});
    AddAged(kService, kOther, {40, 29});  // "forever" reads as the default, 30 days
    Add(kShared, kOther, {DaysAgo(40)});  // a table of one row
    Add<ZEL::DatasetContext>(kService, kData, {DaysAgo(300)});
    PreparedComponents p(m_policy);
    p.c.retention.Init();
    ASSERT_EQ(p.c.retention.Start(true), TelemetryRetentionHandler::Started);
    // 9 days and the two rows without a date; a table of one row; item events only.
    for (const auto& [root, id, rows] : {std::tuple{kService, kData, 3u}, std::tuple{kShared, kData, 3u},
                                         std::tuple{kService, kOther, 3u}, std::tuple{kShared, kOther, 0u}})
        EXPECT_EQ(Rows(TableOf(id, root)), rows) << root << " " << ZEL::String::UTF16ToUTF8(id);
    EXPECT_EQ(Rows(TableOf<ZEL::DatasetContext>(kData)), 1u);
}

TEST_F(HousekeepingTest, RetentionStartsAtMostEveryTenMinutesNeverDuringAPurgeNorAfterAStop) {
    PreparedComponents p(m_policy);
    TelemetryRetentionHandler& periodic = p.c.retention;
    periodic.Init();
    EXPECT_EQ(periodic.Start(true), TelemetryRetentionHandler::Started);
    m_host.clock.AdvanceSteady(std::chrono::minutes(9));
    EXPECT_EQ(periodic.Start(false), TelemetryRetentionHandler::NotNow);
    m_host.clock.AdvanceSteady(std::chrono::minutes(1));
    p.c.purge.SetTelemetryPurgeInProgress(true);
    EXPECT_EQ(periodic.Start(false), TelemetryRetentionHandler::NotNow) << "a purge runs";
    p.c.purge.SetTelemetryPurgeInProgress(false);
    periodic.Stop();
    EXPECT_EQ(periodic.Start(false), TelemetryRetentionHandler::StopRequested);
    periodic.ReInit();
    EXPECT_EQ(periodic.Start(true), TelemetryRetentionHandler::Started);
}

TEST_F(HousekeepingTest, ARetentionThreadThatCannotStartIsReportedAndRetentionCanStartAgain) {
    int made = 0;  // the shared folder's thread cannot be made, once
    ZEL::Log log;
    const auto startThread = [&made](std::function<void()> body) {
        if (made++ == 1) throw std::system_error(EAGAIN, std::generic_category());
        return std::thread(std::move(body));
    };
    TelemetryRetentionHandler retention(
        m_host.clock, m_host.tables, m_host.files, [] { return false; }, log, startThread);
    retention.Init();
    EXPECT_EQ(retention.Start(true), TelemetryRetentionHandler::ThreadStartFailed);
    EXPECT_EQ(retention.CurrentStatus()->shared.result.rfind("failed to start: ", 0), 0u);
    retention.JoinRunningRetentionThreads();
    EXPECT_EQ(retention.Start(true), TelemetryRetentionHandler::Started);
}

TEST_F(HousekeepingTest, ARealmChangeMarksThePurgePendingOnceAndBlocksUploadsEvenWhenTheMarkerCannotBeWritten) {
    ZEL::DeviceContext stored;
    stored.mutable_device_info().set_device_path(L"organization\\old");
    m_host.tables.Add(TableOf<ZEL::DeviceContext>(L""), stored);
    const std::wstring pending = Marker(ZEL::DataSync::kPurgePendingMarker);
    const auto mismatch = [this](PreparedComponents& p, const wchar_t* realm) {
        m_host.urls.SetRealm(realm);
        return p.c.purge.TrySetPurgePendingOnDevicePathRealmMismatch();
    };
    {
        PreparedComponents p(m_policy);
        EXPECT_EQ(mismatch(p, L""), Mark::NotNeeded) << "no realm";
        EXPECT_EQ(mismatch(p, L"old"), Mark::NotNeeded) << "the same realm";
        EXPECT_EQ(mismatch(p, L"new"), Mark::Marked);
        EXPECT_TRUE(m_host.files.Exists(pending) && p.c.purge.IsTelemetrySyncBlocked());
    }
    m_host.clock.SetWall(SystemClock::from_time_t(kNow + 3600));
    {
        PreparedComponents restarted(m_policy);
        EXPECT_EQ(mismatch(restarted, L"new"), Mark::NotNeeded) << "pending already";
        EXPECT_EQ(restarted.c.purge.CurrentStatus().detectedUtc, kNow) << "the first detection is kept";
        EXPECT_EQ(restarted.c.retention.Start(false), TelemetryRetentionHandler::NotNow);
    }
    // A marker that cannot be written (a full disk, a read-only folder): uploads stay blocked.
    m_host.files.Remove(pending);
    m_host.files.Remove(Marker(ZEL::DataSync::kPurgeDetectedMarker));
    m_host.files.SetUnwritable(pending);
    PreparedComponents unwritable(m_policy);
    EXPECT_EQ(mismatch(unwritable, L"new"), Mark::NotSaved);
    EXPECT_TRUE(unwritable.c.purge.IsTelemetrySyncBlocked());
    const auto status = unwritable.c.purge.CurrentStatus();
    EXPECT_EQ(status.state, ZEL::DataSync::DevicePathPurge::State::Pending);
    EXPECT_NE(status.problem.find("device_path_purge.pending"), std::string::npos) << status.problem;
}

// Rows the purge cannot date stay, but are never sent: the first row dated after the detection
// is where uploads start again.
TEST_F(HousekeepingTest, APurgeDeletesUpToTheDetectionSecondAndNeverSendsTheRowsItCannotDate) {
    m_host.files.WriteText(Marker(ZEL::DataSync::kPurgeDetectedMarker), std::to_string(kNow));
    Add(kService, kData, {At(kNow - 1), "yesterday", At(kNow), At(kNow + 1)});
    Add<ZEL::ItemContext>(kService, kData, {At(kNow - 9)});
    Add(kService, ZEL::DataSync::kMessagingPluginDatasetId, {DaysAgo(200), DaysAgo(100)});
    const ZEL::DataSync::TableRef global{L"", ZEL::ItemEvent::TypeName(), kService,
                                         ZEL::DataSync::kGlobalContextFileName};
    m_host.tables.Add(global, ZEL::ItemEvent(), DaysAgo(1));
    m_host.files.Add(kService, ZEL::DataSync::kGlobalContextFileName);
    for (const ZEL::DataSync::EndpointFamily& family : ZEL::DataSync::kEndpointFamilies) {
        m_host.bookmarks.Write({family.bookmarkFile, kService, L"g", L"ItemEvent"}, 7);
        m_host.files.Add(kService, family.bookmarkFile);
    }
    PreparedComponents p(m_policy);
    const auto report = p.c.purge.PurgeLocalTelemetryStoresForDevicePathRealmChange();
    EXPECT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.rowsDeleted, 4) << "two rows up to the detection second, an item context, a messaging row of 200 days";
    EXPECT_EQ(std::tuple(report.bookmarkFiles, report.bookmarksCleared, report.deviceContextsCleared),
              std::tuple(3, 3, 1))
        << "the NAVS bookmark file too";
    EXPECT_EQ(Rows(TableOf(kData)), 2u) << "the undated row and the second after";
    EXPECT_EQ(Rows(TableOf<ZEL::ItemContext>(kData)), 0u);
    for (const ZEL::DataSync::EndpointFamily& family : ZEL::DataSync::kEndpointFamilies) {
        std::int64_t next = 0;
        m_host.bookmarks.Read({family.bookmarkFile, kService, kData, L"ItemEvent"}, next, nullptr);
        EXPECT_EQ(next, 4) << ZEL::String::UTF16ToUTF8(family.bookmarkFile) << ": undated rows stay unsent";
    }
    EXPECT_EQ(Rows(TableOf(ZEL::DataSync::kMessagingPluginDatasetId)), 1u);
    EXPECT_EQ(Rows(global), 1u) << "protected";
    EXPECT_EQ(p.c.purge.CurrentStatus().state, ZEL::DataSync::DevicePathPurge::State::PurgedAwaitingResume);
}

// A logged-on user that cannot be acted as: the purge of the shared folder fails and says so. (Without
// a logged-on user it works on that folder as the service: HousekeepingFlow in tests/apps.)
TEST_F(HousekeepingTest, APurgeAsALoggedOnUserThatCannotBeActedAsFailsAndKeepsTheSharedRows) {
    m_host.files.WriteText(Marker(ZEL::DataSync::kPurgeDetectedMarker), std::to_string(kNow));
    testsupport::FakeLogonUser user(1332);
    Add(kShared, kData, {At(kNow - 60)});
    PreparedComponents p(m_policy);
    const auto report = p.c.purge.PurgeLocalTelemetryStoresForDevicePathRealmChange();
    EXPECT_FALSE(report.ok);
    EXPECT_FALSE(report.error.empty());
    EXPECT_EQ(Rows(TableOf(kData, kShared)), 1u);
    EXPECT_TRUE(p.c.purge.IsTelemetrySyncBlocked()) << "the host lifts the block";
}

// A purge asked for while an upload is on the wire blocks new ones and waits for it before it
// deletes anything; a stop ends that wait, and the purge stays to be run again.
TEST_F(HousekeepingTest, APurgeWaitsForTheUploadsInFlightAndAStopEndsTheWait) {
    m_host.files.WriteText(Marker(ZEL::DataSync::kPurgeDetectedMarker), std::to_string(kNow));
    AddAged(kService, kData, {3});
    for (const bool stop : {true, false}) {
        m_host.files.Remove(Marker(ZEL::DataSync::kPurgePendingMarker));  // the stopped purge's
        PreparedComponents p(m_policy);
        ZEL::DataSync::UploadPass pass = p.c.purge.TryBeginUpload();
        ASSERT_TRUE(pass);
        auto purge = std::async(std::launch::async, [&p] { return p.c.purge.PurgeLocalTelemetryStoresForDevicePathRealmChange(); });
        const char* const waiting = "waiting for 1 uploads in flight to end";
        ASSERT_TRUE(testsupport::WaitUntil([&] { return m_host.logs.Contains(waiting, "DataSync.log"); }));
        EXPECT_FALSE(p.c.purge.TryBeginUpload()) << "no upload begins meanwhile";
        EXPECT_EQ(Rows(TableOf(kData)), 3u) << "nothing is deleted under the upload";
        stop ? p.c.stop.Cancel() : pass.reset();
        const auto report = purge.get();
        EXPECT_EQ(report.ok, !stop) << report.error;
        EXPECT_EQ(Rows(TableOf(kData)), stop ? 3u : 2u) << "the dated row goes once the upload ended";
        m_host.logs.Clear();
    }
}

}  // namespace
