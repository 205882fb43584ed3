// Real SQLite telemetry and bookmark files, a device context, a policy including every event, a scripted transport.
#pragma once

#include <deque>
#include <functional>
#include <sstream>

#include "datasync/common/StringUtil.h"
#include "datasync/store/RecordCodec.h"
#include "support/AgentHarness.h"
#include "support/TelemetryWriter.h"

namespace uploadtest {

inline const std::string kDataset = "6F1C2D3E-0000-4000-8000-000000000001";
inline const std::wstring kDatasetW = ZEL::String::UTF8ToUTF16(kDataset);
// Further datasets of the policy, for tests that need a fresh table per case.
inline std::string OtherDataset(int n) { return "6F1C2D3E-0000-4000-8000-00000000010" + std::to_string(n % 10); }

struct Request {
    std::string url; std::map<std::string, std::string> headers; std::string body; ZELCore::HttpAuthType auth; bool flag;
};

inline ZELCore::InvokeHttpResponse Answer(int resultCode, int status = 0, const std::string& message = "") {
    ZELCore::InvokeHttpResponse response;
    response.resultCode = resultCode;
    response.response.statusCode = status;
    response.response.message = message;
    return response;
}

// Answers 200 unless an answer was queued.
class ScriptedTransport : public ZEL::CoreUtility {
public:
    void QueueStatus(int status, const std::string& body = "") { Queue(Answer(0, status, body)); }
    void QueueNoAnswer(int resultCode) { Queue(Answer(resultCode)); }
    // Runs `hold` at the start of every request (an empty one ends that).
    void HoldEachRequest(std::function<void()> hold) { std::lock_guard lock(m_mutex); m_hold = std::move(hold); }
    std::vector<Request> Requests() { std::lock_guard lock(m_mutex); return m_requests; }

    void GetDeviceId(std::wstring& deviceId) override { deviceId = L"device-1"; }
    bool IsDeviceRegistered() override { return true; }
    ZELCore::InvokeHttpResponse InvokeHttp(const std::string& url, const std::map<std::string, std::string>& headers,
                                           int&, const std::string& body, ZELCore::HttpAuthType auth, bool flag,
                                           const std::string&) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (std::function<void()> hold = m_hold) lock.unlock(), hold(), lock.lock();  // on the wire meanwhile
        m_requests.push_back({url, headers, body, auth, flag});
        ZELCore::InvokeHttpResponse answer = Answer(0, 200);
        if (!m_answers.empty()) answer = m_answers.front(), m_answers.pop_front();
        return answer;
    }
    std::wstring GetMtlsUrl(const std::wstring& url) override { return url; }

private:
    void Queue(const ZELCore::InvokeHttpResponse& answer) { std::lock_guard lock(m_mutex); m_answers.push_back(answer); }
    std::mutex m_mutex;
    std::deque<ZELCore::InvokeHttpResponse> m_answers;
    std::vector<Request> m_requests;
    std::function<void()> m_hold;
};

class UploadFixture : public testsupport::AgentHarness {
protected:
    void SetUp() override {
        AgentHarness::SetUp();
        SetIncludeEvents({L"ALL"});
        ZEL::CoreUtility::SetInstance(&m_collector);
        WriteDeviceContext(L"dc-1");
    }
    void SetIncludeEvents(std::list<std::wstring> include, const std::wstring& navpUrl = L"") {
        ZEL::TelemetryPolicy policy;
        for (int n = -1; n < 10; ++n) {
            const std::wstring id = n < 0 ? kDatasetW : ZEL::String::UTF8ToUTF16(OtherDataset(n));
            policy.datasets.push_back(testsupport::MakeDataSet(id, L"CPUEvent", L"KTA,NAVS,NAVP", L"nrt"));
            policy.datasets.back().set_include_events(include);
        }
        policy.navpUrl = navpUrl;
        m_config->SetPolicy(policy);
    }
    std::string ServicePath(const std::string& file) { return m_dir.path() + "service/" + file; }
    // Item events with item ids "i<id>" (or `item`) in the dataset's table of the service folder.
    testsupport::TelemetryWriter& Events() {
        if (!m_events) m_events = std::make_unique<testsupport::TelemetryWriter>(ServicePath(kDataset + "_ItemEvent.sqlite3"),
                                                                              "ItemEvent");
        return *m_events;
    }
    void AddEvents(std::int64_t first, std::int64_t last, const std::string& item = "") {
        AddEvents(Events(), kDataset, first, last, item);
    }
    static void AddEvents(testsupport::TelemetryWriter& table, const std::string& dataset, std::int64_t first,
                          std::int64_t last, const std::string& item = "") {
        for (std::int64_t id = first; id <= last; ++id)
            table.Insert(testsupport::ItemEventJson(dataset, item.empty() ? "i" + std::to_string(id) : item),
                         "2026-12-06T10:00:00", id);
    }
    void WriteDeviceContext(const std::wstring& contextId, std::int64_t id = 0) {
        ZEL::DeviceContext context;
        context.set_device_context_id(contextId);
        context.set_source_component(L"collector-app");
        context.mutable_device_info().set_device_id(L"dev-" + contextId);
        std::wstring json;
        ZEL::JsonSerialize::Serialize(context, json);
        testsupport::TelemetryWriter(ServicePath("DeviceContext.sqlite3"), "DeviceContext")
            .Insert(ZEL::String::UTF16ToUTF8(json), "2026-12-06T10:00:00", id);
    }
    std::int64_t Bookmark(const std::string& file, const std::string& type, const std::string& guid = kDataset) {
        testsupport::TelemetryWriter reader(ServicePath(file), "SyncPoint_probe");
        if (reader.Scalar("SELECT count(*) FROM sqlite_master WHERE name='SyncPoint'") != 1) return -1;
        return reader.Scalar("SELECT id FROM SyncPoint WHERE guid='" + guid + "' AND type='" + type + "'");
    }
    void SetBookmark(const std::string& file, const std::string& type, std::int64_t id, const std::string& guid = kDataset) {
        const std::string key = "guid='" + guid + "' AND type='" + type + "'";
        testsupport::TelemetryWriter(ServicePath(file), "SyncPoint_probe")
            .Exec("CREATE TABLE IF NOT EXISTS SyncPoint(id integer, type LONGVARCHAR,guid LONGVARCHAR,logtime LONGVARCHAR); "
                  "DELETE FROM SyncPoint WHERE " + key + "; INSERT INTO SyncPoint(id,type,guid,logtime) VALUES(" +
                  std::to_string(id) + ",'" + type + "','" + guid + "','2026-12-06T10:00:00+00:00')");
    }
    static std::vector<std::string> ItemIds(const std::string& body) {
        Json::Value root;
        std::istringstream(body) >> root;
        std::vector<std::string> ids;
        for (const Json::Value& element : root["dataset_items_log"])
            for (const Json::Value& item : element["item_events_log"]) ids.push_back(item["item_id"].asString());
        return ids;
    }

    ScriptedTransport m_collector;
    std::unique_ptr<testsupport::TelemetryWriter> m_events;
};

}  // namespace uploadtest
