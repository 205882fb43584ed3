// The "sendTelemetry" command: which payloads give which parameters (lists or comma texts of
// names, trimmed, empty names dropped; booleans or their texts), which are refused (with one
// line in the given log and the parameters untouched), the handler's part in ProcessCommand,
// and the names of the registration trigger sources.
#include <gtest/gtest.h>

#include <climits>
#include <list>
#include <set>
#include <string>

#include "datasync/host/SendTelemetryCommand.h"
#include "support/LogCapture.h"

namespace {

using ZEL::SendTelemetryCommandHandler;
using ZEL::SendTelemetryCommandParams;
using Names = std::list<std::wstring>;

std::wstring Command(const std::wstring& fields) {
    return LR"({"command":{"action":"run","message":"sendTelemetry","fields":)" + fields + L"}}";
}

class SendTelemetryPayload : public ::testing::Test {
protected:
    SendTelemetryPayload() { ZEL::utility::InitLog(log, L"DataSync.log", 4); }

    bool Parse(const std::wstring& payload) {
        return SendTelemetryCommandHandler::DeserializeSendTelemetryCommand(log, payload, params);
    }

    testsupport::LogCapture capture;
    ZEL::Log log;
    SendTelemetryCommandParams params;
};

TEST_F(SendTelemetryPayload, ReadsAListOfNamesAndBothFlags) {
    ASSERT_TRUE(
        Parse(Command(LR"({"datasets":["Apps","Drivers"],"collectionOnly":true,"allDatasets":false})")));
    EXPECT_EQ(params.datasets, (Names{L"Apps", L"Drivers"}));
    EXPECT_TRUE(params.collectionOnly);
    EXPECT_FALSE(params.allDatasets);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(SendTelemetryPayload, ReadsACommaSeparatedTextOfNames) {
    ASSERT_TRUE(Parse(Command(LR"({"datasets":"Apps,Drivers,Battery"})")));
    EXPECT_EQ(params.datasets, (Names{L"Apps", L"Drivers", L"Battery"}));
}

TEST_F(SendTelemetryPayload, TrimsNamesAndDropsEmptyOnes) {
    ASSERT_TRUE(Parse(Command(LR"({"datasets":" Apps , ,\tDrivers ,,"})")));
    EXPECT_EQ(params.datasets, (Names{L"Apps", L"Drivers"}));
    ASSERT_TRUE(Parse(Command(LR"({"datasets":["  Apps\n", "", "   ", "Drivers"]})")));
    EXPECT_EQ(params.datasets, (Names{L"Apps", L"Drivers"}));
}

TEST_F(SendTelemetryPayload, KeepsNonAsciiNames) {
    ASSERT_TRUE(Parse(Command(LR"({"datasets":["Ger\u00e4te", "Donn\u00e9es"]})")));
    EXPECT_EQ(params.datasets, (Names{L"Ger\u00e4te", L"Donn\u00e9es"}));
}

TEST_F(SendTelemetryPayload, ReadsFlagTextsInAnyCase) {
    ASSERT_TRUE(Parse(Command(LR"({"collectionOnly":"TRUE","allDatasets":"True"})")));
    EXPECT_TRUE(params.collectionOnly);
    EXPECT_TRUE(params.allDatasets);
    ASSERT_TRUE(Parse(Command(LR"({"collectionOnly":"false","allDatasets":" FALSE "})")));
    EXPECT_FALSE(params.collectionOnly);
    EXPECT_FALSE(params.allDatasets);
}

TEST_F(SendTelemetryPayload, MissingOrNullFieldsGiveDefaults) {
    params.datasets = {L"left over"};
    params.collectionOnly = params.allDatasets = true;
    ASSERT_TRUE(Parse(Command(LR"({"allDatasets":true})")));
    EXPECT_TRUE(params.datasets.empty()) << "a parse starts from fresh parameters";
    EXPECT_FALSE(params.collectionOnly);
    EXPECT_TRUE(params.allDatasets);
    ASSERT_TRUE(Parse(Command(LR"({"datasets":null,"collectionOnly":null})")));
    EXPECT_TRUE(params.datasets.empty());
    EXPECT_FALSE(params.collectionOnly);
    ASSERT_TRUE(Parse(LR"({"command":{"action":"run","message":"sendTelemetry"}})"));
    EXPECT_FALSE(params.allDatasets);
}

TEST_F(SendTelemetryPayload, ActionAndMessageIgnoreCase) {
    EXPECT_TRUE(Parse(LR"({"command":{"action":"RUN","message":"SENDTELEMETRY","fields":{}}})"));
}

TEST_F(SendTelemetryPayload, IgnoresMemberOrderAndExtraMembers) {
    // Fields as a server sends them, members in any order and extra members ignored.
    EXPECT_TRUE(Parse(
        LR"({"id":"42","command":{"fields":{"allDatasets":"true","datasets":"A"},"message":"sendTelemetry","action":"run","extra":1}})"));
    EXPECT_EQ(params.datasets, (Names{L"A"}));
    EXPECT_TRUE(params.allDatasets);
}

class RefusedPayload : public SendTelemetryPayload, public ::testing::WithParamInterface<const wchar_t*> {};

TEST_P(RefusedPayload, IsReportedOnceAndLeavesTheParametersAlone) {
    params.datasets = {L"before"};
    params.collectionOnly = true;
    EXPECT_FALSE(Parse(GetParam()));
    EXPECT_EQ(params.datasets, (Names{L"before"}));
    EXPECT_TRUE(params.collectionOnly);
    EXPECT_FALSE(params.allDatasets);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].file, "DataSync.log");
}

INSTANTIATE_TEST_SUITE_P(
    NotACommand, RefusedPayload,
    ::testing::Values(L"", L"not json", L"[]", L"42", L"\"text\"", L"{}", L"{\"command\":7}",
                      L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\"}} x",
                      L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\"",
                      L"{\"command\":{\"message\":\"sendTelemetry\"}}",
                      L"{\"command\":{\"action\":\"stop\",\"message\":\"sendTelemetry\"}}",
                      L"{\"command\":{\"action\":\"run\",\"message\":\"reboot\"}}",
                      L"{\"command\":{\"action\":\"run\",\"message\":1}}"));

INSTANTIATE_TEST_SUITE_P(
    BadFields, RefusedPayload,
    ::testing::Values(
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":[]}}",
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":\"a\"}}",
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":{\"datasets\":5}}}",
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":{\"datasets\":{}}}}",
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":{\"datasets\":[\"a\",1]}}"
        L"}",
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":{\"collectionOnly\":"
        L"\"yes\"}}}",
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":{\"collectionOnly\":1}}}",
        L"{\"command\":{\"action\":\"run\",\"message\":\"sendTelemetry\",\"fields\":{\"allDatasets\":[true]}}"
        L"}"));

TEST_F(SendTelemetryPayload, DeeplyNestedPayloadIsRefusedWithoutThrowing) {
    const std::wstring deep = std::wstring(100000, L'[') + std::wstring(100000, L']');
    EXPECT_NO_THROW(EXPECT_FALSE(Parse(deep)));
    EXPECT_EQ(capture.Lines().size(), 1u);
}

class SendTelemetryProcess : public SendTelemetryPayload {};

TEST_F(SendTelemetryProcess, WithoutHandlerRefusesAndSaysSo) {
    SendTelemetryCommandHandler handler(log);
    ZEL::ZELNotificationData notification;
    EXPECT_FALSE(handler.ProcessCommand(notification));
    EXPECT_EQ(capture.Lines().size(), 1u);
}

TEST_F(SendTelemetryProcess, BadPayloadDoesNotReachTheHandler) {
    SendTelemetryCommandHandler handler(log);
    int calls = 0;
    handler.RegisterDuplicateTelemetryHandler([&calls](SendTelemetryCommandParams&) { ++calls; });
    ZEL::ZELNotificationData notification;  // empty payload
    EXPECT_FALSE(handler.ProcessCommand(notification));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(capture.Lines().size(), 1u);
}

TEST(CollectionWait, ReturnsAtOnceBeforeAndAfterCancel) {
    SendTelemetryCommandHandler::WaitForCollectionToComplete();
    SendTelemetryCommandHandler::Cancel();
    SendTelemetryCommandHandler::WaitForCollectionToComplete();
    SUCCEED();
}

TEST(TriggerSource, ManualRegistrationsHaveTheirExactNames) {
    EXPECT_EQ(zel::registration::TriggerSourceConverter::toString(7), L"InvokeManualRegistration");
    EXPECT_EQ(zel::registration::TriggerSourceConverter::toString(8), L"InvokeManualReRegistration");
}

TEST(TriggerSource, KnownSourcesHaveDistinctNames) {
    std::set<std::wstring> names;
    for (int source = 1; source <= 8; ++source) {
        const std::wstring name = zel::registration::TriggerSourceConverter::toString(source);
        EXPECT_NE(name, L"Unknown") << source;
        EXPECT_TRUE(names.insert(name).second) << "duplicate name for " << source;
    }
}

TEST(TriggerSource, OtherNumbersAreUnknown) {
    for (int source : {0, -1, 9, 100, INT_MIN, INT_MAX})
        EXPECT_EQ(zel::registration::TriggerSourceConverter::toString(source), L"Unknown") << source;
}

}  // namespace
