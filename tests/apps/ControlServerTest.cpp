// The control socket server: claiming the socket path, moving request and answer lines, its
// limits, and stopping with clients connected. The handler echoes, so only transport is tested.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>

#include "LineClient.h"
#include "datasyncd/ControlServer.h"
#include "support/TempDir.h"

namespace {

using appstest::LineClient;
using datasyncd::ControlServer;

std::string Echo(const std::string& line) { return "{\"echo\":" + std::to_string(line.size()) + ",\"line\":\"" + line + "\"}"; }

// Leaves a socket file behind as a daemon killed with SIGKILL does: bound, then closed.
void MakeStaleSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

class ControlServerTest : public ::testing::Test {
protected:
    std::string SocketPath() const { return dir.path() + "control.sock"; }
    std::unique_ptr<ControlServer> Serving(ControlServer::Handler handler = Echo) {
        auto server = std::make_unique<ControlServer>(SocketPath());
        server->Bind();
        server->Start(std::move(handler));
        return server;
    }
    testsupport::TempDir dir;
};

TEST_F(ControlServerTest, AnswersEveryRequestOfAConnectionInOrder) {
    auto server = Serving();
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    ASSERT_TRUE(client.Send("a\nbb\r\n\nccc\n"));  // CR LF accepted, blank lines ignored
    EXPECT_EQ(client.ReadLine(), "{\"echo\":1,\"line\":\"a\"}");
    EXPECT_EQ(client.ReadLine(), "{\"echo\":2,\"line\":\"bb\"}");
    EXPECT_EQ(client.ReadLine(), "{\"echo\":3,\"line\":\"ccc\"}");
    ASSERT_TRUE(client.Send("dddd\n"));  // and later requests on the same connection
    EXPECT_EQ(client.ReadLine(), "{\"echo\":4,\"line\":\"dddd\"}");
}

TEST_F(ControlServerTest, RequestSplitAcrossWritesIsOneRequest) {
    auto server = Serving();
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    ASSERT_TRUE(client.Send("hel"));
    ASSERT_TRUE(client.Send("lo\n"));
    EXPECT_EQ(client.ReadLine(), "{\"echo\":5,\"line\":\"hello\"}");
}

TEST_F(ControlServerTest, AnIdleClientDoesNotHoldUpAnother) {
    auto server = Serving();
    LineClient idle;
    ASSERT_TRUE(idle.Connect(SocketPath()));
    ASSERT_TRUE(idle.Send("half a requ"));
    LineClient busy;
    ASSERT_TRUE(busy.Connect(SocketPath()));
    ASSERT_TRUE(busy.Send("x\n"));
    EXPECT_EQ(busy.ReadLine(std::chrono::seconds(5)), "{\"echo\":1,\"line\":\"x\"}");
}

TEST_F(ControlServerTest, ManyPipelinedRequestsFromAClientThatReadsLateAreAllAnswered) {
    // The answers outgrow what the server keeps pending for one client, so it must hold back
    // requests and resume them as the client reads, without stalling.
    auto server = Serving([](const std::string& line) { return std::string(1000, 'a') + line; });
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    std::string requests;
    for (int i = 0; i < 2000; ++i) requests += std::to_string(i) + "\n";
    ASSERT_TRUE(client.Send(requests));
    for (int i = 0; i < 2000; ++i) {
        const auto line = client.ReadLine(std::chrono::seconds(10));
        ASSERT_TRUE(line.has_value()) << "answer " << i << " missing";
        ASSERT_EQ(*line, std::string(1000, 'a') + std::to_string(i));
    }
}

TEST_F(ControlServerTest, LastRequestWithoutNewlineIsAnsweredWhenTheClientStopsWriting) {
    auto server = Serving();
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    ASSERT_TRUE(client.Send("end"));
    client.ShutdownWrite();
    EXPECT_EQ(client.ReadLine(), "{\"echo\":3,\"line\":\"end\"}");
    EXPECT_TRUE(client.ClosedByPeer());
}

TEST_F(ControlServerTest, OverlongRequestIsRefusedAndTheConnectionClosed) {
    std::atomic<int> handled{0};
    auto server = Serving([&handled](const std::string& line) {
        ++handled;
        return Echo(line);
    });
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    ASSERT_TRUE(client.Send(std::string(ControlServer::kMaxLineBytes + 10, 'x')));
    const auto answer = client.ReadLine();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, "{\"error\":\"request line longer than 65536 bytes\",\"ok\":false}");
    EXPECT_TRUE(client.ClosedByPeer());
    EXPECT_EQ(handled.load(), 0);

    // A request of exactly the limit is still served.
    LineClient fits;
    ASSERT_TRUE(fits.Connect(SocketPath()));
    ASSERT_TRUE(fits.Send(std::string(ControlServer::kMaxLineBytes, 'y') + "\n"));
    const auto served = fits.ReadLine();
    ASSERT_TRUE(served.has_value());
    EXPECT_EQ(served->rfind("{\"echo\":65536,", 0), 0u);
}

TEST_F(ControlServerTest, HandlerFailureBecomesAnErrorAnswer) {
    auto server = Serving([](const std::string&) -> std::string { throw std::runtime_error("boom"); });
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    ASSERT_TRUE(client.Send("x\n"));
    EXPECT_EQ(client.ReadLine(), "{\"error\":\"internal error: boom\",\"ok\":false}");
}

TEST_F(ControlServerTest, SocketFileIsPrivateToTheDaemonUser) {
    auto server = Serving();
    struct stat info {};
    ASSERT_EQ(::lstat(SocketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(ControlServerTest, StaleSocketFileIsReplaced) {
    MakeStaleSocket(SocketPath());
    auto server = Serving();
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    ASSERT_TRUE(client.Send("x\n"));
    EXPECT_TRUE(client.ReadLine().has_value());
}

TEST_F(ControlServerTest, RefusesToBindWhereAnotherServerAnswers) {
    auto first = Serving();
    ControlServer second(SocketPath());
    try {
        second.Bind();
        FAIL() << "a second server bound the same path";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("another datasyncd is running"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(SocketPath()), std::string::npos) << error.what();
    }
    second.Stop();
    // The refused server left the first one's socket alone.
    LineClient client;
    ASSERT_TRUE(client.Connect(SocketPath()));
    ASSERT_TRUE(client.Send("x\n"));
    EXPECT_TRUE(client.ReadLine().has_value());
}

TEST_F(ControlServerTest, RefusesToReplaceAFileThatIsNotASocket) {
    std::ofstream(SocketPath()) << "keep me";
    ControlServer server(SocketPath());
    EXPECT_THROW(server.Bind(), std::runtime_error);
    std::ifstream in(SocketPath());
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
}

TEST_F(ControlServerTest, PathTooLongForAUnixSocketIsNamed) {
    const std::string path = dir.path() + std::string(120, 'p');
    ControlServer server(path);
    try {
        server.Bind();
        FAIL() << "expected an error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("too long"), std::string::npos) << error.what();
    }
}

TEST_F(ControlServerTest, StopClosesConnectedClientsAndRemovesTheSocketFile) {
    auto server = Serving();
    LineClient idle;
    ASSERT_TRUE(idle.Connect(SocketPath()));
    ASSERT_TRUE(idle.Send("x\n"));
    ASSERT_TRUE(idle.ReadLine().has_value());  // the connection is being served
    server->Stop();
    EXPECT_TRUE(idle.ClosedByPeer(std::chrono::seconds(5)));
    EXPECT_NE(::access(SocketPath().c_str(), F_OK), 0) << "socket file left behind";
    server->Stop();  // safe twice
}

TEST_F(ControlServerTest, StopWithoutStartReleasesTheClaimedPath) {
    {
        ControlServer server(SocketPath());
        server.Bind();
    }  // the destructor stops
    EXPECT_NE(::access(SocketPath().c_str(), F_OK), 0);
    ControlServer unbound(SocketPath());
    unbound.Stop();
}

}  // namespace
