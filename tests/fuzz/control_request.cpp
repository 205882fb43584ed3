// The control socket's request lines, through the real server and the real request handler:
// the input is what one client sends before it hangs up. Every non-empty line gets exactly one
// answer, in order, and every answer is one JSON object with a boolean "ok". The agent is
// replaced by hooks that answer at once; the bus drops what is published.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "datasyncd/ControlRequests.h"
#include "datasyncd/ControlServer.h"
#include "fuzz/FuzzSupport.h"

namespace {

class DroppingBus : public ZEL::ZELPublisherSubscriber {
public:
    std::wstring Subscribe(Callback, bool) override { return L"1"; }
    void Unsubscribe(std::wstring) override {}
    void Notify(ZEL::ZELNotificationData&, std::wstring) override {}
    bool GetLastNotificationForTopic(ZEL::TopicId&, ZEL::EventState&) override { return false; }
};

struct Served {
    DroppingBus bus;
    std::unique_ptr<datasyncd::ControlRequests> requests;
    std::unique_ptr<datasyncd::ControlServer> server;
};

Served& Server() {
    static Served* served = [] {
        auto* s = new Served();
        datasyncd::ControlRequests::AgentHooks hooks;
        hooks.statusSnapshot = [] { return Json::Value(Json::objectValue); };
        hooks.purge = [] {
            Json::Value report(Json::objectValue);
            report["ok"] = true;
            return report;
        };
        hooks.resume = [] { return std::string(); };
        hooks.addDeviceContext = [](std::int64_t) {};
        hooks.metrics = [] { return std::string("datasync_up 1\n"); };
        s->requests = std::make_unique<datasyncd::ControlRequests>(hooks, &s->bus, nullptr);
        s->server = std::make_unique<datasyncd::ControlServer>("/tmp/datasync-fuzz-control-" +
                                                               std::to_string(::getpid()) + ".sock");
        s->server->Bind();
        datasyncd::ControlRequests* requests = s->requests.get();
        s->server->Start([requests](const std::string& line, const datasyncd::PeerCredentials&) {
            return requests->HandleLine(line, datasyncd::ControlAccess::Full, "fuzz");
        });
        return s;
    }();
    return *served;
}

// The lines the server answers: cut at '\n', a final '\r' dropped, empty ones skipped.
size_t RequestLines(const std::string& sent) {
    size_t count = 0;
    size_t start = 0;
    while (start <= sent.size()) {
        size_t end = sent.find('\n', start);
        if (end == std::string::npos) end = sent.size();
        size_t length = end - start;
        if (length > 0 && sent[start + length - 1] == '\r') --length;
        if (length > 0) ++count;
        start = end + 1;
    }
    return count;
}

std::string Exchange(const std::string& path, const std::string& sent) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    fuzz::Check(fd >= 0, "socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    int connected;
    do {
        connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    fuzz::Check(connected == 0, "connect", std::strerror(errno));
    size_t done = 0;
    while (done < sent.size()) {
        const ssize_t n = ::send(fd, sent.data() + done, sent.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;  // libFuzzer's timeout alarm
        fuzz::Check(n > 0, "send");
        done += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string received;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        fuzz::Check(n >= 0, "recv", std::strerror(errno));
        if (n == 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return received;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > datasyncd::ControlServer::kMaxLineBytes) return 0;  // the long-line limit has a test of its own
    Served& served = Server();
    const std::string sent = fuzz::Text(data, size);
    const std::string received = Exchange(served.server->SocketPath(), sent);

    size_t answers = 0;
    size_t start = 0;
    while (start < received.size()) {
        const size_t end = received.find('\n', start);
        fuzz::Check(end != std::string::npos, "every answer ends with a newline", received);
        const std::string line = received.substr(start, end - start);
        Json::Value answer;
        Json::CharReaderBuilder builder;
        builder["failIfExtra"] = true;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        std::string errors;
        fuzz::Check(reader->parse(line.data(), line.data() + line.size(), &answer, &errors) && answer.isObject() &&
                        answer["ok"].isBool(),
                    "every answer is a JSON object with a boolean ok", line);
        ++answers;
        start = end + 1;
    }
    fuzz::Check(answers == RequestLines(sent), "one answer per request line", sent + "\n---\n" + received);
    return 0;
}
