// The one upload road for every family: what the answers the model (tests/model) does not give, the
// bookmark holds and the filter do to the batch, its bookmark and the outcome; the recovery after
// rows deleted below the bookmark. 200, 404, 429, 500, no answer, failed reads, a recreated file,
// the newest rows deleted and restarts are the model's.
#include <gtest/gtest.h>

#include "datasync/host/CriticalEvents.h"
#include "datasync/host/Registry.h"
#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/SyncAgentsHelper.h"
#include "datasync/upload/UploadFixture.h"
#include "support/ManualClock.h"

namespace ZEL::DataSync {
namespace {

using uploadtest::OtherDataset;
using uploadtest::TableOf;
enum Family { Kta, Navs, Navp };
const char* const kFamilyNames[] = {"KTA", "NAVS", "NAVP"};

struct ContextTables : testsupport::MemoryTables {
    ContextTables() { Add(TableOf<DeviceContext>(L""), DeviceContext()); }
};

class BatchPipelineTest : public uploadtest::UploadFixture {
protected:
    // The family's bookmark file (the families' table is in the order of Family).
    static const wchar_t* File(Family family) { return kEndpointFamilies[family].bookmarkFile; }
    UploadOutcome Upload(Family family, const std::wstring& id, SyncTypes kind = SYNC_ITEM_EVENT) {
        upload::UploadServices services = upload::HostUploadServices(InstalledStores(), m_unsaved);
        services.tables = &m_tables;
        if (family == Navp) {
            NavpSyncAgent agent(id, L"https://navp.test/", static_cast<_NavpSyncType>(kind), utility::DB_PATH_INTERNAL);
            agent.SetServices(services);
            return agent.Upload();
        }
        SyncAgentsHelper helper(id, L"https://kta.test/", kind, family == Kta ? L"KTA" : L"NAVS",
                                File(family), ZELCore::HTTP_AUTH_MTLS, false, utility::DB_PATH_INTERNAL);
        helper.SetServices(services);
        ZELCore::InvokeHttpResponse response;
        return helper.Upload(response);
    }
    // The `n`th other dataset of the policy, its table holding rows 1..rows.
    std::wstring WithRows(int n, int rows) {
        const std::wstring dataset = OtherDataset(n);
        AddEvents(m_tables, dataset, 1, rows);
        return dataset;
    }
    std::int64_t EventBookmark(Family family, const std::wstring& dataset) {
        return Bookmark(File(family), L"ItemEvent", dataset);
    }

    testsupport::ManualClock m_clock{std::chrono::system_clock::from_time_t(1796554800)};
    UnsavedBookmarks m_unsaved{m_clock};
    ContextTables m_tables;  // the uploads' (NAVP's header reads the installed ones)
};

// Accepted answers move the bookmark past the batch of ten; 400, 401, 403 and 404 drop it at KTA and
// NAVS (not a device-missing 403); everything else keeps it. KTA reports each answer in the registry
// and as critical event 1017 (cleared by a 2xx), NAVS as the critical event.
TEST_F(BatchPipelineTest, EachAnswerMovesOrKeepsTheBookmarkAndIsReported) {
    using R = UploadResult;
    const struct { const char* name; int status; const char* body; int noAnswer; R ktaNavs, navp; int code; } answers[] = {
        {"299", 299, "", 0, R::Posted, R::Posted, 299},
        {"400", 400, "", 0, R::Dropped, R::Failed, 400},
        {"401", 401, "", 0, R::Dropped, R::Failed, 401},
        {"plain 403", 403, R"({"errorCode":"Forbidden"})", 0, R::Dropped, R::Failed, 403},
        {"403 device missing", 403, R"({"errorCode":"DeviceMissing"})", 0, R::Failed, R::Failed, 403},
        {"300", 300, "", 0, R::Failed, R::Failed, 300},
        {"unresolved host", 0, "", ZELCore::TransportResult::HOST_NOT_RESOLVED, R::Failed, R::Failed, 12007},
    };
    for (Family family : {Kta, Navs, Navp}) {
        const std::wstring dataset = WithRows(family, 12);
        for (const auto& a : answers) {
            SCOPED_TRACE(std::string(kFamilyNames[family]) + " " + a.name);
            SetBookmark(File(family), L"ItemEvent", 1, dataset);
            a.status ? m_transport.QueueStatus(a.status, a.body) : m_transport.QueueNoAnswer(a.noAnswer);
            const UploadOutcome outcome = Upload(family, dataset);
            const R expected = family == Navp ? a.navp : a.ktaNavs;
            EXPECT_EQ(outcome.result, expected);
            EXPECT_EQ(outcome.status, family == Navp && a.noAnswer ? 0 : a.code);
            EXPECT_EQ(EventBookmark(family, dataset), outcome.Succeeded() ? 11 : 1);
            EXPECT_EQ(LastIds(), Ids(1, 10));
            if (family == Navp) continue;
            const bool failed = a.code < 200 || a.code > 299;
            EXPECT_EQ(CriticalEventLogger::Active().count({1017, a.code}), failed ? 1u : 0u);
            EXPECT_EQ(CriticalEventLogger::Active().empty(), !failed) << "a 2xx answer clears every failure";
            if (family == Kta) {
                long registry = -1;
                EXPECT_TRUE(utility::ReadRegistryValue(L"syncRVSError", registry) && registry == failed);
            }
        }
    }
}

// What a store, the policy or the rows themselves can do to a batch, on every family. Nothing a
// family may receive is skipped, and nothing is posted twice.
TEST_F(BatchPipelineTest, StoreFailuresFiltersAndMissingPiecesKeepOrPassTheBatchAsTheyMust) {
    for (Family family : {Kta, Navs, Navp}) {
        SCOPED_TRACE(kFamilyNames[family]);
        const std::size_t before = m_transport.Requests().size();
        const auto posted = [&] { return m_transport.Requests().size() - before; };

        // A new table's first accepted batch whose bookmark cannot be written: the file is held (no
        // post) until it takes the write it owes, then the next batch follows; the first is never
        // sent again.
        std::wstring dataset = WithRows(3 * family, 25);
        m_host.bookmarks.RefuseWritesAfter(1);  // the bookmark of 0 that starts the table
        UploadOutcome outcome = Upload(family, dataset);
        EXPECT_EQ(outcome.result, UploadResult::BookmarkNotSaved);
        EXPECT_EQ(outcome.file,
                  m_host.bookmarks.PathOf({File(family), utility::DB_PATH_INTERNAL, dataset, L"ItemEvent"}));
        EXPECT_TRUE(outcome.PostAccepted());
        m_clock.AdvanceSteady(std::chrono::milliseconds(1749));
        EXPECT_EQ(Upload(family, dataset).result, UploadResult::BookmarkNotSaved) << "held until the next timer pass";
        m_clock.AdvanceSteady(std::chrono::milliseconds(1));
        EXPECT_EQ(Upload(family, dataset).result, UploadResult::BookmarkNotSaved) << "still refused: held for longer";
        EXPECT_EQ(posted(), 1u);
        m_host.bookmarks.RefuseWritesAfter(-1);
        m_clock.AdvanceSteady(std::chrono::milliseconds(3750));  // the second hold, 4 s
        EXPECT_EQ(Upload(family, dataset).result, UploadResult::Posted);
        EXPECT_EQ(LastIds(), Ids(11, 20));
        EXPECT_TRUE(m_unsaved.CurrentStatus()->empty());
        EXPECT_EQ(EventBookmark(family, dataset), 21);

        // No include list for the dataset in the policy in force: the batch waits.
        dataset = WithRows(3 * family + 2, 3);
        m_config->ChangePolicy([&](TelemetryPolicy& policy) {
            policy.datasets.remove_if([&](const DataSet& d) { return d.dataset_id() == dataset; });
        });
        EXPECT_EQ(Upload(family, dataset).result, UploadResult::NoIncludeList);
        EXPECT_EQ(EventBookmark(family, dataset), 0);

        // The filter leaves nothing, or no row decodes: the bookmark moves past the batch unposted.
        SetIncludeEvents({L"keep"});
        EXPECT_EQ(Upload(family, dataset).result, UploadResult::AllFiltered);
        EXPECT_EQ(EventBookmark(family, dataset), 4);
        m_tables.Add(TableOf(dataset), std::monostate{});
        EXPECT_EQ(Upload(family, dataset).result, UploadResult::Undecodable);
        EXPECT_EQ(EventBookmark(family, dataset), 5);
        SetIncludeEvents({L"ALL"});
        EXPECT_EQ(posted(), 2u);
    }
    // Without a device context (NAVP's header reads it from the installed tables) nothing is built.
    m_tables.DeleteAllRows(TableOf<DeviceContext>(L""));
    m_host.tables.DeleteAllRows(TableOf<DeviceContext>(L""));
    const std::wstring dataset = WithRows(9, 3);
    EXPECT_EQ(Upload(Kta, dataset).result, UploadResult::NoDeviceContext);
    EXPECT_EQ(Upload(Navp, dataset).result, UploadResult::NotBuilt);
    EXPECT_EQ(EventBookmark(Kta, dataset) + EventBookmark(Navp, dataset), 0);
}

// Rows 1..`rows` were written, then those in `deleted` went, under a bookmark of 40.
TEST_F(BatchPipelineTest, RecoveryRestartsWhereUnsentRowsAreAndNeverSkipsAny) {
    int n = 0;
    for (const auto& [name, rows, deleted] :
         {std::tuple{"rows before the bookmark deleted", 70, std::pair{1, 59}},
          {"rows waiting after a gap", 100, {31, 59}}}) {
        SCOPED_TRACE(name);
        const std::wstring dataset = WithRows(n++, rows);
        m_tables.Remove(TableOf(dataset), deleted.first, deleted.second);
        SetBookmark(File(Kta), L"ItemEvent", 40, dataset);
        const std::size_t before = m_transport.Requests().size();
        EXPECT_EQ(Upload(Kta, dataset).result, UploadResult::Posted);
        ASSERT_EQ(m_transport.Requests().size(), before + 1);
        EXPECT_EQ(LastIds(), Ids(60, 69));
        EXPECT_EQ(EventBookmark(Kta, dataset), 70);
    }
}

}  // namespace
}  // namespace ZEL::DataSync
