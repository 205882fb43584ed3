// Shared by the collector and transport tests: one test PKI per binary, in-process collectors,
// record-file reading and transport settings installed for one test only.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "datasync-collector/Collector.h"
#include "datasync/host/Transport.h"
#include "linuxhost/HostState.h"
#include "linuxhost/transport/CurlTransport.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "support/WaitUntil.h"

namespace collectortest {

using testsupport::WaitUntil;

// Generated once per test process on first use, removed at exit.
inline const testsupport::TestCertificates& Certificates() {
    static const testsupport::TempDir folder;
    static const testsupport::TestCertificates certificates{folder.path()};
    return certificates;
}

inline collector::CollectorOptions Options(const std::string& cert, const std::string& key, const std::string& clientCa,
                                          const std::string& recordFile, int port = 0) {
    collector::CollectorOptions options;
    options.certFile = cert, options.keyFile = key, options.clientCaFile = clientCa;
    options.recordFile = recordFile, options.port = port;
    return options;
}

inline std::unique_ptr<collector::Collector> StartCollector(collector::CollectorOptions options) {
    auto server = std::make_unique<collector::Collector>(std::move(options));
    server->Start();
    return server;
}

// One JSON object; anything else fails the test.
inline Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors) && value.isObject())
        << "not a JSON object: " << text << " " << errors;
    return value;
}

// Every line of a record file, parsed.
inline std::vector<Json::Value> ReadRecords(const std::string& path) {
    std::vector<Json::Value> records;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) records.push_back(ParseJson(line));
    return records;
}

// Installs transport settings for one test; the defaults come back at the end of the scope.
struct ScopedTlsSettings {
    explicit ScopedTlsSettings(const ZEL::linuxhost::TlsSettings& tls) { ZEL::linuxhost::InstallTlsSettings(tls); }
    ~ScopedTlsSettings() { ZEL::linuxhost::InstallTlsSettings({}); }
};

// Settings that trust the test CA and present the valid client certificate.
inline ZEL::linuxhost::TlsSettings MutualTls(long timeoutMs = 5000) {
    ZEL::linuxhost::TlsSettings tls;
    tls.ca_file = Certificates().caCert;
    tls.client_cert = Certificates().client.cert, tls.client_key = Certificates().client.key;
    tls.timeout_ms = timeoutMs;
    return tls;
}

inline ZELCore::InvokeHttpResponse Post(ZEL::CoreUtility& transport, const std::string& url,
                                        const std::string& body,
                                        ZELCore::HttpAuthType auth = ZELCore::HTTP_AUTH_MTLS,
                                        const std::map<std::string, std::string>& headers = {
                                            {"Content-Type", "application/json"}}) {
    int method = ZELCore::HTTP_METHOD_POST;
    return transport.InvokeHttp(url, headers, method, body, auth, true, "");
}

inline std::string BaseUrl(const collector::Collector& server, const std::string& scheme = "https") {
    return scheme + "://127.0.0.1:" + std::to_string(server.Port());
}

}  // namespace collectortest
