// What the collector remembers of the uploads it received: one JSON line per request appended
// to the record file (flushed at once, so a reader sees every answered request), and counts
// per endpoint family and path for GET /_stats.
//
// Record line members: "family", "path", "content_type", "body", "status" (the status
// answered; 0 when the connection was dropped without an answer), "time" (UTC, milliseconds),
// "client_certificate" (the serial number in hex of the client certificate the connection
// presented; only with one). "body" holds the parsed JSON when the body is a JSON
// object or array; a NAVP body "json=<JSON>" is recorded parsed with "body_prefix":"json=";
// any other body is kept as a string.
//
// Thread safety: every member may be called from any thread.
#pragma once

#include <json/json.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/UniqueFd.h"

namespace collector {

// The endpoint family of a request path: "kta" or "navs" when the path ends with
// ".../kta/<suffix>" or ".../navs/<suffix>", "navp" when it ends with ".../navp"; empty for any
// other path. Empty segments are ignored and family names compared ignoring case, so
// "/tenant/KTA/events-data" and "/navp/" are accepted too.
std::string FamilyOfPath(const std::string& path);

struct ReceivedRequest {
    std::string family;
    std::string path;
    std::string contentType;
    std::string body;
    std::string client;  // the client's address and port: one value per connection
    std::string clientCertificate;  // serial number (hex) of the client certificate presented
};

class RequestRecorder {
public:
    // Appends to `recordFile` (created when missing); no file when empty. Throws
    // std::runtime_error naming the file when it cannot be opened.
    explicit RequestRecorder(const std::string& recordFile);
    ~RequestRecorder();
    RequestRecorder(const RequestRecorder&) = delete;
    RequestRecorder& operator=(const RequestRecorder&) = delete;

    // Records a request answered with `status`; false when the line could not be written
    // (the counts are kept anyway).
    bool Record(const ReceivedRequest& request, int status);

    // {"kta":{"requests":n,"accepted":n,"paths":{path:n}},"navs":{...},"navp":{...},
    //  "connections":n}; "accepted" counts 2xx answers, "connections" distinct clients.
    Json::Value Stats() const;

    // The record line of a request (without the trailing newline).
    static Json::Value RecordLine(const ReceivedRequest& request, int status);

private:
    struct FamilyCounts {
        long long requests = 0;
        long long accepted = 0;
        std::map<std::string, long long> paths;
    };

    mutable std::mutex m_mutex;
    platform::UniqueFd m_fd;
    std::map<std::string, FamilyCounts> m_families;  // guarded by m_mutex
    std::set<std::string> m_clients;                 // guarded by m_mutex
};

}  // namespace collector
