// The transport against the in-process collector over mutual TLS on loopback: the answers and
// records of an exchange, each certificate problem (a certificate refused on the client's side
// sends nothing), a renewed certificate file, connection reuse and reconnection, time-outs and
// a stop in flight.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>

#include "collector/CollectorTestSupport.h"

namespace {

using collectortest::Certificates;
using collectortest::MutualTls;
using collectortest::Post;
using collectortest::ReadRecords;
using collectortest::ScopedTlsSettings;
using ZEL::linuxhost::TlsSettings;
using namespace std::chrono_literals;
namespace result = ZELCore::TransportResult;

class TransportTlsTest : public ::testing::Test {
protected:
    // A mutual-TLS collector with the test CA's server certificate (or `serverCert`).
    void StartServer(const testsupport::CertificateFiles& serverCert = Certificates().server, int port = 0) {
        server = collectortest::StartCollector(
            collectortest::Options(serverCert.cert, serverCert.key, Certificates().caCert, recordFile, port));
    }
    std::string Url(const char* path = "/kta/events-data") const { return collectortest::BaseUrl(*server) + path; }
    int PostStatus() { return Post(transport, Url(), "{}").response.statusCode; }
    void FaultRules(const std::vector<std::string>& rules) {
        std::string error;
        ASSERT_TRUE(server->Faults().Replace(rules, error)) << error;
    }
    int Stat(const char* name) const { return server->Stats()[name].asInt(); }
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
    ZEL::linuxhost::CurlTransport transport;
};

TEST_F(TransportTlsTest, MutualTlsExchangeReturnsTheAnswerWhateverItsStatusAndNavpNeedsNoClientCertificate) {
    StartServer();
    FaultRules({"kta=503x1", "kta=403x1:devicemissing"});
    ScopedTlsSettings tls(MutualTls());
    EXPECT_EQ(PostStatus(), 503);
    auto missing = Post(transport, Url(), "{}");
    EXPECT_EQ(missing.resultCode, result::OK);
    EXPECT_TRUE(ZEL::CoreUtility::Is403WithDeviceMissingError(missing)) << "status and body come back";
    const auto answer = Post(transport, Url(), R"([{"item_id":"i1"}])");
    EXPECT_EQ(answer.response.statusCode, 200);
    EXPECT_THAT(answer.response.message, testing::HasSubstr("accepted"));
    EXPECT_EQ(ReadRecords(recordFile).at(2)["body"][0]["item_id"].asString(), "i1");

    // Without mutual TLS (NAVP) no client certificate is presented, so its expiry does not matter.
    TlsSettings settings = MutualTls();
    settings.client_cert = Certificates().expiredClient.cert, settings.client_key = Certificates().expiredClient.key;
    ScopedTlsSettings navp(settings);
    EXPECT_EQ(Post(transport, Url("/navp"), "json={}", ZELCore::HTTP_AUTH_NONE, {}).response.statusCode, 200);
}

TEST_F(TransportTlsTest, EachCertificateProblemIsReportedAndNothingIsRecorded) {
    const std::string absent = temp.path() + "absent.pem";
    const auto& expired = Certificates().expiredClient;
    const struct {
        const char* name;
        std::function<void(TlsSettings&)> change;
        const testsupport::CertificateFiles& server;
        int resultCode, status;
        bool clientRefuses;  // before any handshake
    } cases[] = {
        {"expired client certificate", [&](TlsSettings& s) { s.client_cert = expired.cert, s.client_key = expired.key; },
         Certificates().server, result::CLIENT_CERT_EXPIRED, 0, true},
        {"missing client certificate file", [&](TlsSettings& s) { s.client_cert = absent; }, Certificates().server,
         result::TLS_FAILURE, 0, true},
        {"a key, not a certificate", [](TlsSettings& s) { s.client_cert = Certificates().client.key; },
         Certificates().server, result::TLS_FAILURE, 0, true},
        {"server from an unknown CA", [](TlsSettings&) {}, Certificates().otherServer, result::TLS_FAILURE, 0, false},
        // The collector answers a KTA upload without a client certificate with 496 ("certificate
        // required"), so that NAVP can be served on the same port without one.
        {"no client certificate", [](TlsSettings& s) { s.client_cert.clear(), s.client_key.clear(); },
         Certificates().server, result::OK, 496, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartServer(c.server);
        TlsSettings settings = MutualTls();
        c.change(settings);
        ScopedTlsSettings tls(settings);
        const auto answer = Post(transport, Url(), "{}");
        EXPECT_EQ(answer.resultCode, c.resultCode);
        EXPECT_EQ(answer.response.statusCode, c.status);
        EXPECT_TRUE(!c.clientRefuses || Stat("tls_handshakes") == 0) << "a connection was made";
        EXPECT_TRUE(ReadRecords(recordFile).empty());
    }
    EXPECT_TRUE(logs.Contains(absent, "host.log")) << "the failure names the file";
}

TEST_F(TransportTlsTest, RenewedCertificateFileIsReadAgain) {
    StartServer();
    const std::string certPath = temp.path() + "client.pem", replacement = temp.path() + "replacement.pem";
    std::filesystem::copy_file(Certificates().client.cert, certPath);
    auto settings = MutualTls();
    settings.client_cert = certPath;
    ScopedTlsSettings tls(settings);
    ASSERT_EQ(Post(transport, Url(), "{}").resultCode, result::OK);

    // Replaced by another file (new inode): the cached certificate must not be used.
    std::filesystem::copy_file(Certificates().expiredClient.cert, replacement);
    std::filesystem::rename(replacement, certPath);
    EXPECT_EQ(Post(transport, Url(), "{}").resultCode, result::CLIENT_CERT_EXPIRED);
}

// Connections are kept per thread. After the server closed one, the next request reconnects and
// offers the first TLS session: it must resume or be replaced, never fail the request.
TEST_F(TransportTlsTest, RequestsOfOneThreadShareOneConnectionAndReconnectWhenItIsClosed) {
    StartServer();
    ScopedTlsSettings tls(MutualTls());
    auto postTwice = [this] { return PostStatus() + PostStatus(); };
    EXPECT_EQ(std::async(std::launch::async, postTwice).get(), 400);
    auto second = std::async(std::launch::async, postTwice), third = std::async(std::launch::async, postTwice);
    EXPECT_EQ(second.get() + third.get(), 800);
    EXPECT_EQ(server->Stats()["kta"]["requests"].asInt(), 6);
    EXPECT_EQ(Stat("connections"), 3);
    EXPECT_EQ(Stat("tls_handshakes"), 3);
    ASSERT_EQ(PostStatus(), 200);  // this thread keeps it open
    EXPECT_LT(Timed([this] { server->Stop(); }), 1s) << "an idle keep-alive held the stop";

    StartServer();
    // "Connection: close" makes the collector close the connection after its answer.
    ASSERT_EQ(Post(transport, Url(), "{}", ZELCore::HTTP_AUTH_MTLS,
                   {{"Content-Type", "application/json"}, {"Connection", "close"}})
                  .response.statusCode,
              200);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(PostStatus(), 200);
    EXPECT_EQ(Stat("tls_handshakes"), 2);
    const int port = server->Port();  // a new collector on the same port
    server->Stop();
    StartServer(Certificates().server, port);
    const auto answer = Post(transport, Url(), "{}");
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.statusCode, 200);
}

TEST_F(TransportTlsTest, LateAnswerTimesOutAndStopAbortsATransferInFlightAndRefusesNewOnesUntilCleared) {
    StartServer();
    FaultRules({"kta=200:delay=5000"});
    {
        ScopedTlsSettings tls(MutualTls(300));
        ZELCore::InvokeHttpResponse answer;
        EXPECT_LT(Timed([&] { answer = Post(transport, Url(), "{}"); }), 2s);
        EXPECT_EQ(answer.resultCode, result::TIMED_OUT);
        EXPECT_EQ(answer.response.statusCode, 0);
    }
    StartServer();  // without the answer still held
    FaultRules({"kta=200:delay=20000"});
    ScopedTlsSettings tls(MutualTls(30000));
    auto pending = std::async(std::launch::async, [this] { return Post(transport, Url(), "{}"); });
    ASSERT_TRUE(collectortest::WaitUntil([&] { return Stat("in_delay") == 1; }));
    ZELCore::InvokeHttpResponse aborted;
    EXPECT_LT(Timed([&] { transport.RequestStop(), aborted = pending.get(); }), 2500ms);
    EXPECT_EQ(aborted.resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(aborted.response.statusCode, 0);

    FaultRules({});
    EXPECT_EQ(Post(transport, Url(), "{}").resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(server->Stats()["kta"]["requests"].asInt(), 0) << "sent while stopped";
    transport.ClearStop();
    EXPECT_EQ(PostStatus(), 200);
}

}  // namespace
