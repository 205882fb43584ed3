// Helpers shared by the collector and transport tests: one set of test certificates for the
// whole binary, collectors started in-process, record-file reading, waiting on conditions with
// a deadline, and transport settings installed for one test only.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "datasync-collector/Collector.h"
#include "datasync/host/Transport.h"
#include "linuxhost/HostState.h"
#include "linuxhost/transport/CurlTransport.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "support/WaitUntil.h"

namespace collectortest {

// Generated once per test process on first use, removed at exit.
inline const testsupport::TestCertificates& Certificates() {
    struct Pki {
        testsupport::TempDir folder;
        testsupport::TestCertificates certificates{folder.path()};
    };
    static const Pki pki;
    return pki.certificates;
}

inline std::unique_ptr<collector::Collector> StartCollector(collector::CollectorOptions options) {
    auto server = std::make_unique<collector::Collector>(std::move(options));
    server->Start();
    return server;
}

// A TLS collector with the test CA's server certificate; `mutual` requires client certificates.
inline collector::CollectorOptions TlsOptions(const std::string& recordFile, bool mutual) {
    collector::CollectorOptions options;
    options.certFile = Certificates().server.cert;
    options.keyFile = Certificates().server.key;
    if (mutual) options.clientCaFile = Certificates().caCert;
    options.recordFile = recordFile;
    return options;
}

// Every line of a record file, parsed; a line that is not a JSON object fails the test.
inline std::vector<Json::Value> ReadRecords(const std::string& path) {
    std::vector<Json::Value> records;
    std::ifstream file(path);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (std::string line, errors; std::getline(file, line);) {
        const bool parsed = reader->parse(line.data(), line.data() + line.size(), &records.emplace_back(), &errors);
        EXPECT_TRUE(parsed && records.back().isObject()) << "record line is not a JSON object: " << line << " " << errors;
    }
    return records;
}

using testsupport::WaitUntil;

// Runs `work` on a thread of its own and returns its result. The thread's curl handle, and with
// it the thread's connections, end with the thread: servers that only notice a stop between
// requests then need not wait out a keep-alive time-out.
template <typename Work>
auto OnOwnThread(Work work) -> decltype(work()) {
    auto task = std::async(std::launch::async, std::move(work));
    return task.get();
}

// Installs transport settings for one test; the defaults come back at the end of the scope.
class ScopedTlsSettings {
public:
    explicit ScopedTlsSettings(const ZEL::linuxhost::TlsSettings& settings) {
        ZEL::linuxhost::InstallTlsSettings(settings);
    }
    ~ScopedTlsSettings() { ZEL::linuxhost::InstallTlsSettings(ZEL::linuxhost::TlsSettings{}); }
    ScopedTlsSettings(const ScopedTlsSettings&) = delete;
    ScopedTlsSettings& operator=(const ScopedTlsSettings&) = delete;
};

// Settings that trust the test CA and present the valid client certificate.
inline ZEL::linuxhost::TlsSettings MutualTls(long timeoutMs = 5000) {
    ZEL::linuxhost::TlsSettings tls;
    tls.ca_file = Certificates().caCert;
    tls.client_cert = Certificates().client.cert;
    tls.client_key = Certificates().client.key;
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
