// The transport against the in-process collector over TLS and mutual TLS on loopback: what a
// successful exchange returns and records, how each certificate problem is reported (and that
// a certificate refused on the client's side sends nothing), a renewed certificate file,
// connection reuse and reconnection, time-outs, and aborting a transfer with a stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>

#include "collector/CollectorTestSupport.h"
#include "support/LogCapture.h"

namespace {

using collectortest::BaseUrl;
using collectortest::Certificates;
using collectortest::MutualTls;
using collectortest::Post;
using collectortest::ReadRecords;
using collectortest::ScopedTlsSettings;
using ZEL::linuxhost::CurlTransport;
using ZEL::linuxhost::TlsSettings;
using namespace std::chrono_literals;
namespace result = ZELCore::TransportResult;

class TransportTlsTest : public ::testing::Test {
protected:
    void StartServer(bool mutual, const testsupport::CertificateFiles* serverCert = nullptr) {
        collector::CollectorOptions options = collectortest::TlsOptions(recordFile, mutual);
        if (serverCert) options.certFile = serverCert->cert, options.keyFile = serverCert->key;
        server = collectortest::StartCollector(options);
    }
    std::string KtaUrl() const { return BaseUrl(*server) + "/kta/events-data"; }
    void FaultRules(const std::vector<std::string>& rules) {
        std::string error;
        ASSERT_TRUE(server->Faults().Replace(rules, error)) << error;
    }
    int Handshakes() const { return server->Stats()["tls_handshakes"].asInt(); }
    template <typename Call>
    static std::chrono::steady_clock::duration Timed(Call call) {
        const auto started = std::chrono::steady_clock::now();
        call();
        return std::chrono::steady_clock::now() - started;
    }

    testsupport::TempDir temp;
    testsupport::LogCapture logs;
    std::string recordFile = temp.path() + "record.jsonl";
    std::unique_ptr<collector::Collector> server;
    CurlTransport transport;
};

TEST_F(TransportTlsTest, MutualTlsExchangeReturnsTheAnswerWhateverItsStatusAndNavpNeedsNoClientCertificate) {
    StartServer(true);
    FaultRules({"kta=503x1", "kta=403x1:devicemissing"});
    ScopedTlsSettings tls(MutualTls());
    EXPECT_EQ(Post(transport, KtaUrl(), "{}").response.statusCode, 503);
    auto missing = Post(transport, KtaUrl(), "{}");
    EXPECT_EQ(missing.resultCode, result::OK);
    EXPECT_TRUE(ZEL::CoreUtility::Is403WithDeviceMissingError(missing)) << "status and body come back";
    const auto answer = Post(transport, KtaUrl(), R"([{"item_id":"i1"}])");
    EXPECT_EQ(answer.response.statusCode, 200);
    EXPECT_THAT(answer.response.message, testing::HasSubstr("accepted"));
    EXPECT_EQ(ReadRecords(recordFile).at(2)["body"][0]["item_id"].asString(), "i1");

    // Without mutual TLS (NAVP) no client certificate is presented, so its expiry does not matter.
    TlsSettings settings = MutualTls();
    settings.client_cert = Certificates().expiredClient.cert, settings.client_key = Certificates().expiredClient.key;
    ScopedTlsSettings navp(settings);
    EXPECT_EQ(Post(transport, BaseUrl(*server) + "/navp", "json={}", ZELCore::HTTP_AUTH_NONE, {}).response.statusCode,
              200);
}

TEST_F(TransportTlsTest, EachCertificateProblemIsReportedAndNothingIsRecorded) {
    const std::string absent = temp.path() + "absent.pem";
    const struct {
        const char* name;
        std::function<void(TlsSettings&)> change;
        bool unknownServer;
        int resultCode, status;
        bool clientRefuses;  // refused before any handshake
    } cases[] = {
        {"expired client certificate",
         [](TlsSettings& s) {
             s.client_cert = Certificates().expiredClient.cert, s.client_key = Certificates().expiredClient.key;
         },
         false, result::CLIENT_CERT_EXPIRED, 0, true},
        {"missing client certificate file", [&](TlsSettings& s) { s.client_cert = absent; }, false,
         result::TLS_FAILURE, 0, true},
        {"a key, not a certificate", [](TlsSettings& s) { s.client_cert = Certificates().client.key; }, false,
         result::TLS_FAILURE, 0, true},
        {"server from an unknown CA", [](TlsSettings&) {}, true, result::TLS_FAILURE, 0, false},
        // The collector answers a KTA upload without a client certificate with 496 ("certificate
        // required"), so that NAVP can be served on the same port without one.
        {"no client certificate", [](TlsSettings& s) { s.client_cert.clear(), s.client_key.clear(); }, false,
         result::OK, 496, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartServer(true, c.unknownServer ? &Certificates().otherServer : nullptr);
        TlsSettings settings = MutualTls();
        c.change(settings);
        ScopedTlsSettings tls(settings);
        const auto answer = Post(transport, KtaUrl(), "{}");
        EXPECT_EQ(answer.resultCode, c.resultCode);
        EXPECT_EQ(answer.response.statusCode, c.status);
        if (c.clientRefuses) {
            EXPECT_EQ(Handshakes(), 0) << "a connection was made";
        }
        EXPECT_TRUE(ReadRecords(recordFile).empty());
    }
    EXPECT_TRUE(logs.Contains(absent, "host.log")) << "the failure names the file";
}

TEST_F(TransportTlsTest, RenewedCertificateFileIsReadAgain) {
    StartServer(true);
    namespace fs = std::filesystem;
    const std::string certPath = temp.path() + "client.pem";
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

TEST_F(TransportTlsTest, RequestsOfOneThreadShareOneConnectionAndEachThreadHasItsOwn) {
    StartServer(true);
    ScopedTlsSettings tls(MutualTls());
    auto postTwice = [this] {
        const int first = Post(transport, KtaUrl(), "{}").response.statusCode;
        return first + Post(transport, KtaUrl(), "{}").response.statusCode;
    };
    EXPECT_EQ(std::async(std::launch::async, postTwice).get(), 400);
    auto second = std::async(std::launch::async, postTwice);
    auto third = std::async(std::launch::async, postTwice);
    EXPECT_EQ(second.get() + third.get(), 800);
    const Json::Value stats = server->Stats();
    EXPECT_EQ(stats["kta"]["requests"].asInt(), 6);
    EXPECT_EQ(stats["connections"].asInt(), 3);
    EXPECT_EQ(stats["tls_handshakes"].asInt(), 3);

    ASSERT_EQ(Post(transport, KtaUrl(), "{}").response.statusCode, 200);  // this thread keeps it open
    EXPECT_LT(Timed([this] { server->Stop(); }), 1s) << "an idle keep-alive held the stop";
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
    EXPECT_EQ(Handshakes(), 2);

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
    FaultRules({"kta=200:delay=5000"});
    ScopedTlsSettings tls(MutualTls(300));
    ZELCore::InvokeHttpResponse answer;
    EXPECT_LT(Timed([&] { answer = Post(transport, KtaUrl(), "{}"); }), 2s);
    EXPECT_EQ(answer.resultCode, result::TIMED_OUT);
    EXPECT_EQ(answer.response.statusCode, 0);
}

TEST_F(TransportTlsTest, StopAbortsATransferInFlightAndRefusesNewOnesUntilCleared) {
    StartServer(true);
    FaultRules({"kta=200:delay=20000"});
    ScopedTlsSettings tls(MutualTls(30000));
    auto pending = std::async(std::launch::async, [this] { return Post(transport, KtaUrl(), "{}"); });
    ASSERT_TRUE(collectortest::WaitUntil([&] { return server->Stats()["in_delay"].asInt() == 1; }));
    ZELCore::InvokeHttpResponse aborted;
    EXPECT_LT(Timed([&] { transport.RequestStop(), aborted = pending.get(); }), 2500ms);
    EXPECT_EQ(aborted.resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(aborted.response.statusCode, 0);

    FaultRules({});
    EXPECT_EQ(Post(transport, KtaUrl(), "{}").resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(server->Stats()["kta"]["requests"].asInt(), 0) << "sent while stopped";
    transport.ClearStop();
    EXPECT_EQ(Post(transport, KtaUrl(), "{}").response.statusCode, 200);
}

}  // namespace
