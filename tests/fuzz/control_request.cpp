// The control socket's request lines through the real server and request handler (the input is
// what one client sends before it hangs up): every non-empty line gets exactly one answer, and
// every answer is one JSON object with a boolean "ok". Agent hooks answer at once; no bus.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "datasyncd/ControlRequests.h"
#include "datasyncd/ControlServer.h"
#include "fuzz/FuzzSupport.h"

namespace {

struct DroppingBus : ZEL::ZELPublisherSubscriber {
    std::wstring Subscribe(Callback, bool) override { return L"1"; }
    void Unsubscribe(std::wstring) override {}
    void Notify(ZEL::ZELNotificationData&, std::wstring) override {}
    bool GetLastNotificationForTopic(ZEL::TopicId&, ZEL::EventState&) override { return false; }
};

datasyncd::ControlServer& Server() {
    static datasyncd::ControlServer* server = [] {
        datasyncd::ControlRequests::AgentHooks hooks;
        hooks.statusSnapshot = [] { return Json::Value(Json::objectValue); };
        hooks.purge = [] { Json::Value report; report["ok"] = true; return report; };
        hooks.resume = [] { return std::string(); };
        hooks.addDeviceContext = [](std::int64_t) { return std::string(); };
        hooks.metrics = [] { return std::string("datasync_up 1\n"); };
        auto* requests = new datasyncd::ControlRequests(hooks, new DroppingBus(), nullptr);
        static const std::string path = "/tmp/datasync-fuzz-control-" + std::to_string(::getpid()) + ".sock";
        auto* s = new datasyncd::ControlServer(path);
        s->Bind();
        // The server lives until the process exits (libFuzzer destroys nothing); its socket file
        // goes then, so that runs leave nothing behind in /tmp.
        std::atexit([] { ::unlink(path.c_str()); });
        s->Start([requests](const std::string& line, const datasyncd::PeerCredentials&) {
            return requests->HandleLine(line, datasyncd::ControlAccess::Full, "fuzz");
        });
        return s;
    }();
    return *server;
}

// EINTR comes from libFuzzer's timeout alarm.
std::string Exchange(const std::string& path, const std::string& sent) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::memcpy(address.sun_path, path.data(), path.size());
    int connected;
    do connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (connected != 0 && errno == EINTR);
    fuzz::Check(fd >= 0 && connected == 0, "connect", std::strerror(errno));
    for (size_t done = 0; done < sent.size();) {
        const ssize_t n = ::send(fd, sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
        fuzz::Check(n > 0 || (n < 0 && errno == EINTR), "send", std::strerror(errno));
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ::shutdown(fd, SHUT_WR);
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) != 0;) {
        fuzz::Check(n > 0 || errno == EINTR, "recv", std::strerror(errno));
        if (n > 0) received.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return received;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > datasyncd::ControlServer::kMaxLineBytes) return 0;  // the long-line limit has a test of its own
    const std::string sent = fuzz::Text(data, size);
    const std::string received = Exchange(Server().SocketPath(), sent);
    fuzz::Check(received.empty() || received.back() == '\n', "every answer ends with a newline", received);
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    size_t answers = 0, requests = 0;  // request lines: cut at '\n', a final '\r' dropped, empty ones skipped
    std::istringstream answerLines(received), requestLines(sent);
    for (std::string line, errors; std::getline(answerLines, line); ++answers) {
        Json::Value answer;
        const bool parsed = reader->parse(line.data(), line.data() + line.size(), &answer, &errors);
        fuzz::Check(parsed && answer.isObject() && answer["ok"].isBool(), "every answer is JSON with a boolean ok", line);
    }
    for (std::string line; std::getline(requestLines, line);) requests += !line.empty() && line != "\r";
    fuzz::Check(answers == requests, "one answer per request line", sent + "\n---\n" + received);
    return 0;
}
