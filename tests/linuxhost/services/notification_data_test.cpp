// The notification record: server commands built and read back, field texts (lists joined),
// payloads that are not JSON or not commands reading as empty, and the registration payload.
#include <gtest/gtest.h>

#include <string>

#include "datasync/host/Notification.h"
#include "datasync/host/StringUtil.h"

namespace {

using ZEL::ZELNotificationData;

ZELNotificationData Command(const std::wstring& payload) {
    return ZELNotificationData(0, 0, payload, ZELNotificationData::Kind::KTA);
}

TEST(NotificationRecord, ConstructorKeepsTopicStatePayloadAndKind) {
    const ZELNotificationData plain(4, 14, L"text");
    EXPECT_EQ(plain.getTopicId(), 4);
    EXPECT_EQ(plain.getEventState(), 14);
    EXPECT_EQ(plain.getPayload(), L"text");
    EXPECT_FALSE(plain.isKTANotification());
    EXPECT_FALSE(plain.isExtensionNotification());
    const ZELNotificationData extension(2, 0, L"", ZELNotificationData::Kind::Extension);
    EXPECT_TRUE(extension.isExtensionNotification());
    EXPECT_FALSE(extension.isKTANotification());
}

TEST(ServerCommand, BuiltCommandReadsBackActionMessageAndFields) {
    const ZELNotificationData command = ZELNotificationData::MakeServerCommand(
        L"run", L"sendTelemetry", {{L"allDatasets", L"true"}, {L"datasets", L"CPUEvent,Größe"}});
    EXPECT_TRUE(command.isKTANotification());
    EXPECT_FALSE(command.isExtensionNotification());
    EXPECT_EQ(command.getTopicId(), 0);
    EXPECT_EQ(command.getActionType(), L"run");
    EXPECT_EQ(command.getMessageType(), L"sendTelemetry");
    EXPECT_EQ(command.getFieldValue(L"allDatasets"), L"true");
    EXPECT_EQ(command.getFieldValue(L"datasets"), L"CPUEvent,Größe");
    EXPECT_EQ(command.getFieldValue(L"collectionOnly"), L"");
}

TEST(ServerCommand, BuiltPayloadHasTheCommandLayout) {
    const ZELNotificationData command =
        ZELNotificationData::MakeServerCommand(L"run", L"resetBackOffState", {{L"randomDelay", L"30"}});
    EXPECT_EQ(command.getPayload(),
              L"{\"command\":{\"action\":\"run\",\"fields\":{\"randomDelay\":\"30\"},\"message\":"
              L"\"resetBackOffState\"}}");
}

TEST(ServerCommand, TextThatNeedsEscapingSurvivesTheRoundTrip) {
    const std::wstring awkward = L"quote \" backslash \\ newline \n end";
    const ZELNotificationData command =
        ZELNotificationData::MakeServerCommand(L"run", awkward, {{L"k", awkward}});
    EXPECT_EQ(command.getMessageType(), awkward);
    EXPECT_EQ(command.getFieldValue(L"k"), awkward);
}

TEST(ServerCommandFields, ListsAreJoinedWithCommasAndScalarsBecomeText) {
    const ZELNotificationData command = Command(
        LR"({"command":{"action":"run","message":"sendTelemetry","fields":{
              "datasets":["CPUEvent","DiskEvent","NetEvent"],"collectionOnly":false,
              "count":42,"mixed":["a",1,true],"empty":[],"nothing":null}}})");
    EXPECT_EQ(command.getFieldValue(L"datasets"), L"CPUEvent,DiskEvent,NetEvent");
    EXPECT_EQ(command.getFieldValue(L"collectionOnly"), L"false");
    EXPECT_EQ(command.getFieldValue(L"count"), L"42");
    EXPECT_EQ(command.getFieldValue(L"mixed"), L"a,1,true");
    EXPECT_EQ(command.getFieldValue(L"empty"), L"");
    EXPECT_EQ(command.getFieldValue(L"nothing"), L"");
    EXPECT_EQ(command.getFieldValue(L"absent"), L"");
}

TEST(ServerCommandFields, PayloadsThatAreNotCommandsReadAsEmpty) {
    const std::wstring payloads[] = {
        L"",
        L"not json",
        L"{\"command\":",
        L"{\"command\":{\"action\":\"run\"}} trailing",  // trailing text: not one JSON value
        L"5 apples",
        L"[1,2,3]",
        L"{\"command\":\"run\"}",
        L"{\"command\":{\"action\":[\"run\"],\"message\":{\"x\":1},\"fields\":[\"datasets\"]}}",
        L"{\"other\":{\"action\":\"run\",\"message\":\"m\",\"fields\":{\"datasets\":\"A\"}}}",
    };
    for (const std::wstring& payload : payloads) {
        const ZELNotificationData data = Command(payload);
        EXPECT_EQ(data.getActionType(), L"") << ZEL::String::UTF16ToUTF8(payload);
        EXPECT_EQ(data.getMessageType(), L"") << ZEL::String::UTF16ToUTF8(payload);
        EXPECT_EQ(data.getFieldValue(L"datasets"), L"") << ZEL::String::UTF16ToUTF8(payload);
    }
}

TEST(ServerCommandFields, DeeplyNestedPayloadDoesNotThrow) {
    std::wstring deep(100000, L'[');
    const ZELNotificationData data = Command(deep + std::wstring(100000, L']'));
    EXPECT_NO_THROW({
        EXPECT_EQ(data.getActionType(), L"");
        EXPECT_EQ(data.getFieldValue(L"datasets"), L"");
    });
}

TEST(RegistrationPayload, FullPayloadIsRead) {
    const ZELNotificationData data(
        2, 0,
        LR"({"success":true,"triggerSource":"InvokeManualRegistration","deviceId":"dev-0001","message":"ok","code":7})");
    bool success = false;
    std::wstring deviceId, triggerSource, message;
    int code = -1;
    ASSERT_TRUE(
        data.deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code));
    EXPECT_TRUE(success);
    EXPECT_EQ(deviceId, L"dev-0001");
    EXPECT_EQ(triggerSource, L"InvokeManualRegistration");
    EXPECT_EQ(message, L"ok");
    EXPECT_EQ(code, 7);
}

TEST(RegistrationPayload, MissingOptionalMembersReadAsEmpty) {
    const ZELNotificationData data(2, 0, LR"({"success":false})");
    bool success = true;
    std::wstring deviceId = L"old", triggerSource = L"old", message = L"old";
    int code = 5;
    ASSERT_TRUE(
        data.deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code));
    EXPECT_FALSE(success);
    EXPECT_EQ(deviceId, L"");
    EXPECT_EQ(triggerSource, L"");
    EXPECT_EQ(message, L"");
    EXPECT_EQ(code, 0);
}

TEST(RegistrationPayload, InvalidPayloadsFailAndLeaveOutputsAsTheyWere) {
    const std::wstring payloads[] = {
        L"",
        L"registered",
        L"[true]",
        LR"({"triggerSource":"x"})",                // no success
        LR"({"success":"yes"})",                    // success not a boolean
        LR"({"success":true,"deviceId":17})",       // wrong type
        LR"({"success":true,"code":"12"})",         // wrong type
        LR"({"success":true,"code":99999999999})",  // out of range
        LR"({"success":true} {"success":false})",   // two values
    };
    for (const std::wstring& payload : payloads) {
        const ZELNotificationData data(2, 0, payload);
        bool success = true;
        std::wstring deviceId = L"d", triggerSource = L"t", message = L"m";
        int code = 9;
        EXPECT_FALSE(
            data.deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code))
            << ZEL::String::UTF16ToUTF8(payload);
        EXPECT_TRUE(success);
        EXPECT_EQ(deviceId, L"d");
        EXPECT_EQ(triggerSource, L"t");
        EXPECT_EQ(message, L"m");
        EXPECT_EQ(code, 9);
    }
}

}  // namespace
