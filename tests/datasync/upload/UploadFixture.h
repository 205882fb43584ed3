// The agent harness on fakes, a policy including every event, a registered device whose transport
// answers 200 unless the test queued answers.
#pragma once

#include <sstream>

#include "datasync/common/StringUtil.h"
#include "support/AgentHarness.h"

namespace uploadtest {

inline const std::wstring kDatasetW = L"6F1C2D3E-0000-4000-8000-000000000001";
// Further datasets of the policy, for tests that need a fresh table per case.
inline std::wstring OtherDataset(int n) {
    return L"6F1C2D3E-0000-4000-8000-00000000010" + std::to_wstring(n % 10);
}
// When the collectors logged every row.
inline const std::string kLogtime = "2026-12-06T10:00:00";

using Request = testsupport::FakeTransport::Request;

inline ZELCore::InvokeHttpResponse Answer(int resultCode, int status = 0, const std::string& message = "") {
    ZELCore::InvokeHttpResponse response;
    response.resultCode = resultCode;
    response.response.statusCode = status;
    response.response.message = message;
    return response;
}

// Rows and bookmarks are the service folder's.
constexpr auto kService = ZEL::utility::DB_PATH_INTERNAL;
using testsupport::TableOf;

class UploadFixture : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        SetIncludeEvents({L"ALL"});
        m_transport.SetRegistered(true);
        m_transport.Accept();
    }
    void SetIncludeEvents(std::list<std::wstring> include, const std::wstring& navpUrl = L"") {
        ZEL::TelemetryPolicy policy;
        for (int n = -1; n < 10; ++n) {
            policy.datasets.push_back(testsupport::MakeDataSet(n < 0 ? kDatasetW : OtherDataset(n),
                                                               L"CPUEvent", L"KTA,NAVS,NAVP", L"nrt"));
            policy.datasets.back().set_include_events(include);
        }
        policy.navpUrl = navpUrl;
        m_config->SetPolicy(policy);
    }
    // Item events with item ids "i<id>" in the dataset's table (in `tables`); ids go on from the last.
    void AddEvents(int first, int last) { AddEvents(m_host.tables, kDatasetW, first, last); }
    static void AddEvents(testsupport::MemoryTables& tables, const std::wstring& dataset, int first,
                          int last) {
        for (std::int64_t id = first; id <= last; ++id)
            ASSERT_EQ(tables.Add(TableOf(dataset),
                                 testsupport::MakeItemEvent(dataset, L"i" + std::to_wstring(id)), kLogtime),
                      id);
    }
    // The device context `id` as row `row` (the next one) of its table.
    static void WriteDeviceContext(testsupport::MemoryTables& tables, const std::wstring& id,
                                   std::int64_t row) {
        ZEL::DeviceContext context;
        context.set_device_context_id(id);
        ASSERT_EQ(tables.Add(TableOf<ZEL::DeviceContext>(L""), context, kLogtime), row);
    }
    std::int64_t Bookmark(const std::wstring& file, const std::wstring& type,
                          const std::wstring& guid = kDatasetW) {
        std::int64_t id = 0;
        const auto read = m_host.bookmarks.Read({file, kService, guid, type}, id, nullptr);
        return read == ZEL::DataSync::BookmarkRead::Found ? id : -1;
    }
    void SetBookmark(const std::wstring& file, const std::wstring& type, std::int64_t id,
                     const std::wstring& guid = kDatasetW) {
        ASSERT_TRUE(m_host.bookmarks.Write({file, kService, guid, type}, id));
    }
    // The item ids "i<first>".."i<last>".
    static std::vector<std::string> Ids(std::int64_t first, std::int64_t last) {
        std::vector<std::string> ids;
        for (std::int64_t id = first; id <= last; ++id) ids.push_back("i" + std::to_string(id));
        return ids;
    }
    // The last request's body as JSON (a NAVP body without the "json=" of its form text).
    Json::Value LastBody() {
        const std::string body = m_transport.Requests().back().body;
        Json::Value root;
        std::istringstream(body.rfind("json=", 0) == 0 ? body.substr(5) : body) >> root;
        return root;
    }
    // The item ids of the last request's events (NAVP's, or those of a KTA/NAVS body).
    std::vector<std::string> LastIds() {
        const Json::Value root = LastBody();
        std::vector<std::string> ids;
        for (const Json::Value& event : root["events"]) ids.push_back(event["e_data"]["item_id"].asString());
        for (const Json::Value& element : root["dataset_items_log"])
            for (const Json::Value& item : element["item_events_log"]) ids.push_back(item["item_id"].asString());
        return ids;
    }
};

}  // namespace uploadtest
