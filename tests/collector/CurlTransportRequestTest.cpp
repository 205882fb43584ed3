// The transport without TLS in the way: the device-missing test of an answer, loopback hosts,
// the mutual-TLS URL map, failures before an answer, which URLs and methods may be sent, the
// header map and the size limit of the kept answer. Plain HTTP goes to loopback only, with
// tls.allow_http_loopback set.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "collector/CollectorTestSupport.h"
#include "linuxhost/transport/UrlPolicy.h"

namespace {

using collectortest::Post;
using collectortest::ScopedTlsSettings;
using testing::HasSubstr;
using ZEL::linuxhost::CurlTransport;
using ZEL::linuxhost::TlsSettings;
namespace result = ZELCore::TransportResult;

bool DeviceMissing(int status, const std::string& body) {
    ZELCore::InvokeHttpResponse response;
    response.response.statusCode = status, response.response.message = body;
    return ZEL::CoreUtility::Is403WithDeviceMissingError(response);
}

TEST(DeviceMissingAnswer, Is403WithTheErrorCodeInAnyCaseAndNothingElse) {
    EXPECT_TRUE(DeviceMissing(403, R"({"errorCode":"DeviceMissing"})"));
    EXPECT_TRUE(DeviceMissing(403, " {\"message\":\"x\", \"errorCode\" : \"DEVICEMISSING\"}\n"));
    using namespace std::string_literals;
    for (const std::string& body : {""s, "DeviceMissing"s, R"({"errorCode":"Other"})"s,
                                    R"({"errorcode":"DeviceMissing"})"s, R"({"errorCode":["DeviceMissing"]})"s,
                                    R"({"errorCode":"DeviceMissing"} and more)"s,
                                    std::string(100000, '[')})  // deep nesting: no crash, no throw
        EXPECT_FALSE(DeviceMissing(403, body)) << body.substr(0, 40);
    for (int status : {401, 200, 0}) EXPECT_FALSE(DeviceMissing(status, R"({"errorCode":"DeviceMissing"})")) << status;
}

TEST(RequestUrl, LoopbackHostsAreLiteralLoopbackAddressesAndLocalhost) {
    using ZEL::linuxhost::transport::IsLoopbackHost;
    for (const char* host : {"127.0.0.1", "127.255.0.9", "::1", "[::1]", "localhost", "LocalHost"})
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host : {"128.0.0.1", "10.0.0.1", "::2", "localhost.example", "127.example", "", "[::]"})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

TEST(MtlsUrl, LongestConfiguredPrefixIsReplaced) {
    CurlTransport transport;
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/"), L"https://a.example/kta/");
    TlsSettings tls;
    tls.mtls_url_map = {{"https://a.example/", "https://mtls.a.example/"},
                        {"https://a.example/kta/", "https://kta-mtls.a.example/v2/"},
                        {"", "https://never/"}};
    ScopedTlsSettings scoped(tls);
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/kta/events-data"), L"https://kta-mtls.a.example/v2/events-data");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://a.example/k\u00e4t\u00e4/"), L"https://mtls.a.example/k\u00e4t\u00e4/");
    EXPECT_EQ(transport.GetMtlsUrl(L"https://b.example/kta/"), L"https://b.example/kta/");
}

TlsSettings HttpLoopbackAllowed(bool allowed) {
    TlsSettings tls;
    tls.allow_http_loopback = allowed, tls.timeout_ms = 3000;
    return tls;
}

// A TCP socket bound to a free loopback port, which it stores in `port`.
int BoundLoopbackSocket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET, address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot reserve a port");
    port = ntohs(address.sin_port);
    return fd;
}

// A loopback port with a bound socket; once it listens, one connection is accepted, the request
// kept as it arrived (head with each line's CRLF, and body size) and `answer` sent. A raw socket,
// not an HTTP library: the test is about the bytes on the wire, which a library may normalise
// (dropping empty headers, for instance). Without Listen() connecting is refused.
struct LoopbackPort {
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

    int port = 0;
    int fd = BoundLoopbackSocket(port);
    std::future<std::pair<std::string, size_t>> request;
};

class TransportRequestTest : public ::testing::Test {
protected:
    // On a thread of its own: the thread's curl handle, and with it its connections, end with
    // the thread, so a server that notices a stop only between requests need not wait out a
    // keep-alive.
    template <typename... Args>
    ZELCore::InvokeHttpResponse PostOnOwnThread(Args... args) {
        return std::async(std::launch::async, [&] { return Post(transport, args...); }).get();
    }

    testsupport::LogCapture logs;
    CurlTransport transport;
};

TEST_F(TransportRequestTest, UnsendableRequestsAndFailuresBeforeAnAnswerHaveTheirResultCodes) {
    LoopbackPort closed, listening;
    listening.Listen();
    // A resolver that never answers (some sandboxes) gives a time-out instead of hanging.
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
    auto answer = Post(transport, "https://nowhere.invalid/kta/events-data", "{}");
    EXPECT_THAT(answer.resultCode, testing::AnyOf(result::HOST_NOT_RESOLVED, result::TIMED_OUT));
    EXPECT_EQ(answer.response.statusCode, 0);
    const struct {
        std::string url, logged;
        int code;
        std::map<std::string, std::string> headers = {};
    } cases[] = {
        {closed.Url("https"), "127.0.0.1:" + std::to_string(closed.port), result::CANNOT_CONNECT},
        // A documentation address: were it contacted, the request would time out, not be refused.
        {"http://192.0.2.1/kta/events-data", "", result::OTHER_FAILURE},
        {"http://127.0.0.1@example.invalid/navp", "", result::OTHER_FAILURE},
        {"ftp://127.0.0.1/kta/x", "", result::OTHER_FAILURE},
        {"file:///etc/passwd", "", result::OTHER_FAILURE},
        {"not a url", "", result::OTHER_FAILURE},
        {"https://", "", result::OTHER_FAILURE},
        // A value with a line break would add a header of the sender's choosing: never sent.
        {listening.Url(), "X-Bad", result::OTHER_FAILURE, {{"X-Bad", "a\r\nInjected: 1"}}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        logs.Clear();
        answer = Post(transport, c.url, "{}", ZELCore::HTTP_AUTH_NONE, c.headers);
        EXPECT_EQ(answer.resultCode, c.code);
        EXPECT_EQ(answer.response.statusCode, 0);
        EXPECT_TRUE(logs.Contains(c.logged.empty() ? c.url : c.logged, "host.log"));
    }
}

TEST_F(TransportRequestTest, HttpToLoopbackIsRefusedUnlessAllowedAndOnlyPostIsSent) {
    auto server = collectortest::StartCollector({});
    const auto requests = [&server] {
        const Json::Value stats = server->Stats();
        return stats["kta"]["requests"].asInt() + stats["navp"]["requests"].asInt();
    };
    const std::string url = collectortest::BaseUrl(*server, "http") + "/kta/events-data";
    {
        ScopedTlsSettings scoped(HttpLoopbackAllowed(false));
        EXPECT_EQ(PostOnOwnThread(url, "{}").resultCode, result::OTHER_FAILURE);
        EXPECT_TRUE(logs.Contains(url, "host.log"));
    }
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
    int method = 1;
    auto answer = std::async(std::launch::async, [&] {
                      return transport.InvokeHttp(url, {}, method, "{}", ZELCore::HTTP_AUTH_NONE, true, "");
                  }).get();
    EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE) << "a method other than POST is refused";
    EXPECT_EQ(requests(), 0);
    answer = PostOnOwnThread(url, "{}");
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.statusCode, 200);
    const std::string byName = "http://localhost:" + std::to_string(server->Port()) + "/navp";
    answer = PostOnOwnThread(byName, "json={}", ZELCore::HTTP_AUTH_NONE, std::map<std::string, std::string>{});
    EXPECT_EQ(answer.response.statusCode, 200) << "localhost counts as loopback";
    EXPECT_EQ(requests(), 2);
}

TEST_F(TransportRequestTest, HeaderMapIsSentAsRequestHeadersAndTheKeptAnswerIsBounded) {
    LoopbackPort server, big;
    server.Listen();
    big.Listen(std::string(100 * 1024, 'a'));
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
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

}  // namespace
