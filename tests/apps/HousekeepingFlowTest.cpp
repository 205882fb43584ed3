// Housekeeping end to end: the real datasyncd against the collector over mutual TLS. A stored
// device path of another realm blocks every upload from the start (across a restart too);
// `datasyncctl purge` deletes the rows logged up to the detection and the device contexts and
// reports it; after `datasyncctl resume` new rows flow. Then a "sendTelemetry" command makes the
// newest row of the fully sent dataset arrive a second time.
#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "DaemonFlowFixture.h"

namespace {

using namespace datasyncctl;
using appstest::Poll;
using std::chrono::seconds;

const char* const kDeviceId = "hk-device-0001";

class HousekeepingFlow : public appstest::DaemonFlow {
protected:
    void Prepare(const std::string& realm) {
        const std::vector<DemoDataset> demo = DemoDatasets(1, "5s");
        m_live = demo[0];
        m_live.name = "CPUEvent";  // a dataset name the "sendTelemetry" command knows
        m_context = demo[2];
        m_context.syncEPs = "NAVP";
        // The purge works on the shared folder as the logged-on user; a root daemon needs one.
        ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
        ASSERT_NO_FATAL_FAILURE(Lay(kDeviceId, {m_live, m_context}, {}, [&](Json::Value& config) {
            config["device"]["realm"] = realm;
            config["logon_user"] = ::geteuid() == 0 ? "nobody" : "";
        }));
    }
    void WriteDeviceContext(const std::string& realm) {
        Json::Value row;
        std::istringstream(DeviceContextJson(kDeviceId, m_contextId)) >> row;
        row["device_info"]["device_path"] = "organization\\" + realm;
        Json::StreamWriterBuilder compact;
        compact["indentation"] = "";
        TelemetryRowWriter(m_layout.serviceDir + m_context.DatabaseFile(), "DeviceContext")
            .Insert(Json::writeString(compact, row));
    }
    void WriteRows(int first, int last) {
        TelemetryRowWriter rows(m_layout.serviceDir + m_live.DatabaseFile(), "ItemEvent");
        for (int n = first; n <= last; ++n)
            rows.Insert(ItemEventJson(m_live.id, m_live.name, m_live.ItemId(n), m_contextId, n));
    }
    int Accepted(const std::string& family) {
        std::string error;
        EXPECT_TRUE(m_tally.Poll(error)) << error;
        return m_tally.Accepted(family, m_live.id);
    }
    std::string PurgeState() { return Status()["purge"]["state"].asString(); }

    DemoDataset m_live;
    DemoDataset m_context;
};

TEST_F(HousekeepingFlow, ARealmChangeBlocksUploadsUntilThePurgeAndTheResumeAndSendTelemetryResends) {
    ASSERT_NO_FATAL_FAILURE(Prepare("new"));
    WriteDeviceContext("old");
    WriteRows(1, 10);
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    EXPECT_EQ(PurgeState(), "pending") << Status()["purge"].toStyledString() << AgentErrors();
    ASSERT_NO_FATAL_FAILURE(StartDaemon("datasyncd-restarted"));
    EXPECT_EQ(PurgeState(), "pending") << "the markers outlive a restart";
    EXPECT_EQ(Accepted("kta") + Accepted("navs"), 0);

    const appstest::Finished purge = Ctl({"purge"});
    EXPECT_EQ(purge.exitCode, 0) << purge.out << purge.err;
    EXPECT_NE(purge.out.find("10 rows deleted in 1 files"), std::string::npos) << purge.out;
    EXPECT_NE(purge.out.find("1 device contexts cleared"), std::string::npos) << purge.out;
    EXPECT_EQ(PurgeState(), "purged, awaiting resume");
    const appstest::Finished resume = Ctl({"resume"});
    EXPECT_EQ(resume.exitCode, 0) << resume.out << resume.err;
    EXPECT_EQ(PurgeState(), "normal");

    WriteDeviceContext("new");
    WriteRows(11, 15);
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= 5 && Accepted("navs") >= 5; }, seconds(20)))
        << "kta " << Accepted("kta") << ", navs " << Accepted("navs") << AgentErrors();
    EXPECT_EQ(Accepted("kta"), 5) << "the rows of the old realm are gone";
    EXPECT_EQ(Ctl({"resume"}).exitCode, 1) << "no purge left to resume from";

    // A "sendTelemetry" command sends the newest row of the fully sent dataset again, once.
    ASSERT_EQ(m_tally.Duplicates("kta"), 0);
    const appstest::Finished command = Ctl({"command", "run", "sendTelemetry", "--field", "datasets=CPUEvent"});
    ASSERT_EQ(command.exitCode, 0) << command.out << command.err;
    EXPECT_TRUE(Poll([&] { return Accepted("kta") >= 0 && m_tally.Duplicates("kta") >= 1; }, seconds(20)))
        << AgentErrors();
    EXPECT_EQ(m_tally.Duplicates("kta"), 1) << "the newest row, once";
    EXPECT_EQ(m_daemon->Stop(seconds(15)), "") << ReadTextFile(m_daemon->ErrFile());
}

}  // namespace
