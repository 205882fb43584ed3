// The collector's listener, routes and lifecycle on top of cpp-httplib.
#include "datasync-collector/Collector.h"

#include <httplib.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/socket.h>

#include <netdb.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace collector {
namespace {

// Each open connection holds a worker for as long as it is kept alive, and each delayed answer
// holds one for its delay: enough for an agent's threads plus a test's delayed requests.
constexpr size_t kWorkerThreads = 16;
// An agent keeps one connection per thread for as long as it runs.
constexpr size_t kKeepAliveMaxCount = 1000000;
constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;
const unsigned char kSessionIdContext[] = "datasync-collector";

std::string WriteJson(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, value);
}

// cpp-httplib only checks that the client CA file is named, not that it holds a certificate;
// a bad file would silently refuse every client.
bool HoldsCertificate(const std::string& path) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), &BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> certificate(
        bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr, &X509_free);
    ERR_clear_error();
    return certificate != nullptr;
}

// The answer to a KTA or NAVS request that came without a client certificate (nginx's "SSL
// certificate required"): not one of the codes an agent treats as a permanent refusal.
constexpr int kCertificateRequired = 496;

// Whether the request's connection presented a client certificate that verified. A presented
// certificate that fails verification already ends the handshake.
bool HasVerifiedClientCertificate(const httplib::Request& request) {
    if (request.ssl == nullptr) return false;
    X509* certificate = SSL_get_peer_certificate(request.ssl);
    if (certificate == nullptr) return false;
    X509_free(certificate);
    return SSL_get_verify_result(request.ssl) == X509_V_OK;
}

// The socket of this process connected to `address`:`port`, found by its peer name (cpp-httplib
// does not hand the socket of a plain connection to the handler); -1 when there is none.
int SocketOfPeer(const std::string& address, int port) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        int fd = -1;
        try {
            fd = std::stoi(entry.path().filename().string());
        } catch (const std::exception&) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;
        char host[NI_MAXHOST];
        char service[NI_MAXSERV];
        if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, service, sizeof service,
                          NI_NUMERICHOST | NI_NUMERICSERV) == 0 &&
            address == host && std::to_string(port) == service)
            return fd;
    }
    return -1;
}

// The serial number (upper-case hex) of the client certificate the request's connection
// presented, as its TLS session remembers it; empty without one.
std::string ClientCertificateSerial(const httplib::Request& request) {
    if (request.ssl == nullptr) return std::string();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(SSL_get_peer_certificate(request.ssl), &X509_free);
    if (!certificate) return std::string();
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(
        ASN1_INTEGER_to_BN(X509_get_serialNumber(certificate.get()), nullptr), &BN_free);
    std::unique_ptr<char, void (*)(char*)> hex(number ? BN_bn2hex(number.get()) : nullptr,
                                               [](char* text) { OPENSSL_free(text); });
    return hex ? std::string(hex.get()) : std::string();
}

void SendJson(httplib::Response& response, int status, const Json::Value& body) {
    response.status = status;
    response.set_content(WriteJson(body), "application/json");
}

}  // namespace

Collector::Collector(CollectorOptions options)
    : m_options(std::move(options)), m_faults(m_options.faultSeed), m_recorder(m_options.recordFile) {
    std::string error;
    if (!m_faults.Replace(m_options.faultRules, error)) throw std::runtime_error(error);
    // OpenSSL writes to the sockets with write(), which raises SIGPIPE when a client has gone;
    // a client hanging up must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    if (UsesTls()) {
        if (m_options.keyFile.empty()) throw std::runtime_error("a server certificate needs its key file");
        if (!m_options.clientCaFile.empty() && !HoldsCertificate(m_options.clientCaFile))
            throw std::runtime_error("cannot read a CA certificate from " + m_options.clientCaFile);
        auto server = std::make_unique<httplib::SSLServer>(
            m_options.certFile.c_str(), m_options.keyFile.c_str(),
            m_options.clientCaFile.empty() ? nullptr : m_options.clientCaFile.c_str());
        if (!server->is_valid())
            throw std::runtime_error("cannot load the server certificate " + m_options.certFile + " with key " +
                                     m_options.keyFile);
        // Without a session id context OpenSSL refuses every resumed TLS 1.3 session once client
        // certificates are verified ("internal error" alert), and curl resumes sessions whenever
        // it reconnects after a keep-alive connection was closed.
        SSL_CTX_set_session_id_context(server->ssl_context(), kSessionIdContext, sizeof kSessionIdContext - 1);
        // A client certificate is asked for (and a presented one must verify) but not required at
        // the handshake: KTA and NAVS requests without one are refused per request below, while
        // NAVP, which the agent posts without a certificate, is served on the same port.
        if (!m_options.clientCaFile.empty()) SSL_CTX_set_verify(server->ssl_context(), SSL_VERIFY_PEER, nullptr);
        if (!m_connections.Attach(server->ssl_context()))
            throw std::runtime_error("cannot set up connection tracking");
        m_server = std::move(server);
    } else {
        m_server = std::make_unique<httplib::Server>();
    }

    httplib::Server& server = *m_server;
    // cpp-httplib's default also sets SO_REUSEPORT, which would let a second collector bind the
    // same port and silently take half of the requests. SO_REUSEADDR alone still allows a quick
    // restart on the port of a collector that just stopped.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // An answer goes out in more than one write; with Nagle's algorithm the last one waits for the
    // client's delayed ACK, about 40 ms per request on loopback.
    server.set_tcp_nodelay(true);
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    server.set_keep_alive_max_count(kKeepAliveMaxCount);
    server.set_keep_alive_timeout(m_options.keepAliveTimeoutSeconds);
    server.set_payload_max_length(kMaxBodyBytes);
    server.Get("/_stats", [this](const httplib::Request&, httplib::Response& response) {
        SendJson(response, 200, Stats());
    });
    server.Get("/_control/faults",
               [this](const httplib::Request&, httplib::Response& response) { HandleGetFaults(response); });
    server.Post("/_control/faults", [this](const httplib::Request& request, httplib::Response& response) {
        HandleSetFaults(request, response);
    });
    server.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
        HandleUpload(request, response);
    });
}

Collector::~Collector() { Stop(); }

void Collector::Start() {
    if (m_thread.joinable()) throw std::logic_error("the collector was started already");
    if (m_options.port == 0) {
        m_port = m_server->bind_to_any_port(m_options.host);
        if (m_port <= 0) throw std::runtime_error("cannot listen on " + m_options.host + " (any port)");
    } else {
        if (!m_server->bind_to_port(m_options.host, m_options.port))
            throw std::runtime_error("cannot listen on " + m_options.host + ":" + std::to_string(m_options.port));
        m_port = m_options.port;
    }
    auto ended = std::make_shared<std::atomic<bool>>(false);
    m_thread = std::thread([this, ended] {
        m_server->listen_after_bind();
        ended->store(true);
    });
    // Connections are queued by the kernel from the bind on, but stop() only takes effect once
    // the accept loop runs: wait for it so that an early Stop() cannot be lost.
    while (!m_server->is_running() && !ended->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (ended->load() && !m_server->is_running()) {
        m_thread.join();
        throw std::runtime_error("the listener on port " + std::to_string(m_port) + " ended at once");
    }
}

void Collector::Stop() {
    std::lock_guard<std::mutex> stopLock(m_stopMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (!m_thread.joinable()) return;
    m_server->stop();
    m_connections.ShutdownAll();
    m_thread.join();
}

void Collector::DropConnection(const httplib::Request& request) {
    // The handler's thread owns the connection until it returns: the descriptor cannot be
    // reused meanwhile. cpp-httplib's answer then fails to go out and the connection closes.
    const int fd = request.ssl != nullptr ? SSL_get_fd(request.ssl)
                                          : SocketOfPeer(request.remote_addr, request.remote_port);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

bool Collector::Delay(int delayMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_inDelay;
    const bool stopped = m_wake.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return m_stopping; });
    --m_inDelay;
    return !stopped;
}

Json::Value Collector::Stats() const {
    Json::Value stats = m_recorder.Stats();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stats["in_delay"] = m_inDelay;
    }
    stats["tls_handshakes"] = Json::UInt64(m_connections.Handshakes());
    return stats;
}

void Collector::HandleUpload(const httplib::Request& request, httplib::Response& response) {
    ReceivedRequest received;
    received.family = FamilyOfPath(request.path);
    if (received.family.empty()) {
        Json::Value body(Json::objectValue);
        body["error"] = "no endpoint family at " + request.path;
        SendJson(response, 404, body);
        return;
    }
    if (!m_options.clientCaFile.empty() && received.family != "navp" && !HasVerifiedClientCertificate(request)) {
        Json::Value body(Json::objectValue);
        body["error"] = "a client certificate is required at " + request.path;
        SendJson(response, kCertificateRequired, body);
        return;
    }
    std::optional<Fault> fault = m_faults.Take(received.family);
    // An answer held by a delay when the collector stops cannot go out any more: recording it
    // as answered would count a request the client never heard back from.
    if (fault && fault->delayMs > 0 && !Delay(fault->delayMs)) {
        fault->drop = true;
        fault->status = 0;
    }
    const int status = fault ? fault->status : 200;

    received.path = request.path;
    received.contentType = request.get_header_value("Content-Type");
    received.body = request.body;
    received.client = request.remote_addr + ":" + std::to_string(request.remote_port);
    received.clientCertificate = ClientCertificateSerial(request);
    if (!m_recorder.Record(received, status))
        std::fprintf(stderr, "datasync-collector: cannot append to the record file %s\n", m_options.recordFile.c_str());
    if (fault && fault->drop) {
        DropConnection(request);
        return;
    }
    Json::Value body(Json::objectValue);
    if (fault && fault->deviceMissing) {
        body["errorCode"] = "DeviceMissing";
    } else if (status >= 200 && status < 300) {
        body["accepted"] = true;
    } else {
        body["error"] = "injected fault";
        body["status"] = status;
    }
    SendJson(response, status, body);
}

void Collector::HandleSetFaults(const httplib::Request& request, httplib::Response& response) {
    Json::Value answer(Json::objectValue);
    Json::Value root;
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string error;
    std::vector<std::string> texts;
    bool valid = reader->parse(request.body.data(), request.body.data() + request.body.size(), &root, &error) &&
                 root.isObject() && root["rules"].isArray();
    if (!valid) error = "expected a JSON object {\"rules\":[\"kta=503x2\", ...]}";
    for (const Json::Value& rule : valid ? root["rules"] : Json::Value(Json::arrayValue)) {
        if (!rule.isString()) {
            valid = false;
            error = "every rule must be a string";
            break;
        }
        texts.push_back(rule.asString());
    }
    if (valid) valid = m_faults.Replace(texts, error);
    answer["ok"] = valid;
    if (!valid) {
        answer["error"] = error;
        SendJson(response, 400, answer);
        return;
    }
    answer["rules"] = Json::Value(Json::arrayValue);
    for (const std::string& text : m_faults.Describe()) answer["rules"].append(text);
    SendJson(response, 200, answer);
}

void Collector::HandleGetFaults(httplib::Response& response) {
    Json::Value answer(Json::objectValue);
    answer["rules"] = Json::Value(Json::arrayValue);
    for (const std::string& text : m_faults.Describe()) answer["rules"].append(text);
    SendJson(response, 200, answer);
}

}  // namespace collector
