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
    EXPECT_EQ(FamilyOfPath("/kta/events-data"), "kta");
    EXPECT_EQ(FamilyOfPath("/tenant/a/kta/global-context"), "kta");
    EXPECT_EQ(FamilyOfPath("/navs/item-context"), "navs");
    EXPECT_EQ(FamilyOfPath("/NAVS/dataset-context"), "navs");
    EXPECT_EQ(FamilyOfPath("/navp"), "navp");
    EXPECT_EQ(FamilyOfPath("/x/navp/"), "navp");
    EXPECT_EQ(FamilyOfPath("/kta"), "");
    EXPECT_EQ(FamilyOfPath("/kta/"), "");
    EXPECT_EQ(FamilyOfPath("/kta/a/b"), "");
    EXPECT_EQ(FamilyOfPath("/navp/x"), "");
    EXPECT_EQ(FamilyOfPath("/"), "");
    EXPECT_EQ(FamilyOfPath("/other/events-data"), "");
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

TEST_F(CollectorServerTest, AcceptedUploadIsAnsweredAndRecordedAsOneJsonLine) {
    auto result = PostJson("/kta/events-data", R"([{"dataset_id":"d1","item_id":"i1"}])");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_TRUE(ParseJson(result->body).isObject());

    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 1u);
    const Json::Value& line = records[0];
    EXPECT_EQ(line["family"].asString(), "kta");
    EXPECT_EQ(line["path"].asString(), "/kta/events-data");
    EXPECT_EQ(line["content_type"].asString(), "application/json");
    EXPECT_EQ(line["status"].asInt(), 200);
    EXPECT_THAT(line["time"].asString(), testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z"));
    ASSERT_TRUE(line["body"].isArray());
    EXPECT_EQ(line["body"][0]["item_id"].asString(), "i1");
    EXPECT_FALSE(line.isMember("body_prefix"));
}

TEST_F(CollectorServerTest, NavpJsonFormBodyIsRecordedParsedWithItsPrefix) {
    auto result = PostJson("/navp", R"(json={"header":{"v":1},"events":[{"a":"b+c%"}]})",
                           "application/x-www-form-urlencoded");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["family"].asString(), "navp");
    EXPECT_EQ(records[0]["body_prefix"].asString(), "json=");
    EXPECT_EQ(records[0]["body"]["events"][0]["a"].asString(), "b+c%");
}

TEST_F(CollectorServerTest, NonJsonBodiesStayStrings) {
    ASSERT_TRUE(PostJson("/navs/events-data", "5 apples", "text/plain"));
    ASSERT_TRUE(PostJson("/navs/events-data", R"({"a":1} trailing)", "text/plain"));
    ASSERT_TRUE(PostJson("/kta/events-data", R"(json={"a":1})", "text/plain"));  // prefix is NAVP's only
    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["body"].asString(), "5 apples");
    EXPECT_EQ(records[1]["body"].asString(), R"({"a":1} trailing)");
    EXPECT_EQ(records[2]["body"].asString(), R"(json={"a":1})");
}

TEST_F(CollectorServerTest, UnknownPathsAre404AndNotRecorded) {
    for (const char* path : {"/", "/kta", "/kta/", "/upload/events-data", "/navp/extra"}) {
        auto result = PostJson(path, "{}");
        ASSERT_TRUE(result) << path;
        EXPECT_EQ(result->status, 404) << path;
    }
    EXPECT_TRUE(ReadRecords(recordFile).empty());
    EXPECT_EQ(collectortest::Count(*server, "kta", "requests"), 0);
}

TEST_F(CollectorServerTest, StatsCountRequestsAcceptedAndPathsPerFamily) {
    ASSERT_TRUE(SetRules(R"({"rules":["navs=500x1"]})"));
    ASSERT_TRUE(PostJson("/kta/events-data", "{}"));
    ASSERT_TRUE(PostJson("/kta/events-data", "{}"));
    ASSERT_TRUE(PostJson("/kta/item-context", "{}"));
    ASSERT_TRUE(PostJson("/navs/events-data", "{}"));
    ASSERT_TRUE(PostJson("/navs/events-data", "{}"));

    auto result = client->Get("/_stats");
    ASSERT_TRUE(result);
    ASSERT_EQ(result->status, 200);
    const Json::Value stats = ParseJson(result->body);
    EXPECT_EQ(stats["kta"]["requests"].asInt(), 3);
    EXPECT_EQ(stats["kta"]["accepted"].asInt(), 3);
    EXPECT_EQ(stats["kta"]["paths"]["/kta/events-data"].asInt(), 2);
    EXPECT_EQ(stats["kta"]["paths"]["/kta/item-context"].asInt(), 1);
    EXPECT_EQ(stats["navs"]["requests"].asInt(), 2);
    EXPECT_EQ(stats["navs"]["accepted"].asInt(), 1);
    EXPECT_EQ(stats["navp"]["requests"].asInt(), 0);
    EXPECT_TRUE(stats["navp"]["paths"].isObject());
}

TEST_F(CollectorServerTest, CountedFaultAnswersThenRunsOutAndIsRecordedWithItsStatus) {
    ASSERT_TRUE(SetRules(R"({"rules":["kta=503x2"]})"));
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 503);
    EXPECT_EQ(PostJson("/navs/events-data", "{}")->status, 200);
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 503);
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 200);

    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0]["status"].asInt(), 503);
    EXPECT_EQ(records[2]["status"].asInt(), 503);
    EXPECT_EQ(records[3]["status"].asInt(), 200);
    EXPECT_EQ(collectortest::Count(*server, "kta", "accepted"), 1);
}

TEST_F(CollectorServerTest, DeviceMissingRuleAnswersTheErrorCodeBody) {
    ASSERT_TRUE(SetRules(R"({"rules":["kta=403x1:devicemissing"]})"));
    auto result = PostJson("/kta/events-data", "{}");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 403);
    EXPECT_EQ(ParseJson(result->body)["errorCode"].asString(), "DeviceMissing");
    result = PostJson("/kta/events-data", "{}");
    EXPECT_EQ(result->status, 200);
}

TEST_F(CollectorServerTest, ControlEndpointReplacesListsAndClearsRules) {
    ASSERT_TRUE(SetRules(R"({"rules":["kta=503","navp=500x3"]})"));
    auto listed = client->Get("/_control/faults");
    ASSERT_TRUE(listed);
    const Json::Value rules = ParseJson(listed->body)["rules"];
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].asString(), "kta=503");
    EXPECT_EQ(rules[1].asString(), "navp=500x3");

    ASSERT_TRUE(SetRules(R"({"rules":["navs=429"]})"));
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 200);
    EXPECT_EQ(PostJson("/navs/events-data", "{}")->status, 429);

    ASSERT_TRUE(SetRules(R"({"rules":[]})"));
    EXPECT_EQ(PostJson("/navs/events-data", "{}")->status, 200);
}

TEST_F(CollectorServerTest, BadControlRequestIs400AndKeepsTheRules) {
    ASSERT_TRUE(SetRules(R"({"rules":["kta=503"]})"));
    for (const char* body : {R"({"rules":["kta=50"]})", R"({"rules":[5]})", R"({"rule":[]})", "not json"}) {
        auto result = client->Post("/_control/faults", body, "application/json");
        ASSERT_TRUE(result) << body;
        EXPECT_EQ(result->status, 400) << body;
        const Json::Value answer = ParseJson(result->body);
        EXPECT_FALSE(answer["ok"].asBool());
        EXPECT_FALSE(answer["error"].asString().empty());
    }
    auto result = client->Post("/_control/faults", R"({"rules":["kta=50"]})", "application/json");
    EXPECT_THAT(ParseJson(result->body)["error"].asString(), HasSubstr("\"kta=50\""));
    EXPECT_EQ(PostJson("/kta/events-data", "{}")->status, 503);
}

TEST_F(CollectorServerTest, DelayedAnswerIsCountedWhileHeldAndStopReleasesIt) {
    ASSERT_TRUE(SetRules(R"({"rules":["kta=200:delay=60000"]})"));
    auto pending = std::async(std::launch::async, [port = server->Port()] {
        httplib::Client other("127.0.0.1", port);
        return other.Post("/kta/events-data", "{}", "application/json");
    });
    ASSERT_TRUE(collectortest::WaitFor([&] { return server->Stats()["in_delay"].asInt() == 1; }));
    const auto started = std::chrono::steady_clock::now();
    server->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    pending.get();
    EXPECT_EQ(server->Stats()["in_delay"].asInt(), 0);
}

TEST(CollectorStartup, CommandLineRulesApplyFromTheFirstRequest) {
    CollectorOptions options;
    options.faultRules = {"all=500x1"};
    auto server = collectortest::StartCollector(options);
    httplib::Client client("127.0.0.1", server->Port());
    EXPECT_EQ(client.Post("/navp", "json={}", "text/plain")->status, 500);
    EXPECT_EQ(client.Post("/navp", "json={}", "text/plain")->status, 200);
}

TEST(CollectorStartup, BadRuleIsRefusedWithItsReason) {
    CollectorOptions options;
    options.faultRules = {"kta=503", "navs=4290"};
    try {
        Collector server(options);
        FAIL() << "accepted a bad rule";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), HasSubstr("\"navs=4290\""));
    }
}

TEST(CollectorStartup, UnusableCertificatesAndFilesAreRefused) {
    testsupport::TempDir temp;
    const auto& pki = collectortest::Certificates();
    CollectorOptions missingKey;
    missingKey.certFile = pki.server.cert;
    missingKey.keyFile = temp.path() + "missing.pem";
    EXPECT_THROW(Collector{missingKey}, std::runtime_error);

    CollectorOptions wrongKey;
    wrongKey.certFile = pki.server.cert;
    wrongKey.keyFile = pki.client.key;
    EXPECT_THROW(Collector{wrongKey}, std::runtime_error);

    CollectorOptions badClientCa;
    badClientCa.certFile = pki.server.cert;
    badClientCa.keyFile = pki.server.key;
    badClientCa.clientCaFile = pki.server.key;  // a key, not a certificate
    EXPECT_THROW(Collector{badClientCa}, std::runtime_error);

    CollectorOptions badRecord;
    badRecord.recordFile = temp.path() + "no-such-folder/record.jsonl";
    EXPECT_THROW(Collector{badRecord}, std::runtime_error);
}

TEST(CollectorStartup, PortInUseIsReported) {
    auto first = collectortest::StartCollector(CollectorOptions{});
    CollectorOptions options;
    options.port = first->Port();
    Collector second(options);
    EXPECT_THROW(second.Start(), std::runtime_error);
}

}  // namespace
