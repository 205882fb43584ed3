// The reference endpoint for the agent's uploads: an HTTPS server on one listener that accepts
// POSTs to ".../kta/<suffix>", ".../navs/<suffix>" and ".../navp", records each one (see
// RequestRecorder), answers 200 unless a fault rule says otherwise (see FaultRules), and serves
// its control endpoints:
//
//   GET  /_stats            counts per family and path (RequestRecorder::Stats) plus
//                           "in_delay" (requests held by a delay rule right now) and
//                           "tls_handshakes"
//   GET  /_control/faults   {"rules":[...]} the rules in force, counted rules with what is left
//   POST /_control/faults   {"rules":["kta=503x2", ...]} replaces the rule set ([] clears it);
//                           400 with {"ok":false,"error":...} for a bad rule (nothing changes)
//
// Any other path answers 404 and is not recorded. A request that a "drop" rule picks, or whose
// delayed answer Stop() cuts short, is recorded with status 0 and its connection is shut down
// without an answer.
//
// With a client CA file the server requires a client certificate signed by it (mutual TLS).
// Without a certificate file the collector speaks plain HTTP; that mode exists for tests of
// http:// loopback requests only (the command line always asks for a certificate).
//
// Usable in-process: construct, Start() (serves on a background thread), Port(), Stop().
// Thread safety: every public member may be called from any thread.
#pragma once

#include <json/json.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datasync-collector/ConnectionTracker.h"
#include "datasync-collector/FaultRules.h"
#include "datasync-collector/RequestRecorder.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace collector {

struct CollectorOptions {
    std::string host = "127.0.0.1";
    int port = 0;               // 0: a free port, see Port()
    std::string certFile;       // PEM server certificate (chain); empty: plain HTTP
    std::string keyFile;        // PEM private key of certFile
    std::string clientCaFile;   // non-empty: KTA and NAVS requests need a client certificate of this CA
    std::string recordFile;     // JSON lines appended here; empty: nothing written
    std::vector<std::string> faultRules;
    std::uint64_t faultSeed = 1;  // seeds the random pick of rules with a share
    // How long an idle plain-HTTP connection is kept; Stop() may wait this long for one. Idle
    // TLS connections are ended at once by Stop().
    int keepAliveTimeoutSeconds = 5;
};

class Collector {
public:
    // Loads the certificates, parses the fault rules and opens the record file; throws
    // std::runtime_error saying what is wrong. Nothing listens before Start().
    explicit Collector(CollectorOptions options);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Binds the listener and serves on a background thread; returns once connections are
    // accepted. Throws std::runtime_error when it cannot bind. Call at most once.
    void Start();
    // The bound port (after Start).
    int Port() const { return m_port; }
    // Stops serving: wakes delayed answers, ends open connections, joins the threads. Safe to
    // call more than once; the destructor calls it.
    void Stop();

    Json::Value Stats() const;
    FaultRules& Faults() { return m_faults; }
    bool UsesTls() const { return !m_options.certFile.empty(); }

private:
    void HandleUpload(const httplib::Request& request, httplib::Response& response);
    void HandleSetFaults(const httplib::Request& request, httplib::Response& response);
    void HandleGetFaults(httplib::Response& response);
    // Waits `delayMs` or until Stop(), whichever comes first; false when Stop() ended it.
    bool Delay(int delayMs);
    // Shuts down the connection `request` came on, so that no answer reaches the client.
    static void DropConnection(const httplib::Request& request);

    CollectorOptions m_options;
    FaultRules m_faults;
    RequestRecorder m_recorder;
    ConnectionTracker m_connections;  // declared before m_server: outlives its connections
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;

    std::mutex m_stopMutex;  // serialises Stop calls
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;  // guarded by m_mutex
    int m_inDelay = 0;        // guarded by m_mutex
};

}  // namespace collector
