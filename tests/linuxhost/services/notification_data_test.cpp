// The notification record: server commands built and read back, field texts (lists joined),
// payloads that are not JSON or not commands reading as empty, and the registration payload.
#include <gtest/gtest.h>

#include <string>

#include "datasync/host/Notification.h"
#include "datasync/host/StringUtil.h"

namespace {

using ZEL::ZELNotificationData;

TEST(ServerCommand, BuiltCommandHasTheLayoutAndReadsBack) {
    const std::wstring awkward = L"quote \" backslash \\ newline \n Gr\u00f6\u00dfe";
    const ZELNotificationData command =
        ZELNotificationData::MakeServerCommand(L"run", awkward, {{L"randomDelay", L"30"}, {L"k", awkward}});
    EXPECT_TRUE(command.isKTANotification());
    EXPECT_EQ(command.getActionType() + L"|" + command.getMessageType(), L"run|" + awkward);
    EXPECT_EQ(command.getFieldValue(L"k"), awkward);
    EXPECT_EQ(command.getFieldValue(L"absent"), L"");
    EXPECT_EQ(ZELNotificationData::MakeServerCommand(L"run", L"reset", {{L"randomDelay", L"30"}}).getPayload(),
              L"{\"command\":{\"action\":\"run\",\"fields\":{\"randomDelay\":\"30\"},\"message\":\"reset\"}}");
}

TEST(ServerCommand, FieldListsAreJoinedAndPayloadsThatAreNotCommandsReadAsEmpty) {
    const ZELNotificationData command(0, 0, LR"({"command":{"action":"run","message":"sendTelemetry","fields":{
              "datasets":["CPUEvent","DiskEvent"],"collectionOnly":false,"mixed":["a",1,true],"nothing":null}}})",
                                      ZELNotificationData::Kind::KTA);
    EXPECT_EQ(command.getFieldValue(L"datasets"), L"CPUEvent,DiskEvent");
    EXPECT_EQ(command.getFieldValue(L"collectionOnly"), L"false");
    EXPECT_EQ(command.getFieldValue(L"mixed"), L"a,1,true");
    EXPECT_EQ(command.getFieldValue(L"nothing"), L"");
    for (const std::wstring& payload :
         {std::wstring(L"not json"), std::wstring(L"{\"command\":{\"action\":\"run\"}} trailing"),
          std::wstring(L"{\"command\":{\"action\":[\"run\"],\"message\":{\"x\":1},\"fields\":[\"datasets\"]}}"),
          std::wstring(100000, L'[') + std::wstring(100000, L']')}) {  // nesting past the parser's limit
        const ZELNotificationData data(0, 0, payload, ZELNotificationData::Kind::KTA);
        EXPECT_NO_THROW({
            EXPECT_EQ(data.getActionType() + data.getMessageType() + data.getFieldValue(L"datasets"), L"");
        }) << ZEL::String::UTF16ToUTF8(payload.substr(0, 80));
    }
}

TEST(RegistrationPayload, MembersAreReadAndInvalidPayloadsLeaveTheOutputsAlone) {
    bool success = false;
    std::wstring deviceId, triggerSource, message;
    int code = -1;
    const auto read = [&](const std::wstring& payload) {
        return ZELNotificationData(2, 0, payload)
            .deserializePayloadForDeviceRegistration(success, deviceId, triggerSource, message, code);
    };
    ASSERT_TRUE(read(LR"({"success":true,"triggerSource":"Manual","deviceId":"dev-1","message":"ok","code":7})"));
    EXPECT_TRUE(success);
    EXPECT_EQ(deviceId + L"|" + triggerSource + L"|" + message, L"dev-1|Manual|ok");
    EXPECT_EQ(code, 7);
    ASSERT_TRUE(read(LR"({"success":false})"));
    EXPECT_EQ(deviceId + triggerSource + message, L"") << "optional members default to empty";

    for (const wchar_t* payload : {L"registered", LR"({"triggerSource":"x"})", LR"({"success":"yes"})",
                                   LR"({"success":true,"code":99999999999})",
                                   LR"({"success":true} {"success":false})"}) {
        success = true;
        deviceId = L"d";
        code = 9;
        EXPECT_FALSE(read(payload)) << ZEL::String::UTF16ToUTF8(payload);
        EXPECT_TRUE(success && deviceId == L"d" && code == 9) << "outputs changed";
    }
}

}  // namespace
