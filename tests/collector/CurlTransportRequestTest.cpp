// The transport's requests without TLS in the way: failures before an answer (name not
// resolved, nothing listening), which URLs may be sent at all, unsupported methods, the header
// map, and the size limit of the kept response body. Plain-HTTP servers here are on loopback
// with tls.allow_http_loopback set.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "collector/CollectorTestSupport.h"
#include "support/LogCapture.h"

namespace {

using collectortest::BaseUrl;
using testing::HasSubstr;
using collectortest::OnOwnThread;
using collectortest::Post;
using collectortest::ScopedTlsSettings;
using ZEL::linuxhost::CurlTransport;
using ZEL::linuxhost::TlsSettings;
namespace result = ZELCore::TransportResult;

TlsSettings HttpLoopbackAllowed(bool allowed) {
    TlsSettings tls;
    tls.allow_http_loopback = allowed;
    tls.timeout_ms = 3000;
    return tls;
}

// A loopback port with a bound socket that does not listen: connecting is refused.
class ClosedPort {
public:
    ClosedPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot reserve a port");
        m_port = ntohs(address.sin_port);
    }
    ~ClosedPort() { ::close(m_fd); }
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

class TransportRequestTest : public ::testing::Test {
protected:
    testsupport::LogCapture logs;
    CurlTransport transport;
};

TEST_F(TransportRequestTest, FailuresBeforeAnAnswerHaveTheirResultCodes) {
    ClosedPort closed;
    // Bounded: a sandbox whose resolver never answers gives a time-out instead of hanging the
    // test; a resolver that answers (the normal case) gives "not resolved".
    ScopedTlsSettings scoped(HttpLoopbackAllowed(false));
    auto answer = Post(transport, "https://nowhere.invalid/kta/events-data", "{}");
    EXPECT_THAT(answer.resultCode, testing::AnyOf(result::HOST_NOT_RESOLVED, result::TIMED_OUT));
    EXPECT_EQ(answer.response.statusCode, 0);
    answer = Post(transport, "https://127.0.0.1:" + std::to_string(closed.port()) + "/kta/x", "{}");
    EXPECT_EQ(answer.resultCode, result::CANNOT_CONNECT);
    EXPECT_EQ(answer.response.statusCode, 0);
    EXPECT_TRUE(logs.Contains("127.0.0.1:" + std::to_string(closed.port()), "host.log"));
}

class PlainCollectorTest : public TransportRequestTest {
protected:
    void SetUp() override {
        collector::CollectorOptions options;
        options.recordFile = recordFile;
        server = collectortest::StartCollector(options);
    }
    long long Requests() const {
        const Json::Value stats = server->Stats();
        return stats["kta"]["requests"].asInt64() + stats["navs"]["requests"].asInt64() +
               stats["navp"]["requests"].asInt64();
    }

    testsupport::TempDir temp;
    std::string recordFile = temp.path() + "record.jsonl";
    std::unique_ptr<collector::Collector> server;
};

TEST_F(PlainCollectorTest, HttpToLoopbackIsRefusedUnlessAllowedAndOnlyPostIsSent) {
    const std::string url = BaseUrl(*server, "http") + "/kta/events-data";
    {
        ScopedTlsSettings scoped(HttpLoopbackAllowed(false));
        const auto answer = OnOwnThread([&] { return Post(transport, url, "{}"); });
        EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE);
        EXPECT_EQ(answer.response.statusCode, 0);
        EXPECT_TRUE(logs.Contains(url, "host.log"));
    }
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
    int method = 1;
    auto answer = OnOwnThread([&] {
        return transport.InvokeHttp(url, {}, method, "{}", ZELCore::HTTP_AUTH_NONE, true, "");
    });
    EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE) << "a method other than POST is refused";
    EXPECT_EQ(Requests(), 0);
    answer = OnOwnThread([&] { return Post(transport, url, "{}"); });
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.statusCode, 200);
    const std::string byName = "http://localhost:" + std::to_string(server->Port()) + "/navp";
    answer = OnOwnThread([&] { return Post(transport, byName, "json={}", ZELCore::HTTP_AUTH_NONE, {}); });
    EXPECT_EQ(answer.response.statusCode, 200) << "localhost counts as loopback";
    EXPECT_EQ(Requests(), 2);
}

TEST_F(TransportRequestTest, HttpToOtherHostsAndOtherSchemesAreNeverSent) {
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
    // 192.0.2.1 is a documentation address: were it contacted, the request would time out
    // rather than be refused at once.
    for (const std::string url : {"http://192.0.2.1/kta/events-data", "http://127.0.0.1@example.invalid/navp",
                                  "ftp://127.0.0.1/kta/x", "file:///etc/passwd", "not a url", "https://"}) {
        logs.Clear();
        const auto answer = Post(transport, url, "{}");
        EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE) << url;
        EXPECT_EQ(answer.response.statusCode, 0) << url;
        EXPECT_TRUE(logs.Contains(url, "host.log")) << url;
    }
}

// Accepts one connection on loopback, keeps the request exactly as it arrived and answers with
// `answerBytes` bytes ("ok" unless asked for more).
// A raw socket rather than an HTTP library: the test is about the bytes on the wire (an HTTP
// library may normalise or drop headers, empty ones for instance).
class OneRequestServer {
public:
    explicit OneRequestServer(size_t answerBytes = 0)
        : m_listener(::socket(AF_INET, SOCK_STREAM, 0)), m_answer(answerBytes ? std::string(answerBytes, 'a') : "ok") {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 1) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~OneRequestServer() {
        ::shutdown(m_listener, SHUT_RDWR);
        Finish();
        ::close(m_listener);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/x"; }
    // The request head (request line and headers, each ending with CRLF) and the body size;
    // wait for the server thread, so ask only once the answer came.
    const std::string& Head() {
        Finish();
        return m_head;
    }
    size_t BodySize() {
        Finish();
        return m_bodySize;
    }

private:
    void Finish() {
        if (m_thread.joinable()) m_thread.join();
    }
    void Serve() {
        const int connection = ::accept(m_listener, nullptr, nullptr);
        if (connection < 0) return;
        std::string received;
        char buffer[16384];
        size_t headEnd = std::string::npos;
        size_t expected = 0;
        while (true) {
            const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            received.append(buffer, static_cast<size_t>(got));
            if (headEnd == std::string::npos && (headEnd = received.find("\r\n\r\n")) != std::string::npos) {
                const size_t at = received.find("Content-Length: ");
                expected = at < headEnd ? std::stoul(received.substr(at + 16)) : 0;
            }
            if (headEnd != std::string::npos && received.size() >= headEnd + 4 + expected) break;
        }
        if (headEnd != std::string::npos) {
            m_head = received.substr(0, headEnd + 2);
            m_bodySize = received.size() - headEnd - 4;
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(m_answer.size()) +
                                   "\r\nConnection: close\r\n\r\n" + m_answer;
        ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(connection);
    }

    int m_listener;
    std::string m_answer;
    int m_port = 0;
    std::thread m_thread;
    std::string m_head;
    size_t m_bodySize = 0;
};

TEST_F(TransportRequestTest, HeaderMapIsSentAsRequestHeadersAndTheKeptAnswerIsBounded) {
    OneRequestServer server;
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
    const std::string body(2 * 1024 * 1024, 'b');  // large enough for curl to ask "Expect: 100-continue"
    const auto answer = Post(transport, server.Url(), body, ZELCore::HTTP_AUTH_NONE,
                             {{"Content-Type", "application/json"}, {"X-Trace", "abc 1"}, {"X-Empty", ""}});
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.message, "ok");
    EXPECT_EQ(server.BodySize(), body.size());
    EXPECT_THAT(server.Head(), testing::StartsWith("POST /x HTTP/1.1\r\n"));
    EXPECT_THAT(server.Head(), HasSubstr("\r\nContent-Type: application/json\r\n"));
    EXPECT_THAT(server.Head(), HasSubstr("\r\nX-Trace: abc 1\r\n"));
    EXPECT_THAT(server.Head(), HasSubstr("\r\nX-Empty:\r\n"));
    EXPECT_THAT(server.Head(), testing::Not(HasSubstr("Expect:")));

    OneRequestServer big(100 * 1024);
    const auto cut = Post(transport, big.Url(), "{}", ZELCore::HTTP_AUTH_NONE);
    EXPECT_EQ(cut.response.statusCode, 200);
    EXPECT_EQ(cut.response.message.size(), CurlTransport::kMaxResponseBytes) << "the kept body is cut at 64 KiB";
}

// Header injection: a value with a line break would add a header of the sender's choosing.
TEST_F(TransportRequestTest, HeaderThatWouldBreakTheRequestIsRefused) {
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
    ClosedPort closed;
    const auto answer = Post(transport, "http://127.0.0.1:" + std::to_string(closed.port()) + "/x", "{}",
                             ZELCore::HTTP_AUTH_NONE, {{"X-Bad", "a\r\nInjected: 1"}});
    EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE);  // not CANNOT_CONNECT: never sent
}

}  // namespace
