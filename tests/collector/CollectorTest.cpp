// The collector as a server, driven by a plain HTTP client. TLS: CurlTransportTlsTest.cpp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <array>
#include <future>

#include "collector/CollectorTestSupport.h"

namespace {

using collector::Collector;
using collector::CollectorOptions;
using collectortest::ParseJson;
using collectortest::ReadRecords;
using testing::HasSubstr;

TEST(CollectorPaths, FamilyComesFromTheLastSegments) {
    const std::pair<const char*, const char*> cases[] = {
        {"/kta/events-data", "kta"}, {"/tenant/a/kta/global-context", "kta"}, {"/NAVS/dataset-context", "navs"},
        {"/navp", "navp"},           {"/x/navp/", "navp"},                    {"/kta", ""},
        {"/kta/a/b", ""},            {"/navp/x", ""},                         {"/other/events-data", ""}};
    for (const auto& c : cases) EXPECT_EQ(collector::FamilyOfPath(c.first), c.second) << c.first;
}

class CollectorServerTest : public ::testing::Test {
protected:
    // The status of a POST; 0 when there was no answer.
    int Status(const std::string& path, const std::string& body = "{}", const char* type = "application/json") {
        auto result = client.Post(path.c_str(), body, type);
        return result ? result->status : 0;
    }
    Json::Value Get(const char* path) {
        auto result = client.Get(path);
        EXPECT_TRUE(result) << path;
        return result ? ParseJson(result->body) : Json::Value();
    }
    bool SetRules(const std::string& rules) { return Status("/_control/faults", R"({"rules":)" + rules + "}") == 200; }

    testsupport::TempDir temp;
    std::string recordFile = temp.path() + "record.jsonl";
    std::unique_ptr<Collector> server = collectortest::StartCollector(collectortest::Options("", "", "", recordFile));
    httplib::Client client{"127.0.0.1", server->Port()};
};

TEST_F(CollectorServerTest, UploadsAreAnsweredAndRecordedAsOneJsonLineEach) {
    EXPECT_EQ(Status("/kta/events-data", R"([{"dataset_id":"d1","item_id":"i1"}])"), 200);
    EXPECT_EQ(Status("/navp", R"(json={"events":[{"a":"b+c%"}]})", "application/x-www-form-urlencoded"), 200);
    EXPECT_EQ(Status("/navs/events-data", R"({"a":1} trailing)", "text/plain"), 200);
    EXPECT_EQ(Status("/kta/events-data", R"(json={"a":1})", "text/plain"), 200);  // the prefix is NAVP's only

    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0]["family"].asString(), "kta");
    EXPECT_EQ(records[0]["path"].asString(), "/kta/events-data");
    EXPECT_EQ(records[0]["content_type"].asString(), "application/json");
    EXPECT_THAT(records[0]["time"].asString(), testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z"));
    EXPECT_EQ(records[0]["body"][0]["item_id"].asString(), "i1");
    EXPECT_FALSE(records[0].isMember("body_prefix"));
    EXPECT_EQ(records[1]["body_prefix"].asString(), "json=");
    EXPECT_EQ(records[1]["body"]["events"][0]["a"].asString(), "b+c%");
    EXPECT_EQ(records[2]["body"].asString(), R"({"a":1} trailing)");
    EXPECT_EQ(records[3]["body"].asString(), R"(json={"a":1})");
}

TEST_F(CollectorServerTest, UnknownPathsAre404AndStatsCountPerFamily) {
    for (const char* path : {"/", "/kta/", "/upload/events-data", "/navp/extra"}) EXPECT_EQ(Status(path), 404) << path;
    EXPECT_TRUE(ReadRecords(recordFile).empty());
    ASSERT_TRUE(SetRules(R"(["navs=500x1"])"));
    for (const char* path : {"/kta/events-data", "/kta/events-data", "/kta/item-context", "/navs/events-data",
                             "/navs/events-data"})
        Status(path);
    const Json::Value stats = Get("/_stats");
    EXPECT_EQ(stats["kta"]["requests"].asInt(), 3);
    EXPECT_EQ(stats["kta"]["accepted"].asInt(), 3);
    EXPECT_EQ(stats["kta"]["paths"]["/kta/events-data"].asInt(), 2);
    EXPECT_EQ(stats["navs"]["requests"].asInt(), 2);
    EXPECT_EQ(stats["navs"]["accepted"].asInt(), 1);
    EXPECT_EQ(stats["navp"]["requests"].asInt(), 0);
}

TEST_F(CollectorServerTest, FaultRulesShapeTheAnswersUntilTheyRunOutAndBadOnesAreRefused) {
    // The first matching rule applies; "all" matches every family; a counted rule runs out.
    ASSERT_TRUE(SetRules(R"(["kta=503x2","NAVS=403X1:DeviceMissing","all=429x1"])"));
    EXPECT_EQ(Status("/kta/events-data"), 503);
    auto missing = client.Post("/navs/events-data", "{}", "application/json");
    EXPECT_EQ(missing->status, 403);
    EXPECT_EQ(ParseJson(missing->body)["errorCode"].asString(), "DeviceMissing");
    EXPECT_EQ(Status("/navs/events-data"), 429);
    EXPECT_EQ(Status("/kta/events-data"), 503);
    EXPECT_EQ(Status("/kta/events-data"), 200);
    EXPECT_EQ(Get("/_control/faults")["rules"].size(), 0u);
    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0]["status"].asInt(), 503);
    EXPECT_EQ(server->Stats()["kta"]["accepted"].asInt(), 1);

    // A new list replaces the old one; a refused list keeps it; an empty one clears it.
    ASSERT_TRUE(SetRules(R"(["kta=503","navs=429"])"));
    ASSERT_EQ(Get("/_control/faults")["rules"][1].asString(), "navs=429");
    for (const char* body : {R"({"rules":["kta=50"]})", R"({"rules":[5]})", R"({"rule":[]})", "not json"}) {
        auto result = client.Post("/_control/faults", body, "application/json");
        ASSERT_TRUE(result) << body;
        EXPECT_EQ(result->status, 400) << body;
        EXPECT_FALSE(ParseJson(result->body)["error"].asString().empty()) << body;
    }
    EXPECT_EQ(Status("/navs/events-data"), 429);
    ASSERT_TRUE(SetRules("[]"));
    EXPECT_EQ(Status("/navs/events-data"), 200);
}

TEST_F(CollectorServerTest, DroppedRequestGetsNoAnswerAndSharedRulesPickBySeed) {
    ASSERT_TRUE(SetRules(R"(["kta=dropx1"])"));
    EXPECT_EQ(Status("/kta/events-data"), 0);
    EXPECT_EQ(Status("/kta/events-data"), 200);
    EXPECT_EQ(ReadRecords(recordFile).at(0)["status"].asInt(), 0);

    // About the share of requests, the same ones for the same seed; the others fall through.
    std::vector<std::string> picks;
    for (std::uint64_t seed : {7, 7, 8}) {
        collector::FaultRules rules(seed);
        std::string error, &sequence = picks.emplace_back();
        ASSERT_TRUE(rules.Replace({"navs=503:share=30", "navs=drop:share=50"}, error)) << error;
        for (int n = 0; n < 400; ++n) {
            const auto fault = rules.Take("navs");
            sequence += !fault ? '-' : fault->drop ? 'd' : '5';
        }
    }
    EXPECT_EQ(picks[0], picks[1]);
    EXPECT_NE(picks[0], picks[2]);
    EXPECT_NEAR(std::count(picks[0].begin(), picks[0].end(), '5'), 120, 40);
    EXPECT_NEAR(std::count(picks[0].begin(), picks[0].end(), 'd'), 140, 40);
}

TEST_F(CollectorServerTest, DelayedAnswerIsCountedWhileHeldAndStopReleasesIt) {
    ASSERT_TRUE(SetRules(R"(["kta=200:delay=60000"])"));
    auto pending = std::async(std::launch::async, [port = server->Port()] {
        return httplib::Client("127.0.0.1", port).Post("/kta/events-data", "{}", "application/json");
    });
    ASSERT_TRUE(collectortest::WaitUntil([&] { return server->Stats()["in_delay"].asInt() == 1; }));
    const auto started = std::chrono::steady_clock::now();
    server->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    pending.get();
    EXPECT_EQ(server->Stats()["in_delay"].asInt(), 0);
    EXPECT_EQ(ReadRecords(recordFile).at(0)["status"].asInt(), 0);  // never answered
}

TEST(CollectorStartup, CommandLineRulesApplyFromTheFirstRequestAndBadOnesAreRefused) {
    CollectorOptions options;
    options.faultRules = {"all=500x1"};
    auto server = collectortest::StartCollector(options);
    httplib::Client client("127.0.0.1", server->Port());
    EXPECT_EQ(client.Post("/navp", "json={}", "text/plain")->status, 500);
    EXPECT_EQ(client.Post("/navp", "json={}", "text/plain")->status, 200);

    // Every mistake is refused naming the rule and the problem.
    const std::pair<const char*, const char*> mistakes[] = {
        {"kta503", "missing '='"},         {"ktx=503", "unknown family \"ktx\""},
        {"kta=600", "STATUS must be a number from 200 to 599"}, {"kta=503x0", "COUNT"},
        {"kta=200:delay=600001", "delay"}, {"kta=200:slow", "unknown option \"slow\""},
        {"kta=503:share=0", "share"},     {"kta=drop:devicemissing", "devicemissing"}};
    for (const auto& [rule, problem] : mistakes) {
        options.faultRules = {"kta=503", rule};
        try {
            Collector refused(options);
            ADD_FAILURE() << "accepted " << rule;
        } catch (const std::runtime_error& error) {
            EXPECT_THAT(error.what(), testing::AllOf(HasSubstr(problem), HasSubstr('"' + std::string(rule))));
        }
    }
}

TEST(CollectorStartup, UnusableCertificatesFilesAndPortsAreRefused) {
    testsupport::TempDir temp;
    const auto& pki = collectortest::Certificates();
    const std::string noFolder = temp.path() + "no-such-folder/record.jsonl";
    const std::array<std::string, 4> cases[] = {  // cert, key, client CA, record file
        {pki.server.cert, temp.path() + "missing.pem", "", ""},
        {pki.server.cert, pki.client.key, "", ""},              // the wrong key
        {pki.server.cert, pki.server.key, pki.server.key, ""},  // a key, not a CA certificate
        {"", "", "", noFolder}};
    for (const auto& c : cases) {
        EXPECT_THROW(Collector{collectortest::Options(c[0], c[1], c[2], c[3])}, std::runtime_error) << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
    }
    auto first = collectortest::StartCollector({});
    CollectorOptions portInUse;
    portInUse.port = first->Port();
    Collector second(portInUse);  // throws only when it starts
    EXPECT_THROW(second.Start(), std::runtime_error);
}

}  // namespace
