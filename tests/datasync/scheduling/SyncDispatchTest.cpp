#include <gtest/gtest.h>

#include "support/FakeComponents.h"

namespace {

using testsupport::FakeHost;
using testsupport::PreparedComponents;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";

// KTA fails, NAVS accepts: false. NAVP's URL is invalid, which matters only where NAVP is named.
TEST(SyncDispatchTest, APostIsDecidedByTheFirstNamedFamily) {
    using Urls = std::vector<const char*>;
    for (const auto& [syncEPs, answers, ok, urls] :
         {std::tuple{L"KTA,NAVS", std::vector{500}, false, Urls{"kta.test", "navs.test"}},
          {L"NAVS", {}, true, {"navs.test"}},
          {L"NAVP", {}, false, {}}}) {
        SCOPED_TRACE(ZEL::String::UTF16ToUTF8(syncEPs));
        FakeHost host;
        host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kDataset, 3);
        for (int status : answers) host.transport.QueueStatus(status);
        PreparedComponents p(
            host.UsePolicy(testsupport::SyncPolicy(syncEPs, {{kDataset, L"nrt"}}, L"not a url")));
        EXPECT_EQ(p.DoPost(kDataset), ok);
        const auto requests = host.transport.Requests();
        ASSERT_EQ(requests.size(), urls.size());
        for (std::size_t n = 0; n < requests.size(); ++n)
            EXPECT_NE(requests[n].url.find(urls[n]), std::string::npos) << requests[n].url;
    }
}

// Cannot-connect answers before the collector accepts: the result and the requests made. Nothing to
// do is a success.
TEST(SyncDispatchTest, ASharedFileIsTriedTwiceAndTheSecondAttemptDecides) {
    const std::wstring file = kDataset + L"_ItemEvent.sqlite3",
                       nothingToDo = ZEL::DataSync::kGlobalContextFileName;
    for (const auto& [fileName, failures, ok, requests] :
         {std::tuple{file, 0, true, 1}, {file, 1, true, 2}, {file, 2, false, 2}, {nothingToDo, 0, true, 0}}) {
        SCOPED_TRACE(testing::Message() << failures << " failures, " << requests << " requests");
        FakeHost host;
        host.AddItemEvents(ZEL::utility::DB_PATH_USER_SHARED, kDataset, 1);
        for (int n = 0; n < failures; ++n) host.transport.QueueNoAnswer(12029);
        PreparedComponents p(host.UsePolicy(testsupport::SyncPolicy(L"KTA", {{kDataset, L"nrt"}}, L"")));
        EXPECT_EQ(p.c.dispatch.HandleSharedNRT(fileName), ok);
        EXPECT_EQ(host.transport.RequestCount(), requests);
    }
}

}  // namespace
