// The transport's requests without TLS in the way: failures before an answer (name not
// resolved, nothing listening), which URLs may be sent at all, unsupported methods, the header
// map, and the size limit of the kept response body. Plain-HTTP servers here are on loopback
// with tls.allow_http_loopback set.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "collector/CollectorTestSupport.h"
#include "support/LogCapture.h"

namespace {

using collectortest::OnOwnThread;
using collectortest::Post;
using collectortest::ScopedTlsSettings;
using testing::HasSubstr;
using ZEL::linuxhost::CurlTransport;
namespace result = ZELCore::TransportResult;

ZEL::linuxhost::TlsSettings HttpLoopbackAllowed(bool allowed) {
    ZEL::linuxhost::TlsSettings tls;
    tls.allow_http_loopback = allowed;
    tls.timeout_ms = 3000;
    return tls;
}

// A TCP socket bound to a free loopback port, which it stores in `port`.
int BoundLoopbackSocket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot reserve a port");
    port = ntohs(address.sin_port);
    return fd;
}

// A loopback port with a bound socket that does not listen: connecting is refused.
struct ClosedPort {
    ~ClosedPort() { ::close(fd); }
    std::string Url(const std::string& scheme) const {
        return scheme + "://127.0.0.1:" + std::to_string(port) + "/x";
    }
    int port = 0;
    int fd = BoundLoopbackSocket(port);
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
    answer = Post(transport, closed.Url("https"), "{}");
    EXPECT_EQ(answer.resultCode, result::CANNOT_CONNECT);
    EXPECT_EQ(answer.response.statusCode, 0);
    EXPECT_TRUE(logs.Contains("127.0.0.1:" + std::to_string(closed.port), "host.log"));
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
        const auto answer = OnOwnThread([&] { return Post(transport, url, "{}"); });
        EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE);
        EXPECT_TRUE(logs.Contains(url, "host.log"));
    }
    ScopedTlsSettings scoped(HttpLoopbackAllowed(true));
    int method = 1;
    auto answer = OnOwnThread([&] {
        return transport.InvokeHttp(url, {}, method, "{}", ZELCore::HTTP_AUTH_NONE, true, "");
    });
    EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE) << "a method other than POST is refused";
    EXPECT_EQ(requests(), 0);
    answer = OnOwnThread([&] { return Post(transport, url, "{}"); });
    EXPECT_EQ(answer.resultCode, result::OK);
    EXPECT_EQ(answer.response.statusCode, 200);
    const std::string byName = "http://localhost:" + std::to_string(server->Port()) + "/navp";
    answer = OnOwnThread([&] { return Post(transport, byName, "json={}", ZELCore::HTTP_AUTH_NONE, {}); });
    EXPECT_EQ(answer.response.statusCode, 200) << "localhost counts as loopback";
    EXPECT_EQ(requests(), 2);
}

TEST_F(TransportRequestTest, HttpToOtherHostsOtherSchemesAndBrokenHeadersAreNeverSent) {
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
    // Header injection: a value with a line break would add a header of the sender's choosing.
    ClosedPort closed;
    const auto answer =
        Post(transport, closed.Url("http"), "{}", ZELCore::HTTP_AUTH_NONE, {{"X-Bad", "a\r\nInjected: 1"}});
    EXPECT_EQ(answer.resultCode, result::OTHER_FAILURE) << "not CANNOT_CONNECT: never sent";
}

// Accepts one connection on loopback, keeps the request exactly as it arrived and answers with
// `answerBytes` bytes ("ok" unless asked for more). A raw socket rather than an HTTP library:
// the test is about the bytes on the wire (a library may normalise or drop headers, empty ones
// for instance).
class OneRequestServer {
public:
    explicit OneRequestServer(size_t answerBytes = 0) : m_answer(answerBytes ? std::string(answerBytes, 'a') : "ok") {
        if (::listen(m_listener, 1) != 0) throw std::runtime_error("cannot listen");
        m_thread = std::thread([this] { Serve(); });
    }
    ~OneRequestServer() {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_thread.joinable()) m_thread.join();
        ::close(m_listener);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/x"; }
    // The request head (request line and headers, each ending with CRLF) and the body size;
    // call once the answer came.
    std::pair<std::string, size_t> Received() {
        if (m_thread.joinable()) m_thread.join();
        return {m_head, m_bodySize};
    }

private:
    void Serve() {
        const int connection = ::accept(m_listener, nullptr, nullptr);
        if (connection < 0) return;
        std::string received;
        char buffer[16384];
        size_t headEnd = std::string::npos, expected = 0;
        for (ssize_t got; (got = ::recv(connection, buffer, sizeof buffer, 0)) > 0;) {
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

    int m_port = 0;
    int m_listener = BoundLoopbackSocket(m_port);
    std::string m_answer;
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
    const auto [head, bodySize] = server.Received();
    EXPECT_EQ(bodySize, body.size());
    EXPECT_THAT(head, testing::StartsWith("POST /x HTTP/1.1\r\n"));
    EXPECT_THAT(head, HasSubstr("\r\nContent-Type: application/json\r\n"));
    EXPECT_THAT(head, HasSubstr("\r\nX-Trace: abc 1\r\n"));
    EXPECT_THAT(head, HasSubstr("\r\nX-Empty:\r\n"));
    EXPECT_THAT(head, testing::Not(HasSubstr("Expect:")));

    OneRequestServer big(100 * 1024);
    const auto cut = Post(transport, big.Url(), "{}", ZELCore::HTTP_AUTH_NONE);
    EXPECT_EQ(cut.response.statusCode, 200);
    EXPECT_EQ(cut.response.message.size(), CurlTransport::kMaxResponseBytes) << "the kept body is cut at 64 KiB";
}

}  // namespace
