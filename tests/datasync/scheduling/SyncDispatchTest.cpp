// Uploading one database on fakes: the first family the dataset names decides the result, and a
// file of the shared folder is tried twice.
#include <gtest/gtest.h>

#include "support/FakeComponents.h"

namespace {

using testsupport::FakeHost;
using testsupport::PreparedComponents;

const std::wstring kDataset = L"6F1C2D3E-0000-4000-8000-000000000001";

TEST(SyncDispatchTest, APostIsDecidedByTheFirstNamedFamily) {
    const struct {
        const wchar_t* syncEPs;
        const wchar_t* navpUrl;
        std::vector<int> answers;
        bool ok;
        std::vector<const char*> urls;
    } cases[] = {{L"KTA,NAVS",
                  L"https://navp.test/",
                  {500} /* KTA fails, NAVS succeeds */,
                  false,
                  {"kta.test", "navs.test"}},
                 {L"NAVS", L"https://navp.test/", {}, true, {"navs.test"}},
                 {L"NAVP", L"not a url", {}, false, {}} /* NAVP named, its URL invalid */};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        FakeHost host;
        host.AddItemEvents(ZEL::utility::DB_PATH_INTERNAL, kDataset, 3);
        for (int status : c.answers) host.transport.QueueStatus(status);
        PreparedComponents p(
            host.UsePolicy(testsupport::SyncPolicy(c.syncEPs, {{kDataset, L"nrt"}}, c.navpUrl)));
        EXPECT_EQ(p.DoPost(kDataset), c.ok);
        const auto requests = host.transport.Requests();
        ASSERT_EQ(requests.size(), c.urls.size());
        for (std::size_t n = 0; n < requests.size(); ++n)
            EXPECT_NE(requests[n].url.find(c.urls[n]), std::string::npos) << requests[n].url;
    }
}

// Cannot-connect answers before the collector accepts: the result and the requests made.
TEST(SyncDispatchTest, ASharedFileIsTriedTwiceAndTheSecondAttemptDecides) {
    const std::wstring file = kDataset + L"_ItemEvent.sqlite3";
    const struct {
        std::wstring file;
        std::vector<int> failures;
        bool ok;
        int requests;
    } cases[] = {{file, {}, true, 1},
                 {file, {12029}, true, 2},
                 {file, {12029, 12029}, false, 2},
                 {ZEL::DataSync::kGlobalContextFileName, {}, true, 0} /* nothing to do is a success */};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        FakeHost host;
        host.AddItemEvents(ZEL::utility::DB_PATH_USER_SHARED, kDataset, 1);
        for (int code : c.failures) host.transport.QueueNoAnswer(code);
        PreparedComponents p(host.UsePolicy(testsupport::SyncPolicy(L"KTA", {{kDataset, L"nrt"}}, L"")));
        EXPECT_EQ(p.c.dispatch.HandleSharedNRT(c.file), c.ok);
        EXPECT_EQ(host.transport.RequestCount(), c.requests);
    }
}

}  // namespace
