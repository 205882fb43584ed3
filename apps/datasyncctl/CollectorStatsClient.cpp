// GET /_stats with libcurl.
#include "datasyncctl/CollectorStatsClient.h"

#include <stdexcept>

namespace datasyncctl {
namespace {

size_t Append(char* data, size_t size, size_t count, void* target) {
    std::string& body = *static_cast<std::string*>(target);
    if (body.size() > 1024 * 1024) return 0;  // no stats answer is this large: stop reading
    body.append(data, size * count);
    return size * count;
}

}  // namespace

CollectorStatsClient::CollectorStatsClient(const std::string& origin, std::string caFile,
                                           std::string clientCert, std::string clientKey)
    : m_url(origin + "/_stats"),
      m_caFile(std::move(caFile)),
      m_clientCert(std::move(clientCert)),
      m_clientKey(std::move(clientKey)),
      m_curl(curl_easy_init()) {
    if (!m_curl) throw std::runtime_error("cannot make a libcurl handle for " + m_url);
}

bool CollectorStatsClient::Fetch(Json::Value& stats, std::string& error, long timeoutMs) {
    CURL* curl = m_curl.get();
    std::string body;
    char curlError[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(curl, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_CAINFO, m_caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLCERT, m_clientCert.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLKEY, m_clientKey.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curlError);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (result != CURLE_OK) {
        error = "GET " + m_url + ": " + (curlError[0] ? curlError : curl_easy_strerror(result));
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        error = "GET " + m_url + ": HTTP status " + std::to_string(status);
        return false;
    }
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), &stats, &errors) || !stats.isObject()) {
        error = "GET " + m_url + ": the answer is not a JSON object";
        return false;
    }
    return true;
}

}  // namespace datasyncctl
