#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "LineClient.h"
#include "datasyncd/ControlServer.h"
#include "support/TempDir.h"

namespace {

using appstest::LineClient;
using datasyncd::ControlServer;
using testing::HasSubstr;
using testing::ThrowsMessage;

std::string Echo(const std::string& line) {
    if (line == "boom") throw std::runtime_error("boom");
    if (line == "quote") throw std::runtime_error("a \"quoted\"\nline");
    return "{\"echo\":" + std::to_string(line.size()) + ",\"line\":\"" + line + "\"}";
}

class ControlServerTest : public ::testing::Test {
protected:
    using Handler = std::function<std::string(const std::string&, const datasyncd::PeerCredentials&)>;
    std::unique_ptr<ControlServer> Serving(Handler handler = [](auto& line, auto&) { return Echo(line); }) {
        auto server = std::make_unique<ControlServer>(m_path);
        server->Bind();
        server->Start(handler);
        return server;
    }
    std::unique_ptr<LineClient> Client() {
        auto client = std::make_unique<LineClient>();
        EXPECT_TRUE(client->Connect(m_path));
        return client;
    }
    testsupport::TempDir dir;
    const std::string m_path = dir.path() + "control.sock";
};

TEST_F(ControlServerTest, AnswersEveryRequestOfAConnectionInOrderAndHandlerFailuresAsErrors) {
    auto server = Serving();
    auto client = Client();
    ASSERT_TRUE(client->Send("a\nbb\r\n\nccc\nhel"));  // CR LF accepted, blank lines ignored
    EXPECT_EQ(client->ReadLine(), "{\"echo\":1,\"line\":\"a\"}");
    EXPECT_EQ(client->ReadLine(), "{\"echo\":2,\"line\":\"bb\"}");
    EXPECT_EQ(client->ReadLine(), "{\"echo\":3,\"line\":\"ccc\"}");
    ASSERT_TRUE(client->Send("lo\nboom\n"));  // a request split across writes is one request
    EXPECT_EQ(client->ReadLine(), "{\"echo\":5,\"line\":\"hello\"}");
    EXPECT_EQ(client->ReadLine(), "{\"error\":\"internal error: boom\",\"ok\":false}") << "a failing handler";
    ASSERT_TRUE(client->Send("quote\n"));
    EXPECT_EQ(client->ReadLine(), "{\"error\":\"internal error: a \\\"quoted\\\"\\u000aline\",\"ok\":false}");
    ASSERT_TRUE(client->Send("end"));
    client->ShutdownWrite();  // the last request needs no newline
    EXPECT_EQ(client->ReadLine(), "{\"echo\":3,\"line\":\"end\"}");
    EXPECT_TRUE(client->ClosedByPeer());
}

TEST_F(ControlServerTest, SilentClientsCannotLockOutAnotherAndTheHandlerSeesThePeer) {
    auto server = Serving([](auto&, const datasyncd::PeerCredentials& peer) {
        return std::to_string(peer.known) + " " + std::to_string(peer.uid) + " " + std::to_string(peer.pid);
    });
    std::vector<std::unique_ptr<LineClient>> silent;
    for (size_t i = 0; i < ControlServer::kMaxConnections + 1; ++i) silent.push_back(Client());
    ASSERT_TRUE(silent.back()->Send("half a requ"));
    auto late = Client();
    ASSERT_TRUE(late->Send("x\n"));
    EXPECT_EQ(late->ReadLine(std::chrono::seconds(5)), "1 " + std::to_string(::getuid()) + " " + std::to_string(::getpid()));
    EXPECT_TRUE(silent.front()->ClosedByPeer(std::chrono::seconds(5))) << "the longest idle made room";
}

// The answers outgrow what the server keeps pending for one client, so it must hold back
// requests and resume them as the client reads, without stalling.
TEST_F(ControlServerTest, ManyPipelinedRequestsFromAClientThatReadsLateAreAllAnswered) {
    auto server = Serving([](auto& line, auto&) { return std::string(1000, 'a') + line; });
    auto client = Client();
    std::string requests;
    for (int i = 0; i < 2000; ++i) requests += std::to_string(i) + "\n";
    ASSERT_TRUE(client->Send(requests));
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(client->ReadLine(), std::string(1000, 'a') + std::to_string(i));
}

TEST_F(ControlServerTest, OverlongRequestIsRefusedAndTheConnectionClosedOneOfExactlyTheLimitServed) {
    std::atomic<int> handled{0};
    auto server = Serving([&handled](auto& line, auto&) {
        ++handled;
        return Echo(line);
    });
    auto client = Client();
    ASSERT_TRUE(client->Send(std::string(ControlServer::kMaxLineBytes + 10, 'x')));
    EXPECT_EQ(client->ReadLine(), "{\"error\":\"request line longer than 65536 bytes\",\"ok\":false}");
    EXPECT_TRUE(client->ClosedByPeer());
    EXPECT_EQ(handled.load(), 0);
    auto fits = Client();
    ASSERT_TRUE(fits->Send(std::string(ControlServer::kMaxLineBytes, 'y') + "\n"));
    EXPECT_EQ(fits->ReadLine().value_or("").rfind("{\"echo\":65536,", 0), 0u);
}

// The socket file is private to the daemon user, and only a stale socket may be replaced: not
// another server's, not a file that is no socket. A stop closes the clients and removes the file.
TEST_F(ControlServerTest, ClaimsOnlyAStaleSocketPathKeepsItPrivateAndStopRemovesIt) {
    // A socket file left behind as by a daemon killed with SIGKILL: bound, then closed.
    sockaddr_un address{AF_UNIX, {}};
    m_path.copy(address.sun_path, m_path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    auto first = Serving();
    struct stat info {};
    ASSERT_EQ(::lstat(m_path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_THAT([this] { ControlServer(m_path).Bind(); },
                ThrowsMessage<std::runtime_error>(testing::AllOf(HasSubstr("another datasyncd is running"), HasSubstr(m_path))));
    auto client = Client();  // the refused server left the first one's socket alone
    ASSERT_TRUE(client->Send("x\n") && client->ReadLine());
    first->Stop();
    EXPECT_TRUE(client->ClosedByPeer(std::chrono::seconds(5)));
    EXPECT_NE(::access(m_path.c_str(), F_OK), 0) << "socket file left behind";

    const std::string notASocket = dir.path() + "file";
    std::ofstream(notASocket) << "keep me";
    EXPECT_THAT([&] { ControlServer(notASocket).Bind(); }, ThrowsMessage<std::runtime_error>(HasSubstr("not a socket")));
    EXPECT_EQ(std::filesystem::file_size(notASocket), 7u) << "the file in the way was touched";
    EXPECT_THAT([this] { ControlServer(dir.path() + std::string(120, 'p')).Bind(); },
                ThrowsMessage<std::runtime_error>(HasSubstr("too long")));

    ControlServer grouped(dir.path() + "grouped.sock", ::getgid());  // a read group opens it to the group
    grouped.Bind();
    ASSERT_EQ(::lstat((dir.path() + "grouped.sock").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_gid, ::getgid());
}

}  // namespace
