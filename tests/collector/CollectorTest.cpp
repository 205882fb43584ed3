// The collector as a server, driven by a plain HTTP client: which paths count as uploads, what
// a record line holds, how fault rules shape the answers, the control endpoints, and start-up
// errors. TLS behaviour is covered with the transport (CurlTransportTlsTest.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>

#include "collector/CollectorTestSupport.h"

namespace {

using collector::Collector;
using collector::CollectorOptions;
using collector::FamilyOfPath;
using collectortest::ReadRecords;
using testing::HasSubstr;

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
    return value;
}

TEST(CollectorPaths, FamilyComesFromTheLastSegments) {
    const std::pair<const char*, const char*> cases[] = {
        {"/kta/events-data", "kta"}, {"/tenant/a/kta/global-context", "kta"}, {"/NAVS/dataset-context", "navs"},
        {"/navp", "navp"},           {"/x/navp/", "navp"},                    {"/kta", ""},
        {"/kta/a/b", ""},            {"/navp/x", ""},                         {"/other/events-data", ""}};
    for (const auto& c : cases) EXPECT_EQ(FamilyOfPath(c.first), c.second) << c.first;
}

class CollectorServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        CollectorOptions options;
        options.recordFile = recordFile;
        server = collectortest::StartCollector(options);
        client = std::make_unique<httplib::Client>("127.0.0.1", server->Port());
    }

    httplib::Result PostJson(const std::string& path, const std::string& body,
                             const std::string& type = "application/json") {
        return client->Post(path.c_str(), body, type.c_str());
    }

    bool SetRules(const std::string& json, int expectStatus = 200) {
        auto result = client->Post("/_control/faults", json, "application/json");
        EXPECT_TRUE(result) << "no answer";
        if (!result) return false;
        EXPECT_EQ(result->status, expectStatus) << result->body;
        return result->status == 200;
    }

    testsupport::TempDir temp;
    std::string recordFile = temp.path() + "record.jsonl";
    std::unique_ptr<Collector> server;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(CollectorServerTest, UploadsAreAnsweredAndRecordedAsOneJsonLineEach) {
    auto result = PostJson("/kta/events-data", R"([{"dataset_id":"d1","item_id":"i1"}])");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_TRUE(ParseJson(result->body).isObject());
    ASSERT_TRUE(PostJson("/navp", R"(json={"header":{"v":1},"events":[{"a":"b+c%"}]})",
                         "application/x-www-form-urlencoded"));
    ASSERT_TRUE(PostJson("/navs/events-data", R"({"a":1} trailing)", "text/plain"));
    ASSERT_TRUE(PostJson("/kta/events-data", R"(json={"a":1})", "text/plain"));  // the prefix is NAVP's only

    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 4u);
    const Json::Value& line = records[0];
    EXPECT_EQ(line["family"].asString(), "kta");
    EXPECT_EQ(line["path"].asString(), "/kta/events-data");
    EXPECT_EQ(line["content_type"].asString(), "application/json");
    EXPECT_EQ(line["status"].asInt(), 200);
    EXPECT_THAT(line["time"].asString(), testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z"));
    EXPECT_EQ(line["body"][0]["item_id"].asString(), "i1");
    EXPECT_FALSE(line.isMember("body_prefix"));
    EXPECT_EQ(records[1]["family"].asString(), "navp");
    EXPECT_EQ(records[1]["body_prefix"].asString(), "json=");
    EXPECT_EQ(records[1]["body"]["events"][0]["a"].asString(), "b+c%");
    EXPECT_EQ(records[2]["body"].asString(), R"({"a":1} trailing)");
    EXPECT_EQ(records[3]["body"].asString(), R"(json={"a":1})");
}

TEST_F(CollectorServerTest, UnknownPathsAre404AndStatsCountPerFamily) {
    for (const char* path : {"/", "/kta/", "/upload/events-data", "/navp/extra"}) EXPECT_EQ(PostJson(path, "{}")->status, 404) << path;
    EXPECT_TRUE(ReadRecords(recordFile).empty());
    ASSERT_TRUE(SetRules(R"({"rules":["navs=500x1"]})"));
    for (const char* path : {"/kta/events-data", "/kta/events-data", "/kta/item-context", "/navs/events-data",
                             "/navs/events-data"})
        ASSERT_TRUE(PostJson(path, "{}"));

    auto result = client->Get("/_stats");
    ASSERT_TRUE(result);
    const Json::Value stats = ParseJson(result->body);
    EXPECT_EQ(stats["kta"]["requests"].asInt(), 3);
    EXPECT_EQ(stats["kta"]["accepted"].asInt(), 3);
    EXPECT_EQ(stats["kta"]["paths"]["/kta/events-data"].asInt(), 2);
    EXPECT_EQ(stats["navs"]["requests"].asInt(), 2);
    EXPECT_EQ(stats["navs"]["accepted"].asInt(), 1);
    EXPECT_EQ(stats["navp"]["requests"].asInt(), 0);
}

TEST_F(CollectorServerTest, FaultRulesShapeTheAnswersUntilTheyRunOut) {
    // The first matching rule applies; "all" matches every family; a counted rule runs out.
    ASSERT_TRUE(SetRules(R"({"rules":["kta=503x2","NAVS=403X1:DeviceMissing","all=429x1"]})"));
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 503);
    auto missing = PostJson("/navs/events-data", "{}");
    EXPECT_EQ(missing->status, 403);
    EXPECT_EQ(ParseJson(missing->body)["errorCode"].asString(), "DeviceMissing");
    EXPECT_EQ(PostJson("/navs/events-data", "{}")->status, 429);
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 503);
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 200);
    EXPECT_EQ(ParseJson(client->Get("/_control/faults")->body)["rules"].size(), 0u);
    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0]["status"].asInt(), 503);
    EXPECT_EQ(records[4]["status"].asInt(), 200);
    EXPECT_EQ(collectortest::Count(*server, "kta", "accepted"), 1);
}

TEST_F(CollectorServerTest, ControlEndpointReplacesListsAndClearsRulesAndRefusesBadOnes) {
    ASSERT_TRUE(SetRules(R"({"rules":["kta=503","navp=500x3"]})"));
    const Json::Value rules = ParseJson(client->Get("/_control/faults")->body)["rules"];
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[1].asString(), "navp=500x3");

    ASSERT_TRUE(SetRules(R"({"rules":["navs=429"]})"));
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 200);
    EXPECT_EQ(PostJson("/navs/events-data", "{}")->status, 429);
    for (const char* body : {R"({"rules":["kta=50"]})", R"({"rules":[5]})", R"({"rule":[]})", "not json"}) {
        auto result = client->Post("/_control/faults", body, "application/json");
        ASSERT_TRUE(result) << body;
        EXPECT_EQ(result->status, 400) << body;
        EXPECT_FALSE(ParseJson(result->body)["error"].asString().empty()) << body;
    }
    EXPECT_EQ(PostJson("/navs/events-data", "{}")->status, 429) << "a refused request keeps the rules";
    ASSERT_TRUE(SetRules(R"({"rules":[]})"));
    EXPECT_EQ(PostJson("/navs/events-data", "{}")->status, 200);
}

TEST_F(CollectorServerTest, DelayedAnswerIsCountedWhileHeldAndStopReleasesIt) {
    ASSERT_TRUE(SetRules(R"({"rules":["kta=200:delay=60000"]})"));
    auto pending = std::async(std::launch::async, [port = server->Port()] {
        httplib::Client other("127.0.0.1", port);
        return other.Post("/kta/events-data", "{}", "application/json");
    });
    ASSERT_TRUE(collectortest::WaitUntil([&] { return server->Stats()["in_delay"].asInt() == 1; }));
    const auto started = std::chrono::steady_clock::now();
    server->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    pending.get();
    EXPECT_EQ(server->Stats()["in_delay"].asInt(), 0);
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
        {"navs=4290", "\"navs=4290\""}};
    for (const auto& mistake : mistakes) {
        options.faultRules = {"kta=503", mistake.first};
        try {
            Collector refused(options);
            ADD_FAILURE() << "accepted " << mistake.first;
        } catch (const std::runtime_error& error) {
            EXPECT_THAT(error.what(), HasSubstr(mistake.second)) << mistake.first;
        }
    }
}

TEST(CollectorStartup, UnusableCertificatesFilesAndPortsAreRefused) {
    testsupport::TempDir temp;
    const auto& pki = collectortest::Certificates();
    const auto refused = [](const std::string& cert, const std::string& key, const std::string& clientCa,
                            const std::string& record) {
        CollectorOptions options;
        options.certFile = cert;
        options.keyFile = key;
        options.clientCaFile = clientCa;
        options.recordFile = record;
        EXPECT_THROW(Collector{options}, std::runtime_error) << cert << " " << key << " " << clientCa << " " << record;
    };
    refused(pki.server.cert, temp.path() + "missing.pem", "", "");
    refused(pki.server.cert, pki.client.key, "", "");                 // the wrong key
    refused(pki.server.cert, pki.server.key, pki.server.key, "");     // a key, not a CA certificate
    refused("", "", "", temp.path() + "no-such-folder/record.jsonl");

    auto first = collectortest::StartCollector(CollectorOptions{});
    CollectorOptions portInUse;
    portInUse.port = first->Port();
    Collector second(portInUse);
    EXPECT_THROW(second.Start(), std::runtime_error);
}

}  // namespace
