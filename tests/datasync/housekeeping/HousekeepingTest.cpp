// Housekeeping through the components: retention, the device-path purge, duplication on sendTelemetry.
#include <filesystem>
#include <fstream>
#include <future>

#include "datasync/common/WellKnownIds.h"
#include "datasync/housekeeping/RetentionUtils.h"
#include "datasync/upload/InstalledStores.h"
#include "linuxhost/datastore/SyncPointDao.h"
#include "linuxhost/HostState.h"
#include "support/AgentHarness.h"
#include "support/LogonUser.h"
#include "support/ManualClock.h"
#include "support/PreparedComponents.h"
#include "support/TelemetryWriter.h"
#include "support/WaitUntil.h"

namespace {

using testsupport::ItemEventJson;
using testsupport::PreparedComponents;
using testsupport::LocalLogtime;
using testsupport::TelemetryWriter;
using TelemetryUtils::RetentionUtils;
using Mark = ZEL::DataSync::DevicePathPurge::Mark;
namespace fs = std::filesystem;

const std::string kData = "6F1C2D3E-0000-4000-8000-000000000001";
const std::string kOther = "6F1C2D3E-0000-4000-8000-000000000002";
const std::string kMessaging = "7C1F9721-2D5C-44F7-AB64-FA4545A7BA0B";
constexpr std::time_t kNow = 1796554800;  // the wall clock of every test

class HousekeepingTest : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        m_policy = testsupport::PolicyWithoutFamilies();
        m_policy.syncEndpointUrls = {{L"KTA_syncEP_url", L"https://kta.test/"}};
        for (const std::string& id : {kData, kOther}) {
            m_policy.datasets.push_back(testsupport::MakeDataSet(ZEL::String::UTF8ToUTF16(id), L"CPUEvent", L"KTA", L"nrt"));
            m_policy.datasets.back().set_dataset_settings_map({{L"Retention", id == kData ? L"10d" : L"forever"}});
        }
        m_config->SetPolicy(m_policy);
    }
    std::string Path(const std::string& root, const std::string& file) { return m_dir.path() + root + "/" + file; }
    // Rows logged `daysAgo` before now, plus one with an empty and one with a foreign logtime.
    void WriteAged(const std::string& root, const std::string& dataset, std::initializer_list<int> daysAgo) {
        TelemetryWriter table(Path(root, dataset + "_ItemEvent.sqlite3"), "ItemEvent");
        for (int days : daysAgo) table.Insert(ItemEventJson(dataset, "d"), LocalLogtime(kNow - days * 86400));
        table.Insert(ItemEventJson(dataset, "no time"), "");
        table.Insert(ItemEventJson(dataset, "other format"), "06/12/2020 10:00");
    }
    std::int64_t Rows(const std::string& path, const std::string& table = "ItemEvent") {
        return TelemetryWriter(path, table).Scalar("select count(*) from " + table);
    }

    testsupport::ManualClock m_clock{std::chrono::system_clock::from_time_t(kNow)};
    testsupport::LogonUser m_user;  // the shared folder is worked on as this user
    ZEL::TelemetryPolicy m_policy;
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
    WriteAged("service", kData, {40, 11, 9});
    WriteAged("shared", kData, {12, 1});
    WriteAged("service", kOther, {40, 29});  // "forever" reads as the default, 30 days
    TelemetryWriter(Path("shared", kOther + "_ItemEvent.sqlite3"), "ItemEvent")  // a table of one row
        .Insert(ItemEventJson(kOther, "old"), LocalLogtime(kNow - 40 * 86400));
    TelemetryWriter(Path("service", kData + "_DatasetContext.sqlite3"), "DatasetContext")
        .Insert("{}", LocalLogtime(kNow - 300 * 86400));
    fs::create_directories(Path("service", "sub"));
    fs::copy_file(Path("service", kData + "_ItemEvent.sqlite3"), Path("service", "sub/" + kData + "_ItemEvent.sqlite3"));
    PreparedComponents p(m_policy);
    p.c.retention.Init();
    ASSERT_EQ(p.c.retention.Start(true), TelemetryRetentionHandler::Started);

    // 9 days and the two rows without a date; a table of one row; item events only; no subfolder.
    for (const auto& [file, rows] : {std::pair{"service/" + kData, 3}, {"shared/" + kData, 3}, {"service/" + kOther, 3},
                                     {"shared/" + kOther, 0}, {"service/sub/" + kData, 5}})
        EXPECT_EQ(Rows(m_dir.path() + file + "_ItemEvent.sqlite3"), rows) << file;
    EXPECT_EQ(Rows(Path("service", kData + "_DatasetContext.sqlite3"), "DatasetContext"), 1);
    const auto status = p.c.retention.CurrentStatus();
    EXPECT_EQ(std::tuple(status->service.rowsDeleted, status->service.databases), std::tuple(3, 2));
    EXPECT_EQ(std::tuple(status->shared.rowsDeleted, status->shared.result), std::tuple(2, std::string("done")));
}

TEST_F(HousekeepingTest, RetentionStartsAtMostEveryTenMinutesNeverDuringAPurgeNorAfterAStop) {
    PreparedComponents p(m_policy);
    TelemetryRetentionHandler& periodic = p.c.retention;
    periodic.Init();
    EXPECT_EQ(periodic.Start(true), TelemetryRetentionHandler::Started);
    m_clock.AdvanceSteady(std::chrono::minutes(9));
    EXPECT_EQ(periodic.Start(false), TelemetryRetentionHandler::NotNow);
    m_clock.AdvanceSteady(std::chrono::minutes(1));
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
    TelemetryRetentionHandler retention(m_clock, ZEL::DataSync::InstalledTables(), ZEL::DataSync::InstalledFiles(),
                                        [] { return false; }, log, [&made](std::function<void()> body) {
        if (made++ == 1) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    });
    retention.Init();
    EXPECT_EQ(retention.Start(true), TelemetryRetentionHandler::ThreadStartFailed);
    EXPECT_EQ(retention.CurrentStatus()->shared.result.rfind("failed to start: ", 0), 0u);
    retention.JoinRunningRetentionThreads();
    EXPECT_EQ(retention.Start(true), TelemetryRetentionHandler::Started);
}

TEST_F(HousekeepingTest, ARealmChangeMarksThePurgePendingOnceAndBlocksUploadsEvenWhenTheMarkerCannotBeWritten) {
    TelemetryWriter(Path("service", "DeviceContext.sqlite3"), "DeviceContext")
        .Insert(R"({"device_context_id":"dc-1","device_info":{"device_path":"organization\\old"}})");
    const std::string pending = Path("service", "device_path_purge.pending");
    const auto mismatch = [](PreparedComponents& p, const char* name) {
        ZEL::linuxhost::UpdateDeviceState([name](ZEL::linuxhost::DeviceState& device) { device.realm = name; });
        return p.c.purge.TrySetPurgePendingOnDevicePathRealmMismatch();
    };
    {
        PreparedComponents p(m_policy);
        EXPECT_EQ(std::pair(mismatch(p, ""), mismatch(p, "old")), std::pair(Mark::NotNeeded, Mark::NotNeeded));
        EXPECT_EQ(mismatch(p, "new"), Mark::Marked);
        EXPECT_TRUE(fs::exists(pending) && p.c.purge.IsTelemetrySyncBlocked());
    }
    m_clock.SetWall(std::chrono::system_clock::from_time_t(kNow + 3600));
    {
        PreparedComponents restarted(m_policy);
        EXPECT_EQ(mismatch(restarted, "new"), Mark::NotNeeded) << "pending already";
        EXPECT_EQ(restarted.c.purge.CurrentStatus().detectedUtc, kNow) << "the first detection is kept";
        EXPECT_EQ(restarted.c.retention.Start(false), TelemetryRetentionHandler::NotNow);
    }
    // A marker that cannot be written (a full disk, a read-only folder): uploads stay blocked.
    fs::remove(pending);
    fs::remove(Path("service", "device_path_purge.detected_utc"));
    fs::create_symlink(m_dir.path() + "missing/folder/marker", pending);
    PreparedComponents unwritable(m_policy);
    EXPECT_EQ(mismatch(unwritable, "new"), Mark::NotSaved);
    EXPECT_TRUE(unwritable.c.purge.IsTelemetrySyncBlocked());
    const auto status = unwritable.c.purge.CurrentStatus();
    EXPECT_EQ(status.state, ZEL::DataSync::DevicePathPurge::State::Pending);
    EXPECT_NE(status.problem.find("device_path_purge.pending"), std::string::npos) << status.problem;
    mismatch(unwritable, "");
}

// Rows the purge cannot date stay, but are never sent: the first row dated after the detection
// is where uploads start again.
TEST_F(HousekeepingTest, APurgeDeletesUpToTheDetectionSecondAndKeepsWhatAWriterAddsMeanwhile) {
    std::ofstream(Path("service", "device_path_purge.detected_utc")) << kNow;
    TelemetryWriter writer(Path("service", kData + "_ItemEvent.sqlite3"), "ItemEvent", true);  // held open, WAL
    writer.Insert(ItemEventJson(kData, "r"), LocalLogtime(kNow - 1));
    writer.Insert(ItemEventJson(kData, "undated"), "yesterday");
    for (std::time_t at : {kNow, kNow + 1}) writer.Insert(ItemEventJson(kData, "r"), LocalLogtime(at));
    TelemetryWriter(Path("service", kData + "_ItemContext.sqlite3"), "ItemContext").Insert("{}", LocalLogtime(kNow - 9));
    TelemetryWriter messaging(Path("service", kMessaging + "_ItemEvent.sqlite3"), "ItemEvent");
    for (int days : {200, 100}) messaging.Insert(ItemEventJson(kMessaging, "m"), LocalLogtime(kNow - days * 86400));
    TelemetryWriter(Path("service", "DeviceContext.sqlite3"), "DeviceContext").Insert(R"({"device_context_id":"dc"})");
    TelemetryWriter(Path("service", "GlobalContext.sqlite3"), "ItemEvent").Insert("{}", LocalLogtime(kNow - 86400));
    for (const ZEL::DataSync::EndpointFamily& family : ZEL::DataSync::kEndpointFamilies)
        ZEL::linuxhost::SyncPointDao(ZEL::utility::DB_PATH_INTERNAL, family.bookmarkFile).Set({L"g", L"ItemEvent", 7});

    PreparedComponents p(m_policy);
    const auto report = p.c.purge.PurgeLocalTelemetryStoresForDevicePathRealmChange();
    writer.Insert(ItemEventJson(kData, "after the purge"), LocalLogtime(kNow + 2));

    EXPECT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.rowsDeleted, 4) << "two rows up to the detection second, an item context, a messaging row of 200 days";
    EXPECT_EQ(std::tuple(report.bookmarkFiles, report.bookmarksCleared, report.deviceContextsCleared),
              std::tuple(3, 3, 1)) << "Navs_SyncPoint.sqlite3 too";
    EXPECT_EQ(writer.Scalar("select count(*) from ItemEvent"), 3) << "the undated, the second after and the new row";
    EXPECT_EQ(Rows(Path("service", kData + "_ItemContext.sqlite3"), "ItemContext"), 0);
    for (const ZEL::DataSync::EndpointFamily& family : ZEL::DataSync::kEndpointFamilies) {
        std::int64_t next = 0;
        ZEL::linuxhost::SyncPointDao(ZEL::utility::DB_PATH_INTERNAL, family.bookmarkFile)
            .Get(next, ZEL::String::UTF8ToUTF16(kData), L"ItemEvent");
        EXPECT_EQ(next, 4) << family.bookmarkFile << ": the undated row is never sent";
    }
    EXPECT_EQ(writer.Scalar("select count(*) from pragma_integrity_check where integrity_check = 'ok'"), 1);
    EXPECT_EQ(messaging.Scalar("select count(*) from ItemEvent"), 1);
    EXPECT_EQ(Rows(Path("service", "GlobalContext.sqlite3")), 1) << "protected";
    EXPECT_EQ(p.c.purge.CurrentStatus().state, ZEL::DataSync::DevicePathPurge::State::PurgedAwaitingResume);
}

// Without a logged-on user the shared folder is the service's: the purge works on it as the service.
// With one that cannot be acted as, it fails and says so.
TEST_F(HousekeepingTest, APurgeWithoutALoggedOnUserWorksOnTheSharedFolderAsTheService) {
    std::ofstream(Path("service", "device_path_purge.detected_utc")) << kNow;
    for (const auto& [user, ok] : {std::pair{"", true}, std::pair{"no-such-user-here", false}}) {
        testsupport::LogonUser logon(user);
        TelemetryWriter(Path("shared", kData + "_ItemEvent.sqlite3"), "ItemEvent")
            .Insert(ItemEventJson(kData, "old"), LocalLogtime(kNow - 60));
        PreparedComponents p(m_policy);
        const auto report = p.c.purge.PurgeLocalTelemetryStoresForDevicePathRealmChange();
        EXPECT_EQ(report.ok, ok) << user << ": " << report.error;
        EXPECT_EQ(Rows(Path("shared", kData + "_ItemEvent.sqlite3")), ok ? 0 : 1) << user;
        EXPECT_EQ(p.c.purge.IsTelemetrySyncBlocked(), true) << "the host lifts the block";
    }
}

// A purge asked for while an upload is on the wire blocks new ones and waits for it before it
// deletes anything; a stop ends that wait, and the purge stays to be run again.
TEST_F(HousekeepingTest, APurgeWaitsForTheUploadsInFlightAndAStopEndsTheWait) {
    std::ofstream(Path("service", "device_path_purge.detected_utc")) << kNow;
    WriteAged("service", kData, {3});
    const std::string file = Path("service", kData + "_ItemEvent.sqlite3");
    for (const bool stop : {true, false}) {
        fs::remove(Path("service", "device_path_purge.pending"));  // the stopped purge's, for a fresh start
        PreparedComponents p(m_policy);
        ZEL::DataSync::UploadPass pass = p.c.purge.TryBeginUpload();
        ASSERT_TRUE(pass);
        auto purge = std::async(std::launch::async, [&p] { return p.c.purge.PurgeLocalTelemetryStoresForDevicePathRealmChange(); });
        ASSERT_TRUE(testsupport::WaitUntil([this] { return Logged("waiting for 1 uploads in flight to end"); }));
        EXPECT_FALSE(p.c.purge.TryBeginUpload()) << "no upload begins meanwhile";
        EXPECT_EQ(Rows(file), 3) << "nothing is deleted under the upload";
        if (stop) p.c.stop.Cancel();
        if (!stop) pass.reset();
        const auto report = purge.get();
        EXPECT_EQ(report.ok, !stop) << report.error;
        EXPECT_EQ(Rows(file), stop ? 3 : 2) << "the dated row goes once the upload ended";
        m_logs.Clear();
    }
}

}  // namespace
