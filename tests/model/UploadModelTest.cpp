// A model of the upload road, run on seeded random sequences of actions: the writer appends rows,
// deletes the newest, deletes and recreates its file; a family's server answers 200, 404, 429,
// 500 or fails the transport; the clock moves; the agent restarts; the power goes (FaultVfs
// drops every write not synced); a read, write or sync of a file fails. The real uploaders of
// the three families run on the host's SQLite bookmarks and telemetry files; beside them the
// model keeps, per family, the rows it has had (accepted, or refused for good by a KTA/NAVS 404)
// and the bookmark values the stored one may hold, and after every step checks:
//   - the bookmark file reads, and the stored bookmark is one the rules allow: past the batch
//     after an accepted or refused batch, unchanged after any other answer, after a restart
//     where it was, after a power cut one it held since the last restart;
//   - no row is skipped: every row below the bookmark has been had (and at the end, when every
//     server accepts, every row is had);
//   - a row goes again only after a power cut, or after a restart that lost an owed bookmark
//     write (then at most one batch);
//   - the one thing the rules let go: a file created again whose ids reached the bookmark
//     before the agent looked at it is taken for the old one, so its rows below the bookmark
//     are never sent (the bookmark knows ids, not files).
// A failing sequence prints DATASYNC_MODEL_SEED=<n>: that variable replays it alone;
// DATASYNC_MODEL_SEEDS sets how many sequences run (default 200, of 50 actions).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "datasync/common/StringUtil.h"
#include "datasync/config/EndpointFamilies.h"
#include "datasync/store/RecordCodec.h"
#include "datasync/upload/NavpSyncAgent.h"
#include "datasync/upload/SyncAgentsHelper.h"
#include "linuxhost/HostFolders.h"
#include "linuxhost/datastore/DataStore.h"
#include "linuxhost/datastore/HostStores.h"
#include "support/FaultVfs.h"
#include "support/ManualClock.h"
#include "support/RealHost.h"
#include "support/TelemetryWriter.h"
#include "support/TempDir.h"

namespace ZEL::DataSync {
namespace {

using testsupport::FaultVfs;

const std::string kDataset = "6F1C2D3E-0000-4000-8000-000000000001";
const std::wstring kDatasetW = String::UTF8ToUTF16(kDataset);
enum Family { kKta, kNavs, kNavp, kFamilies };
// In the order of the families table, which names them and their bookmark files.
const std::string kFamilyNames[] = {String::UTF16ToUTF8(kEndpointFamilies[kKta].name),
                                    String::UTF16ToUTF8(kEndpointFamilies[kNavs].name),
                                    String::UTF16ToUTF8(kEndpointFamilies[kNavp].name)};
std::wstring BookmarkFile(int family) {
    return kEndpointFamilies[static_cast<std::size_t>(family)].bookmarkFile;
}
const char* const kUrls[] = {"https://kta.test/v1/", "https://navs.test/v1/", "https://navp.test/p"};
enum Answer { k200, k404, k429, k500, kNoAnswer };
const int kStatuses[] = {200, 404, 429, 500, 0};

struct Post {
    int family;
    Answer answer;
    std::vector<long> serials;  // the rows' item ids "s<serial>", in order
};

// Answers each family as the step says and keeps the last post.
class ScriptedServer : public CoreUtility {
public:
    Answer answers[kFamilies] = {k200, k200, k200};
    std::optional<Post> last;

    void GetDeviceId(std::wstring& id) override { id = L"device-1"; }
    bool IsDeviceRegistered() override { return true; }
    std::wstring GetMtlsUrl(const std::wstring& url) override { return url; }
    ZELCore::InvokeHttpResponse InvokeHttp(const std::string& url, const std::map<std::string, std::string>&,
                                           int&, const std::string& body, ZELCore::HttpAuthType, bool,
                                           const std::string&) override {
        int family = 0;
        while (url.rfind(kUrls[family], 0) != 0) ++family;
        Post post{family, answers[family], {}};
        static const std::regex item("\"item_id\"\\s*:\\s*\"s(\\d+)\"");
        for (auto it = std::sregex_iterator(body.begin(), body.end(), item); it != std::sregex_iterator();
             ++it)
            post.serials.push_back(std::stol((*it)[1]));
        last = post;
        ZELCore::InvokeHttpResponse response;
        response.resultCode =
            post.answer == kNoAnswer ? ZELCore::TransportResult::OTHER_FAILURE : ZELCore::TransportResult::OK;
        response.response.statusCode = kStatuses[post.answer];
        return response;
    }
};

// What the model knows of one family.
struct FamilyModel {
    std::set<long> had;        // rows accepted, or refused for good
    std::set<long> mayResend;  // rows of `had` that may go once more
    std::int64_t stored = -1;  // the stored bookmark (-1: none)
    std::optional<std::int64_t> owed;
    std::set<std::int64_t> held{-1};  // every value it was ever stored with (-1: none)
    bool carried = false;             // the bookmark is of an older file the agent has not looked past
    int storedIn = 0;                 // the file (generation) the stored bookmark was written for
    int unsure = 0;                   // bookmark writes that failed since the last one that went through
    std::int64_t exemptBelow = 0;     // rows of this file below it are never sent (see above)
};

class UploadModel {
public:
    UploadModel(unsigned seed, FaultVfs& vfs) : m_random(seed), m_vfs(vfs) {
        m_service = m_dir.sub("service");
        linuxhost::InstallHostFolders(
            {m_service, m_dir.sub("shared"), m_dir.sub("local"), m_dir.sub("log"), m_dir.sub("state")});
        DeviceContext context;
        context.set_device_context_id(L"dc-1");
        context.mutable_device_info().set_device_id(L"device-1");
        std::wstring json;
        JsonSerialize::Serialize(context, json);
        testsupport::TelemetryWriter(m_service + "DeviceContext.sqlite3", "DeviceContext")
            .Insert(String::UTF16ToUTF8(json));
        m_table = m_service + kDataset + "_ItemEvent.sqlite3";
        m_writer = std::make_unique<testsupport::TelemetryWriter>(m_table, "ItemEvent");
        CoreUtility::SetInstance(&m_server);
    }
    ~UploadModel() {
        CoreUtility::SetInstance(nullptr);
        m_writer.reset();
        CloseAll();
        m_vfs.Forget(m_dir.path());
    }

    // Runs `actions` random steps and then lets every family send all it may; the first
    // violated rule, with the steps that led there, or empty.
    std::string Run(int actions) {
        for (int step = 0; step < actions && m_failure.empty(); ++step) Step();
        for (int f = 0; f < kFamilies; ++f) m_server.answers[f] = k200;
        bool busy = true;
        for (int round = 0; busy && round < 40 && m_failure.empty(); ++round) {
            m_clock.AdvanceSteady(std::chrono::seconds(61));
            busy = false;
            for (int f = 0; f < kFamilies && m_failure.empty(); ++f)
                busy |= Upload(f) != UploadResult::NothingToSend || m_server.last;
        }
        for (int f = 0; f < kFamilies && m_failure.empty(); ++f)
            for (const auto& [id, serial] : m_rows)
                if (id >= m_families[f].exemptBelow && m_families[f].had.count(serial) == 0)
                    Fail(kFamilyNames[f] + " never had row " + std::to_string(id));
        return m_failure.empty() ? "" : m_failure + "\nsteps:" + m_trace.str();
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }
    void CloseAll() { DatabaseManager::GetInstance()->CloseCachedDatabasesUnderPath(m_dir.wpath()); }
    void Fail(const std::string& what) {
        if (m_failure.empty()) m_failure = what;
    }
    BookmarkKey KeyOf(int f) const {
        return {BookmarkFile(f), utility::DB_PATH_INTERNAL, kDatasetW, ItemEvent::TypeName()};
    }
    std::int64_t StoredBookmark(int f) {
        std::int64_t id = -1;
        if (linuxhost::HostStores().bookmarks->Read(KeyOf(f), id) == BookmarkRead::Failed)
            Fail(std::string("the bookmark file of ") + kFamilyNames[f] + " cannot be read");
        return id;
    }

    void Step() {
        const int roll = Pick(100), f = Pick(kFamilies);
        if (roll < 25) {
            const int rows = 1 + Pick(12);
            m_trace << " append" << rows;
            m_writer->Exec("BEGIN");
            for (int n = 0; n < rows; ++n, ++m_serial) {
                const std::int64_t id =
                    m_writer->Insert(testsupport::ItemEventJson(kDataset, "s" + std::to_string(m_serial)));
                m_rows[id] = m_serial;
                m_largestEver = std::max(m_largestEver, id);
            }
            m_writer->Exec("COMMIT");
        } else if (roll < 30) {
            m_trace << " delete-newest";
            if (!m_rows.empty()) {
                m_writer->Exec("DELETE FROM ItemEvent WHERE id = " + std::to_string(m_rows.rbegin()->first));
                m_rows.erase(std::prev(m_rows.end()));
            }
        } else if (roll < 33) {
            m_trace << " recreate";
            m_writer.reset();
            for (const char* suffix : {"", "-journal"}) std::filesystem::remove(m_table + suffix);
            m_vfs.Forget(m_table);
            m_writer = std::make_unique<testsupport::TelemetryWriter>(m_table, "ItemEvent");
            m_rows.clear(), m_largestEver = 0, ++m_generation;
            for (FamilyModel& family : m_families) family.carried = true, family.exemptBelow = 0;
        } else if (roll < 65) {
            const int weights[] = {50, 60, 70, 85, 100}, answer = Pick(100);
            m_server.answers[f] =
                static_cast<Answer>(std::upper_bound(weights, weights + 5, answer) - weights);
            m_trace << " " << kFamilyNames[f] << ":" << kStatuses[m_server.answers[f]];
            Upload(f);
        } else if (roll < 75) {
            const int seconds[] = {1, 3, 30, 61}, chosen = seconds[Pick(4)];
            m_trace << " +" << chosen << "s";
            m_clock.AdvanceSteady(std::chrono::seconds(chosen));
        } else if (roll < 81) {
            m_trace << " restart";
            Restart(false);
        } else if (roll < 87) {
            m_trace << " power-cut";
            Restart(true);
        } else {
            const FaultVfs::Op op = static_cast<FaultVfs::Op>(Pick(3));
            const int codes[] = {SQLITE_IOERR_READ, Pick(2) ? SQLITE_FULL : SQLITE_IOERR_WRITE,
                                 SQLITE_IOERR_FSYNC};
            const bool telemetry = Pick(4) == 0;
            const std::string file = telemetry
                                         ? kDataset + "_ItemEvent.sqlite3"
                                         : String::UTF16ToUTF8(BookmarkFile(f)) + (Pick(2) ? "-wal" : "");
            const int skip = Pick(3);
            m_server.answers[f] = k200;
            m_trace << " " << kFamilyNames[f] << ":fail-"
                    << "rws"[static_cast<int>(op)] << skip << "-" << file;
            m_vfs.Arm("/" + file, op, skip, codes[static_cast<int>(op)]);
            Upload(f);
        }
        for (int f2 = 0; f2 < kFamilies; ++f2) CheckNothingSkipped(f2);
    }

    UploadOutcome RunUploader(int f) {
        const auto all = [](const std::wstring&, std::list<std::wstring>& in) { return in = {L"ALL"}, true; };
        // The host's stores, the bookmark files held since the last restart, never blocked, every event.
        const Stores host = linuxhost::HostStores();
        const upload::UploadServices services{host.tables, host.bookmarks, m_unsaved.get(), {}, all};
        const std::wstring url = String::UTF8ToUTF16(kUrls[f]);
        if (f == kNavp) {
            NavpSyncAgent agent(kDatasetW, url, NAVP_ITEM_EVENT, utility::DB_PATH_INTERNAL);
            agent.SetServices(services);
            return agent.Upload();
        }
        SyncAgentsHelper helper(kDatasetW, url, SYNC_ITEM_EVENT, f == kKta ? L"KTA" : L"NAVS",
                                BookmarkFile(f), ZELCore::HTTP_AUTH_MTLS, false, utility::DB_PATH_INTERNAL);
        helper.SetServices(services);
        ZELCore::InvokeHttpResponse response;
        return helper.Upload(response);
    }

    UploadResult Upload(int f) {
        FamilyModel& family = m_families[f];
        const std::int64_t readFrom = family.owed.value_or(family.stored);
        m_server.last.reset();
        const UploadOutcome outcome = RunUploader(f);
        m_vfs.Disarm();  // the fault was the upload's
        const std::int64_t now = StoredBookmark(f);
        const std::string name = kFamilyNames[f];
        // Which values the stored bookmark may hold now: unchanged, or the owed write made.
        std::set<std::int64_t> allowed{family.stored, family.stored < 0 ? 0 : family.stored};
        if (family.owed) allowed.insert(*family.owed);
        std::optional<std::int64_t> owedNext = family.owed;
        bool moved = false;  // a taken batch moved the bookmark (or owes it the move)
        if (m_server.last) {
            const Post& post = *m_server.last;
            std::int64_t lastId = 0;
            for (long serial : post.serials) {
                for (const auto& [id, s] : m_rows)
                    if (s == serial) lastId = std::max(lastId, id);
                if (family.had.count(serial) == 0) continue;
                if (family.mayResend.count(serial) == 0)
                    Fail(name + " was sent row s" + std::to_string(serial) + " twice");
            }
            const bool taken = post.answer == k200 || (post.answer == k404 && f != kNavp);
            const UploadResult result = outcome.result;
            if (taken)
                for (long serial : post.serials) family.had.insert(serial), family.mayResend.erase(serial);
            if (taken && result == UploadResult::BookmarkNotSaved)
                owedNext = lastId + 1, moved = true, ++family.unsure;
            else if (taken && (result == UploadResult::Posted || result == UploadResult::Dropped))
                allowed = {lastId + 1}, owedNext.reset(), moved = true, family.unsure = 0;
            else if (taken || result != UploadResult::Failed)
                Fail(name + ": a " + (taken ? "taken" : "refused") + " batch gave outcome " +
                     std::to_string(static_cast<int>(result)));
        }
        if (allowed.count(now) == 0)
            Fail(name + ": the bookmark is " + std::to_string(now) + ", not an allowed value");
        if (family.owed && now == *family.owed && owedNext == family.owed) owedNext.reset();
        family.owed = owedNext;
        if (now != family.stored) family.storedIn = m_generation;
        family.stored = now;
        family.held.insert(now);
        if (family.owed) family.held.insert(*family.owed);
        // The first look at a file created again: the rules take it for the old one when its ids
        // reach the bookmark.
        const bool looked = m_server.last || outcome.result == UploadResult::NothingToSend;
        if (family.carried && looked && m_largestEver > 0) {
            if (m_largestEver >= readFrom - 1) family.exemptBelow = readFrom;
            family.carried = m_largestEver < readFrom - 1 && !moved;
        }
        return outcome.result;
    }

    void CheckNothingSkipped(int f) {
        const FamilyModel& family = m_families[f];
        const std::int64_t bookmark = family.owed.value_or(family.stored);  // an owed write goes first
        // A bookmark past the file's ids: the agent reads it from its first row.
        if (family.carried || bookmark > m_largestEver + 1) return;
        for (const auto& [id, serial] : m_rows)
            if (id < bookmark && id >= family.exemptBelow && family.had.count(serial) == 0)
                Fail(kFamilyNames[f] + " skipped row " + std::to_string(id) + " (bookmark " +
                     std::to_string(family.stored) + ")");
    }

    // The agent's process ends (and with the power, the writer's too) and starts again.
    void Restart(bool powerCut) {
        if (powerCut) {
            m_vfs.CutPower([&] { m_writer.reset(), CloseAll(); });
            m_writer = std::make_unique<testsupport::TelemetryWriter>(m_table, "ItemEvent");
            if (m_writer->Scalar("select count(*) from ItemEvent") !=
                static_cast<std::int64_t>(m_rows.size()))
                Fail("the writer's synced rows did not survive the power cut");
        } else {
            CloseAll();
        }
        m_unsaved = std::make_unique<UnsavedBookmarks>(m_clock);
        for (int f = 0; f < kFamilies; ++f) {
            FamilyModel& family = m_families[f];
            const std::int64_t now = StoredBookmark(f);
            const std::int64_t before = family.owed.value_or(family.stored);
            // A write reported failed may have landed all the same (a failed sync of its WAL).
            if (powerCut ? family.held.count(now) == 0
                         : now != family.stored && now != before && !(family.stored < 0 && now == 0))
                Fail(kFamilyNames[f] + ": after the " + (powerCut ? "power cut" : "restart") +
                     " the bookmark is " + std::to_string(now));
            // What may go again: the rows from the bookmark on (all of the file when the bookmark
            // lies past it: the agent takes the file for one created again).
            const bool pastTheFile = now > m_largestEver + 1;
            int again = 0;
            for (const auto& [id, serial] : m_rows)
                if (family.had.count(serial) && (pastTheFile || (id >= now && (powerCut || id < before))))
                    again += family.mayResend.insert(serial).second;
            // At most a batch per crash and per bookmark write that failed before it.
            if (again > 10 * (1 + family.unsure))
                Fail(kFamilyNames[f] + ": " + std::to_string(again) + " rows go again after the " +
                     (powerCut ? "power cut" : "restart"));
            // Back to a bookmark of an older file (the move into this one was lost).
            if (pastTheFile || family.storedIn != m_generation) family.carried = true;
            family.stored = now, family.owed.reset();
            if (powerCut) family.unsure = 0;
        }
    }

    std::mt19937 m_random;
    FaultVfs& m_vfs;
    testsupport::TempDir m_dir;
    std::string m_service, m_table;
    testsupport::ManualClock m_clock{std::chrono::system_clock::from_time_t(1796554800)};
    std::unique_ptr<UnsavedBookmarks> m_unsaved = std::make_unique<UnsavedBookmarks>(m_clock);
    ScriptedServer m_server;
    std::unique_ptr<testsupport::TelemetryWriter> m_writer;
    std::map<std::int64_t, long> m_rows;  // the table: row id -> serial
    std::int64_t m_largestEver = 0;       // of the current file
    int m_generation = 0;                 // files created again
    long m_serial = 1;
    FamilyModel m_families[kFamilies];
    std::ostringstream m_trace;
    std::string m_failure;
};

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

TEST(UploadModelTest, RandomSequencesKeepEveryRowAndSendItAgainOnlyAfterACrash) {
    testsupport::InstallRealHost();
    linuxhost::InstallHostStores();
    FaultVfs vfs;
    const unsigned replay = EnvNumber("DATASYNC_MODEL_SEED", 0);  // the seeds start at 1
    const unsigned first = replay ? replay : 1, count = replay ? 1 : EnvNumber("DATASYNC_MODEL_SEEDS", 200);
    int failures = 0;
    for (unsigned seed = first; seed < first + count && failures < 3; ++seed) {
        const std::string failure = UploadModel(seed, vfs).Run(50);
        if (!failure.empty()) ++failures, ADD_FAILURE() << "DATASYNC_MODEL_SEED=" << seed << ": " << failure;
    }
}

}  // namespace
}  // namespace ZEL::DataSync
