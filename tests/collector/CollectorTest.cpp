// The curl transport against the collector and against a raw loopback socket (result codes,
// refused URLs, headers on the wire, certificates, connections, stops), the device-missing answer
// and loopback hosts.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "datasync-collector/Collector.h"
#include "linuxhost/HostState.h"
#include "linuxhost/transport/CurlTransport.h"
#include "linuxhost/transport/UrlPolicy.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "support/WaitUntil.h"

namespace {

using collector::Collector;
using collector::CollectorOptions;
using testing::HasSubstr;
using ZEL::linuxhost::CurlTransport;
using ZEL::linuxhost::InstallTlsSettings;
using ZEL::linuxhost::TlsSettings;
using namespace std::chrono_literals;
namespace result = ZELCore::TransportResult;
using Headers = std::map<std::string, std::string>;

// Generated once per test process on first use, removed at exit.
const testsupport::TestCertificates& Certificates() {
    static const testsupport::TempDir folder;
    static const testsupport::TestCertificates certificates{folder.path()};
    return certificates;
}

CollectorOptions Options(const std::string& cert, const std::string& key, const std::string& clientCa,
                         const std::string& recordFile, int port = 0, std::vector<std::string> rules = {}) {
    return {"127.0.0.1", port, cert, key, clientCa, recordFile, std::move(rules)};
}

std::unique_ptr<Collector> StartCollector(const CollectorOptions& options) {
    auto server = std::make_unique<Collector>(options);
    server->Start();
    return server;
}

std::vector<Json::Value> ReadRecords(const std::string& path) {
    std::vector<Json::Value> records;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) std::istringstream(line) >> records.emplace_back();
    return records;
}

// Settings that trust the test CA and present `client` (the valid client certificate).
TlsSettings MutualTls(long timeoutMs = 5000, const testsupport::CertificateFiles& client = Certificates().client,
                      bool allowHttpLoopback = false) {
    return {Certificates().caCert, client.cert, client.key, {}, allowHttpLoopback, timeoutMs};
}

template <typename Call>
std::chrono::steady_clock::duration Timed(Call call) {
    const auto started = std::chrono::steady_clock::now();
    call();
    return std::chrono::steady_clock::now() - started;
}

ZELCore::InvokeHttpResponse Post(ZEL::CoreUtility& transport, const std::string& url, const std::string& body,
                                 ZELCore::HttpAuthType auth = ZELCore::HTTP_AUTH_MTLS,
                                 const Headers& headers = {{"Content-Type", "application/json"}}) {
    int method = ZELCore::HTTP_METHOD_POST;
    return transport.InvokeHttp(url, headers, method, body, auth, true, "");
}

bool DeviceMissing(int status, const std::string& body) {
    ZELCore::InvokeHttpResponse response;
    response.response.statusCode = status;
    response.response.message = body;
    return ZEL::CoreUtility::Is403WithDeviceMissingError(response);
}

TEST(DeviceMissingAnswer, Is403WithTheErrorCodeInAnyCaseAndNothingElse) {
    EXPECT_TRUE(DeviceMissing(403, " {\"message\":\"x\", \"errorCode\" : \"DEVICEMISSING\"}\n"));
    using namespace std::string_literals;
    for (const std::string& body : {""s, "DeviceMissing"s, R"({"errorCode":"Other"})"s,
                                    R"({"errorcode":"DeviceMissing"})"s, R"({"errorCode":["DeviceMissing"]})"s,
                                    R"({"errorCode":"DeviceMissing"} and more)"s,
                                    std::string(100000, '[')})  // deep nesting: no crash, no throw
        EXPECT_FALSE(DeviceMissing(403, body)) << body.substr(0, 40);
}

TEST(RequestUrl, LoopbackHostsAreLiteralLoopbackAddressesAndLocalhost) {
    using ZEL::linuxhost::transport::IsLoopbackHost;
    for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "[::1]", "localhost", "LocalHost"})
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : {"128.0.0.1", "10.0.0.1", "::2", "localhost.example", "127.example", "", "[::]"})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

// A socket bound to a free loopback port: connecting is refused until Listen(). Then it accepts
// one connection, keeps the request as it arrived (head with each line's CRLF, and body size)
// and answers `answer`. A raw socket, as the test is about the bytes on the wire, which an HTTP
// library may normalise (dropping empty headers, for instance).
struct LoopbackPort {
    LoopbackPort() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot reserve a port");
        port = ntohs(address.sin_port);
    }
    ~LoopbackPort() {
        ::shutdown(fd, SHUT_RDWR);
        if (request.valid()) request.wait();
        ::close(fd);
    }
    std::string Url(const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(port) + "/x";
    }
    void Listen(std::string answer = "ok") {
        if (::listen(fd, 1) != 0) throw std::runtime_error("cannot listen");
        request = std::async(std::launch::async, [this, answer] { return Serve(answer); });
    }
    std::pair<std::string, size_t> Serve(const std::string& answer) const {
        const int connection = ::accept(fd, nullptr, nullptr);
        if (connection < 0) return {};
        std::string in;
        char buffer[16384];
        size_t headEnd = std::string::npos, expected = 0;
        for (ssize_t got; (headEnd == std::string::npos || in.size() < headEnd + 4 + expected) &&
                          (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
            in.append(buffer, static_cast<size_t>(got));
            if (headEnd == std::string::npos && (headEnd = in.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = in.find("Content-Length: ");
                expected = at < headEnd ? std::stoul(in.substr(at + 16)) : 0;
            }
        }
        const std::string out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) +
                                "\r\nConnection: close\r\n\r\n" + answer;
        ::send(connection, out.data(), out.size(), MSG_NOSIGNAL);
        ::close(connection);
        if (headEnd == std::string::npos) return {};
        return {in.substr(0, headEnd + 2), in.size() - headEnd - 4};
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    std::future<std::pair<std::string, size_t>> request;
};

class TransportTest : public ::testing::Test {
protected:
    // A mutual-TLS collector with the test CA's server certificate (or `serverCert`).
    void StartServer(std::vector<std::string> rules = {}, const testsupport::CertificateFiles& serverCert =
                                                              Certificates().server, int port = 0) {
        server = StartCollector(Options(serverCert.cert, serverCert.key, Certificates().caCert, recordFile, port, rules));
    }
    std::string Url(const char* path = "/kta/events-data") const {
        return "https://127.0.0.1:" + std::to_string(server->Port()) + path;
    }
    int PostStatus() { return Post(transport, Url(), "{}").response.statusCode; }
    int Stat(const char* name) const { return server->Stats()[name].asInt(); }
    ~TransportTest() override { InstallTlsSettings({}); }

    testsupport::TempDir temp;
    testsupport::LogCapture logs;
    std::string recordFile = temp.path() + "record.jsonl";
    std::unique_ptr<Collector> server;
    CurlTransport transport;
};

TEST_F(TransportTest, MtlsUrlMapReplacesTheLongestConfiguredPrefix) {
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/"), L"https://a.example/kta/");
    TlsSettings tls;
    tls.mtls_url_map = {{"https://a.example/", "https://mtls.a.example/"},
                        {"https://a.example/kta/", "https://kta-mtls.a.example/v2/"},
                        {"", "https://never/"}};
    InstallTlsSettings(tls);
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/events-data"), L"https://kta-mtls.a.example/v2/events-data");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/k\u00e4t\u00e4/"), L"https://mtls.a.example/k\u00e4t\u00e4/");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://b.example/kta/"), L"https://b.example/kta/");
}

TEST_F(TransportTest, EachRequestIsSentOrRefusedWithItsResultCodeAndARefusalNamesTheUrl) {
    LoopbackPort closed, listening;
    listening.Listen();
    auto plain = StartCollector({});  // "Connection: close": no idle keep-alive holds its stop
    const std::string http = "http://127.0.0.1:" + std::to_string(plain->Port()), kta = http + "/kta/events-data";
    const struct {  // a refusal by default, plain http to loopback allowed
        std::string url;
        int code = result::OTHER_FAILURE, status = 0;
        bool allowHttp = true;
        std::string logged = "";
        Headers headers = {{"Content-Type", "application/json"}, {"Connection", "close"}};
    } cases[] = {
        {kta, result::OTHER_FAILURE, 0, false, kta},
        {kta, result::OK, 200},
        {"http://localhost:" + std::to_string(plain->Port()) + "/navp", result::OK, 200},
        {closed.Url("https"), result::CANNOT_CONNECT, 0, true, "127.0.0.1:" + std::to_string(closed.port)},
        // A documentation address: were it contacted, the request would time out, not be refused.
        {"http://192.0.2.1/kta/events-data"},
        {"http://127.0.0.1@example.invalid/navp"},
        {"file:///etc/passwd"},
        {"not a url"},
        {"https://"},
        // A value with a line break would add a header of the sender's choosing: never sent.
        {listening.Url(), result::OTHER_FAILURE, 0, true, "X-Bad", {{"X-Bad", "a\r\nInjected: 1"}}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        InstallTlsSettings(MutualTls(3000, Certificates().client, c.allowHttp));
        logs.Clear();
        const auto answer = Post(transport, c.url, "{}", ZELCore::HTTP_AUTH_NONE, c.headers);
        EXPECT_EQ(answer.resultCode, c.code);
        EXPECT_EQ(answer.response.statusCode, c.status);
        EXPECT_TRUE(c.code == result::OK || logs.Contains(c.logged.empty() ? c.url : c.logged, "host.log"));
    }
    int method = 1;
    EXPECT_EQ(transport.InvokeHttp(kta, {}, method, "{}", ZELCore::HTTP_AUTH_NONE, true, "").resultCode,
              result::OTHER_FAILURE) << "a method other than POST is refused";
    // A resolver that never answers (some sandboxes) gives a time-out instead of hanging.
    const auto answer = Post(transport, "https://nowhere.invalid/kta/events-data", "{}");
    EXPECT_THAT(answer.resultCode, testing::AnyOf(result::HOST_NOT_RESOLVED, result::TIMED_OUT));
    EXPECT_EQ(answer.response.statusCode, 0);
    EXPECT_EQ(plain->Stats()["kta"]["requests"].asInt() + plain->Stats()["navp"]["requests"].asInt(), 2);
}

TEST_F(TransportTest, HeaderMapIsSentAsRequestHeadersAndTheKeptAnswerIsBounded) {
    LoopbackPort server, big;
    server.Listen();
    big.Listen(std::string(100 * 1024, 'a'));
    InstallTlsSettings(MutualTls(3000, Certificates().client, true));
    const std::string body(2 * 1024 * 1024, 'b');  // large enough for curl to ask "Expect: 100-continue"
    const auto answer = Post(transport, server.Url(), body, ZELCore::HTTP_AUTH_NONE,
                             {{"Content-Type", "application/json"}, {"X-Trace", "abc 1"}, {"X-Empty", ""}});
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.message, "ok");
    const auto [head, bodySize] = server.request.get();
    EXPECT_EQ(bodySize, body.size());
    EXPECT_THAT(head, testing::StartsWith("POST /x HTTP/1.1\r\n"));
    EXPECT_THAT(head, HasSubstr("\r\nContent-Type: application/json\r\n"));
    EXPECT_THAT(head, HasSubstr("\r\nX-Trace: abc 1\r\n"));
    EXPECT_THAT(head, HasSubstr("\r\nX-Empty:\r\n"));
    EXPECT_THAT(head, testing::Not(HasSubstr("Expect:")));

    const auto cut = Post(transport, big.Url(), "{}", ZELCore::HTTP_AUTH_NONE);
    EXPECT_EQ(cut.response.statusCode, 200);
    EXPECT_EQ(cut.response.message.size(), CurlTransport::kMaxResponseBytes) << "the kept body is cut at 64 KiB";
}

TEST_F(TransportTest, MutualTlsExchangeReturnsTheAnswerWhateverItsStatusAndNavpNeedsNoClientCertificate) {
    StartServer({"kta=503x1", "kta=403x1:devicemissing"});
    InstallTlsSettings(MutualTls());
    EXPECT_EQ(PostStatus(), 503);
    auto missing = Post(transport, Url(), "{}");
    EXPECT_EQ(missing.resultCode, result::OK);
    EXPECT_TRUE(ZEL::CoreUtility::Is403WithDeviceMissingError(missing)) << "status and body come back";
    const auto answer = Post(transport, Url(), R"([{"item_id":"i1"}])");
    EXPECT_EQ(answer.response.statusCode, 200);
    EXPECT_THAT(answer.response.message, HasSubstr("accepted"));
    EXPECT_EQ(ReadRecords(recordFile).at(2)["body"][0]["item_id"].asString(), "i1");

    // Without mutual TLS (NAVP) no client certificate is presented, so its expiry does not matter.
    InstallTlsSettings(MutualTls(5000, Certificates().expiredClient));
    EXPECT_EQ(Post(transport, Url("/navp"), "json={}", ZELCore::HTTP_AUTH_NONE, {}).response.statusCode, 200);
}

TEST_F(TransportTest, EachCertificateProblemIsReportedAndNothingIsRecorded) {
    const std::string absent = temp.path() + "absent.pem";
    const auto& pki = Certificates();
    const struct {
        const char* name;
        testsupport::CertificateFiles client;
        const testsupport::CertificateFiles& server;
        int resultCode, status;
        bool clientRefuses;  // before any handshake
    } cases[] = {
        {"expired client certificate", pki.expiredClient, pki.server, result::CLIENT_CERT_EXPIRED, 0, true},
        {"missing client certificate file", {absent, pki.client.key}, pki.server, result::TLS_FAILURE, 0, true},
        {"a key, not a certificate", {pki.client.key, pki.client.key}, pki.server, result::TLS_FAILURE, 0, true},
        {"server from an unknown CA", pki.client, pki.otherServer, result::TLS_FAILURE, 0, false},
        // The collector answers a KTA upload without a client certificate with 496 ("certificate
        // required"), so that NAVP can be served on the same port without one.
        {"no client certificate", {}, pki.server, result::OK, 496, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StartServer({}, c.server);
        InstallTlsSettings(MutualTls(5000, c.client));
        const auto answer = Post(transport, Url(), "{}");
        EXPECT_EQ(answer.resultCode, c.resultCode);
        EXPECT_EQ(answer.response.statusCode, c.status);
        EXPECT_TRUE(!c.clientRefuses || Stat("tls_handshakes") == 0) << "a connection was made";
        EXPECT_TRUE(ReadRecords(recordFile).empty());
    }
    EXPECT_TRUE(logs.Contains(absent, "host.log")) << "the failure names the file";
}

// A CA added to the system's trust folder (/etc/ssl/certs, which libcurl consults by default) under
// its subject-hash name while the object lives; needs root.
struct SystemTrustedCa {
    explicit SystemTrustedCa(const std::string& caFile) {
        const std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(caFile.c_str(), "r"), &BIO_free);
        const std::unique_ptr<X509, decltype(&X509_free)> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                               &X509_free);
        char name[64];
        for (int n = 0; cert && n < 10 && path.empty(); ++n) {  // OpenSSL looks at .0, .1, ... up to a gap
            std::snprintf(name, sizeof name, "/etc/ssl/certs/%08lx.%d", X509_subject_name_hash(cert.get()), n);
            std::error_code error;
            if (!std::filesystem::exists(name) && std::filesystem::copy_file(caFile, name, error)) path = name;
        }
    }
    ~SystemTrustedCa() { if (!path.empty()) std::filesystem::remove(path); }
    std::string path;  // empty: not added
};

TEST_F(TransportTest, AConfiguredCaFileAloneDecidesWhichServersAreTrusted) {
    if (::geteuid() != 0) GTEST_SKIP() << "adding a CA to the system's trust folder needs root";
    const SystemTrustedCa systemCa(Certificates().otherCaCert);
    if (systemCa.path.empty()) GTEST_SKIP() << "cannot add a CA to /etc/ssl/certs";
    StartServer({}, Certificates().otherServer);
    for (const bool caFile : {true, false}) {
        SCOPED_TRACE(caFile ? "ca_file names the test CA" : "no ca_file");
        TlsSettings tls = MutualTls();
        if (!caFile) tls.ca_file.clear();
        InstallTlsSettings(tls);
        const auto answer = Post(transport, Url(), "{}");
        EXPECT_EQ(answer.resultCode, caFile ? result::TLS_FAILURE : result::OK);
        EXPECT_EQ(ReadRecords(recordFile).size(), caFile ? 0u : 1u);
    }
}

TEST_F(TransportTest, RenewedCertificateFileIsReadAgain) {
    StartServer();
    const std::string certPath = temp.path() + "client.pem", replacement = temp.path() + "replacement.pem";
    std::filesystem::copy_file(Certificates().client.cert, certPath);
    InstallTlsSettings(MutualTls(5000, {certPath, Certificates().client.key}));
    ASSERT_EQ(Post(transport, Url(), "{}").resultCode, result::OK);

    // Replaced by another file (new inode): the cached certificate must not be used.
    std::filesystem::copy_file(Certificates().expiredClient.cert, replacement);
    std::filesystem::rename(replacement, certPath);
    EXPECT_EQ(Post(transport, Url(), "{}").resultCode, result::CLIENT_CERT_EXPIRED);
}

// Connections are kept per thread. After the server closed one, the next request reconnects and
// offers the first TLS session: it must resume or be replaced, never fail the request.
TEST_F(TransportTest, RequestsOfOneThreadShareOneConnectionAndReconnectWhenItIsClosed) {
    StartServer();
    InstallTlsSettings(MutualTls());
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
    const Headers close = {{"Content-Type", "application/json"}, {"Connection", "close"}};
    ASSERT_EQ(Post(transport, Url(), "{}", ZELCore::HTTP_AUTH_MTLS, close).response.statusCode, 200);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(PostStatus(), 200);
    EXPECT_EQ(Stat("tls_handshakes"), 2);
    const int port = server->Port();  // a new collector on the same port
    server->Stop();
    StartServer({}, Certificates().server, port);
    const auto answer = Post(transport, Url(), "{}");
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.statusCode, 200);
}

TEST_F(TransportTest, LateAnswerTimesOutAndStopAbortsATransferInFlightAndRefusesNewOnesUntilCleared) {
    StartServer({"kta=200x1:delay=5000"});
    InstallTlsSettings(MutualTls(300));
    ZELCore::InvokeHttpResponse answer;
    EXPECT_LT(Timed([&] { answer = Post(transport, Url(), "{}"); }), 2s);
    EXPECT_EQ(answer.resultCode, result::TIMED_OUT);
    EXPECT_EQ(answer.response.statusCode, 0);

    StartServer({"kta=200x1:delay=20000"});  // without the late answer still held
    InstallTlsSettings(MutualTls(30000));
    auto pending = std::async(std::launch::async, [this] { return Post(transport, Url(), "{}"); });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Stat("in_delay") == 1; }));
    ZELCore::InvokeHttpResponse aborted;
    EXPECT_LT(Timed([&] { transport.RequestStop(), aborted = pending.get(); }), 2500ms);
    EXPECT_EQ(aborted.resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(aborted.response.statusCode, 0);

    EXPECT_EQ(Post(transport, Url(), "{}").resultCode, result::CONNECTION_LOST);
    EXPECT_EQ(server->Stats()["kta"]["requests"].asInt(), 0) << "sent while stopped";
    transport.ClearStop();
    EXPECT_EQ(PostStatus(), 200);
}

}  // namespace
