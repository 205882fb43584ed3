// The transport against the in-process collector over TLS and mutual TLS on loopback: what a
// successful exchange returns and records, how each certificate problem is reported (and that
// an expired client certificate sends nothing), device-missing answers, connection reuse, and
// aborting a transfer with a stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "collector/CollectorTestSupport.h"
#include "support/LogCapture.h"

namespace {

using collectortest::BaseUrl;
using collectortest::Certificates;
using collectortest::Count;
using collectortest::MutualTls;
using collectortest::Post;
using collectortest::ReadRecords;
using collectortest::ScopedTlsSettings;
using ZEL::linuxhost::CurlTransport;
namespace result = ZELCore::TransportResult;

class TransportTlsTest : public ::testing::Test {
protected:
    void StartServer(bool mutual) {
        server = collectortest::StartCollector(collectortest::TlsOptions(recordFile, mutual));
    }
    std::string KtaUrl() const { return BaseUrl(*server) + "/kta/events-data"; }

    testsupport::TempDir temp;
    testsupport::LogCapture logs;
    std::string recordFile = temp.path() + "record.jsonl";
    std::unique_ptr<collector::Collector> server;
    CurlTransport transport;
};

TEST_F(TransportTlsTest, MutualTlsExchangeReturnsTheAnswerWhateverItsStatus) {
    StartServer(true);
    std::string error;
    ASSERT_TRUE(server->Faults().Replace({"kta=503x1", "kta=403x1:devicemissing"}, error));
    ScopedTlsSettings tls(MutualTls());
    EXPECT_EQ(Post(transport, KtaUrl(), "{}").response.statusCode, 503);
    auto missing = Post(transport, KtaUrl(), "{}");
    ASSERT_EQ(missing.resultCode, result::OK);
    EXPECT_EQ(missing.response.statusCode, 403);
    EXPECT_TRUE(ZEL::CoreUtility::Is403WithDeviceMissingError(missing));
    const auto answer = Post(transport, KtaUrl(), R"([{"item_id":"i1"}])");
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.statusCode, 200);
    EXPECT_THAT(answer.response.message, testing::HasSubstr("accepted"));

    const auto records = ReadRecords(recordFile);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2]["content_type"].asString(), "application/json");
    EXPECT_EQ(records[2]["body"][0]["item_id"].asString(), "i1");
}

// Without mutual TLS the server is still verified, no client certificate is needed, and the
// client certificate's expiry does not matter.
TEST_F(TransportTlsTest, ServerVerifiedWithoutClientCertificateWhenNotAskedFor) {
    StartServer(false);
    ZEL::linuxhost::TlsSettings settings;
    settings.ca_file = Certificates().caCert;
    {
        ScopedTlsSettings tls(settings);
        EXPECT_EQ(Post(transport, BaseUrl(*server) + "/navp", "json={}", ZELCore::HTTP_AUTH_NONE, {}).response.statusCode,
                  200);
    }
    settings = MutualTls();
    settings.client_cert = Certificates().expiredClient.cert;
    settings.client_key = Certificates().expiredClient.key;
    ScopedTlsSettings tls(settings);
    EXPECT_EQ(Post(transport, KtaUrl(), "{}", ZELCore::HTTP_AUTH_NONE).response.statusCode, 200);
}

TEST_F(TransportTlsTest, ExpiredClientCertificateSendsNothing) {
    StartServer(true);
    auto settings = MutualTls();
    settings.client_cert = Certificates().expiredClient.cert;
    settings.client_key = Certificates().expiredClient.key;
    ScopedTlsSettings tls(settings);
    const auto answer = Post(transport, KtaUrl(), "{}");
    EXPECT_EQ(answer.resultCode, result::CLIENT_CERT_EXPIRED);
    EXPECT_EQ(answer.response.statusCode, 0);
    EXPECT_EQ(server->Stats()["tls_handshakes"].asInt(), 0) << "a connection was made";
    EXPECT_TRUE(ReadRecords(recordFile).empty());
}

TEST_F(TransportTlsTest, RenewedCertificateFileIsReadAgain) {
    StartServer(true);
    const std::string certPath = temp.path() + "client.pem";
    namespace fs = std::filesystem;
    fs::copy_file(Certificates().client.cert, certPath);
    auto settings = MutualTls();
    settings.client_cert = certPath;
    ScopedTlsSettings tls(settings);
    ASSERT_EQ(Post(transport, KtaUrl(), "{}").resultCode, result::OK);

    // Replaced by another file (new inode): the cached certificate must not be used.
    const std::string replacement = temp.path() + "replacement.pem";
    fs::copy_file(Certificates().expiredClient.cert, replacement);
    fs::rename(replacement, certPath);
    EXPECT_EQ(Post(transport, KtaUrl(), "{}").resultCode, result::CLIENT_CERT_EXPIRED);
}

TEST_F(TransportTlsTest, MissingOrGarbledClientCertificateIsATlsFailureNamingTheFile) {
    StartServer(true);
    auto settings = MutualTls();
    settings.client_cert = temp.path() + "absent.pem";
    {
        ScopedTlsSettings tls(settings);
        const auto answer = Post(transport, KtaUrl(), "{}");
        EXPECT_EQ(answer.resultCode, result::TLS_FAILURE);
        EXPECT_EQ(answer.response.statusCode, 0);
        EXPECT_TRUE(logs.Contains(settings.client_cert, "host.log"));
    }
    settings.client_cert = Certificates().client.key;  // PEM, but not a certificate
    {
        ScopedTlsSettings tls(settings);
        EXPECT_EQ(Post(transport, KtaUrl(), "{}").resultCode, result::TLS_FAILURE);
    }
    EXPECT_EQ(server->Stats()["tls_handshakes"].asInt(), 0);
}

TEST_F(TransportTlsTest, ServerFromAnUnknownCaIsATlsFailure) {
    collector::CollectorOptions options;
    options.certFile = Certificates().otherServer.cert;
    options.keyFile = Certificates().otherServer.key;
    options.recordFile = recordFile;
    server = collectortest::StartCollector(options);
    ScopedTlsSettings tls(MutualTls());
    const auto answer = Post(transport, KtaUrl(), "{}");
    EXPECT_EQ(answer.resultCode, result::TLS_FAILURE);
    EXPECT_EQ(answer.response.statusCode, 0);
    EXPECT_TRUE(ReadRecords(recordFile).empty());
}

TEST_F(TransportTlsTest, MissingClientCertificateIsRefusedByAMutualTlsServer) {
    StartServer(true);
    auto settings = MutualTls();
    settings.client_cert.clear();
    settings.client_key.clear();
    ScopedTlsSettings tls(settings);
    for (auto auth : {ZELCore::HTTP_AUTH_MTLS, ZELCore::HTTP_AUTH_NONE}) {
        const auto answer = Post(transport, KtaUrl(), "{}", auth);
        // The collector refuses a KTA upload without a client certificate with 496 ("certificate
        // required"), so that NAVP can be served on the same port without one.
        EXPECT_EQ(answer.resultCode, result::OK);
        EXPECT_EQ(answer.response.statusCode, 496);
    }
    EXPECT_TRUE(ReadRecords(recordFile).empty()) << "a refused upload was recorded";
}

TEST_F(TransportTlsTest, RequestsOfOneThreadShareOneConnectionAndEachThreadHasItsOwn) {
    StartServer(true);
    ScopedTlsSettings tls(MutualTls());
    auto postTwice = [this] {
        return Post(transport, KtaUrl(), "{}").response.statusCode + Post(transport, KtaUrl(), "{}").response.statusCode;
    };
    auto first = std::async(std::launch::async, postTwice);
    EXPECT_EQ(first.get(), 400);
    auto second = std::async(std::launch::async, postTwice);
    auto third = std::async(std::launch::async, postTwice);
    EXPECT_EQ(second.get(), 400);
    EXPECT_EQ(third.get(), 400);
    const Json::Value stats = server->Stats();
    EXPECT_EQ(stats["kta"]["requests"].asInt(), 6);
    EXPECT_EQ(stats["connections"].asInt(), 3);
    EXPECT_EQ(stats["tls_handshakes"].asInt(), 3);

    ASSERT_EQ(Post(transport, KtaUrl(), "{}").response.statusCode, 200);  // this thread keeps it open
    const auto started = std::chrono::steady_clock::now();
    server->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << "an idle keep-alive held the stop";
}

// The next request after the server closed a connection reconnects and offers the TLS session
// of the first: the session must either resume or be replaced, never fail the request.
TEST_F(TransportTlsTest, ReconnectAfterTheServerClosedTheConnection) {
    StartServer(true);
    ScopedTlsSettings tls(MutualTls());
    // "Connection: close" makes the collector close the connection after its answer.
    ASSERT_EQ(Post(transport, KtaUrl(), "{}", ZELCore::HTTP_AUTH_MTLS,
                   {{"Content-Type", "application/json"}, {"Connection", "close"}})
                  .response.statusCode,
              200);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Post(transport, KtaUrl(), "{}").response.statusCode, 200);
    EXPECT_EQ(server->Stats()["tls_handshakes"].asInt(), 2);

    // A new collector on the same port.
    const int port = server->Port();
    server->Stop();
    auto options = collectortest::TlsOptions(recordFile, true);
    options.port = port;
    server = collectortest::StartCollector(options);
    const auto answer = Post(transport, KtaUrl(), "{}");
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.statusCode, 200);
}

TEST_F(TransportTlsTest, TimeOutIsReportedWhenTheAnswerIsLate) {
    StartServer(true);
    std::string error;
    ASSERT_TRUE(server->Faults().Replace({"kta=200:delay=5000"}, error));
    ScopedTlsSettings tls(MutualTls(300));
    const auto started = std::chrono::steady_clock::now();
    const auto answer = Post(transport, KtaUrl(), "{}");
    EXPECT_EQ(answer.resultCode, result::TIMED_OUT);
    EXPECT_EQ(answer.response.statusCode, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST_F(TransportTlsTest, StopAbortsATransferInFlightAndRefusesNewOnesUntilCleared) {
    StartServer(true);
    std::string error;
    ASSERT_TRUE(server->Faults().Replace({"kta=200:delay=20000"}, error));
    ScopedTlsSettings tls(MutualTls(30000));
    auto pending = std::async(std::launch::async, [this] { return Post(transport, KtaUrl(), "{}"); });
    ASSERT_TRUE(collectortest::WaitUntil([&] { return server->Stats()["in_delay"].asInt() == 1; }));

    const auto started = std::chrono::steady_clock::now();
    transport.RequestStop();
    const auto aborted = pending.get();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
    EXPECT_EQ(aborted.resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(aborted.response.statusCode, 0);

    ASSERT_TRUE(server->Faults().Replace({}, error));
    EXPECT_EQ(Post(transport, KtaUrl(), "{}").resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(Count(*server, "kta", "requests"), 0) << "sent while stopped";
    transport.ClearStop();
    EXPECT_EQ(Post(transport, KtaUrl(), "{}").response.statusCode, 200);
}

}  // namespace
