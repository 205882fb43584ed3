// Asks the collector for its counts (GET /_stats) over HTTPS with the demo's client
// certificate, verifying the collector against the demo's CA. One libcurl handle is kept, so
// the polls of one demo share a connection.
//
// Thread safety: one object belongs to one thread.
#pragma once

#include <curl/curl.h>
#include <json/json.h>

#include <memory>
#include <string>

namespace datasyncctl {

class CollectorStatsClient {
public:
    // `origin` like "https://127.0.0.1:8443". Throws std::runtime_error when libcurl cannot
    // make a handle.
    CollectorStatsClient(const std::string& origin, std::string caFile, std::string clientCert,
                         std::string clientKey);

    // The parsed answer. False with `error` (naming the URL) when the request or the answer
    // failed. Waits at most `timeoutMs`.
    bool Fetch(Json::Value& stats, std::string& error, long timeoutMs = 2000);

private:
    struct Cleanup {
        void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    };

    std::string m_url;
    std::string m_caFile;
    std::string m_clientCert;
    std::string m_clientKey;
    std::unique_ptr<CURL, Cleanup> m_curl;
};

}  // namespace datasyncctl
