#include <gtest/gtest.h>

#include "datasync/agent/SendTelemetryCommand.h"
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
    // Parses `payload` into parameters that start as `before`.
    bool Parse(const std::wstring& payload, const SendTelemetryCommandParams& before) {
        params = before;
        return SendTelemetryCommandHandler::DeserializeSendTelemetryCommand(log, payload, params);
    }
    testsupport::LogCapture capture;
    ZEL::Log log;
    SendTelemetryCommandParams params;
};

TEST_F(SendTelemetryPayload, ReadsNamesAndFlagsInTheirAcceptedForms) {
    const struct { std::wstring payload; Names datasets; bool collectionOnly, allDatasets; } cases[] = {
        {Command(LR"({"datasets":["Apps","Drivers"],"collectionOnly":true,"allDatasets":false})"),
         {L"Apps", L"Drivers"}, true, false},
        {Command(LR"({"datasets":" Apps , ,\tDrivers ,,"})"), {L"Apps", L"Drivers"}, false, false},
        {Command(LR"({"datasets":["  Ger\u00e4te\n", "", "   ", "Drivers"]})"), {L"Ger\u00e4te", L"Drivers"}, false, false},
        {Command(LR"({"collectionOnly":"TRUE","allDatasets":" True "})"), {}, true, true},
        {Command(LR"({"datasets":null,"collectionOnly":null})"), {}, false, false},
        {LR"({"command":{"action":"RUN","message":"SENDTELEMETRY"}})", {}, false, false},
        // members in any order, extra members ignored
        {LR"({"id":"42","command":{"fields":{"allDatasets":"true","datasets":"A"},"message":"sendTelemetry","action":"run","extra":1}})",
         {L"A"}, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(c.payload));
        ASSERT_TRUE(Parse(c.payload, {{L"left over"}, true, true}));  // a parse starts from fresh parameters
        EXPECT_EQ(params.datasets, c.datasets);
        EXPECT_EQ(std::make_pair(params.collectionOnly, params.allDatasets), std::make_pair(c.collectionOnly, c.allDatasets));
    }
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(SendTelemetryPayload, RefusedPayloadIsReportedOnceAndLeavesTheParametersAlone) {
    const std::wstring payloads[] = {
        L"", L"not json", L"[]", LR"({"command":7})", Command(L"{}") + L" x", Command(L"[]"),
        LR"({"command":{"message":"sendTelemetry"}})", LR"({"command":{"action":"run","message":"reboot"}})",
        LR"({"command":{"action":"stop","message":"sendTelemetry"}})", Command(LR"({"datasets":5})"),
        Command(LR"({"datasets":["a",1]})"), Command(LR"({"collectionOnly":"yes"})"),
        Command(LR"({"allDatasets":[true]})"), std::wstring(100000, L'[') + std::wstring(100000, L']')};
    for (const std::wstring& payload : payloads) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(payload.substr(0, 80)));
        capture.Clear();
        EXPECT_NO_THROW(EXPECT_FALSE(Parse(payload, {{L"before"}, true, false})));
        EXPECT_TRUE(params.datasets == Names{L"before"} && params.collectionOnly && !params.allDatasets);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].file, "DataSync.log");
    }
}

TEST_F(SendTelemetryPayload, ProcessCommandRefusesWithoutHandlerOrWithABadPayload) {
    SendTelemetryCommandHandler handler(log);
    ZEL::ZELNotificationData notification;  // empty payload
    EXPECT_FALSE(handler.ProcessCommand(notification));
    int calls = 0;
    handler.RegisterDuplicateTelemetryHandler([&calls](SendTelemetryCommandParams&) { ++calls; });
    EXPECT_FALSE(handler.ProcessCommand(notification));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(capture.Lines().size(), 2u);
}

}  // namespace
