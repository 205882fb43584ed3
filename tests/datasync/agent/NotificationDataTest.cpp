// Server commands built and read back. The registration payload is read by the agent's
// device-missing tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datasync/common/StringUtil.h"
#include "datasync/host/Notification.h"

namespace {

using ZEL::ZELNotificationData;

TEST(ServerCommand, BuiltCommandsReadBackFieldListsAreJoinedAndOtherPayloadsReadAsEmpty) {
    const std::wstring awkward = L"quote \" backslash \\ newline \n Gr\u00f6\u00dfe";
    const ZELNotificationData command =
        ZELNotificationData::MakeServerCommand(L"run", awkward, {{L"randomDelay", L"30"}, {L"k", awkward}});
    EXPECT_TRUE(command.isKTANotification());
    EXPECT_EQ(command.getActionType() + L"|" + command.getMessageType(), L"run|" + awkward);
    EXPECT_EQ(command.getFieldValue(L"k") + L"|" + command.getFieldValue(L"absent"), awkward + L"|");
    const ZELNotificationData read(0, 0, LR"({"command":{"action":"run","message":"sendTelemetry","fields":{
              "datasets":["CPUEvent","DiskEvent"],"collectionOnly":false,"mixed":["a",1,true],"nothing":null}}})",
                                   ZELNotificationData::Kind::KTA);
    EXPECT_EQ((std::vector<std::wstring>{read.getFieldValue(L"datasets"), read.getFieldValue(L"collectionOnly"),
                                         read.getFieldValue(L"mixed"), read.getFieldValue(L"nothing")}),
              (std::vector<std::wstring>{L"CPUEvent,DiskEvent", L"false", L"a,1,true", L""}));
    for (const std::wstring& payload :  // the last one nests past the parser's limit
         {std::wstring(L"not json"), std::wstring(L"{\"command\":{\"action\":\"run\"}} trailing"),
          std::wstring(L"{\"command\":{\"action\":[\"run\"],\"message\":{\"x\":1},\"fields\":[\"datasets\"]}}"),
          std::wstring(100000, L'[') + std::wstring(100000, L']')}) {
        const ZELNotificationData data(0, 0, payload, ZELNotificationData::Kind::KTA);
        EXPECT_EQ(data.getActionType() + data.getMessageType() + data.getFieldValue(L"datasets"), L"")
            << ZEL::String::UTF16ToUTF8(payload.substr(0, 80));
    }
}

}  // namespace
