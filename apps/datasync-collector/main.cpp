// datasync-collector: the reference HTTPS endpoint for the agent's KTA, NAVS and NAVP uploads,
// used by the demo and the end-to-end tests. Prints "listening on HOST:PORT" once it accepts
// connections and runs until SIGTERM or SIGINT.
#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "datasync-collector/Collector.h"

namespace {

bool ParseListen(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    try {
        size_t used = 0;
        port = std::stoi(text.substr(colon + 1), &used);
        return used == text.size() - colon - 1 && port >= 0 && port <= 65535;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "datasync-collector: an HTTPS endpoint that accepts the agent's uploads, records each one "
        "as a JSON line and can inject faults."};
    app.set_version_flag("--version", "datasync-collector " DATASYNC_VERSION, "print the version and exit");
    std::string listen;
    collector::CollectorOptions options;
    app.add_option("--listen", listen, "HOST:PORT to listen on, e.g. 127.0.0.1:8443; port 0 picks a free port")
        ->required();
    app.add_option("--cert", options.certFile, "PEM server certificate (with its chain)")
        ->required()
        ->check(CLI::ExistingFile);
    app.add_option("--key", options.keyFile, "PEM private key of --cert")->required()->check(CLI::ExistingFile);
    app.add_option("--client-ca", options.clientCaFile,
                   "PEM CA certificate; when given, KTA and NAVS requests must present a client "
                   "certificate signed by it (mutual TLS; NAVP is posted without one)")
        ->check(CLI::ExistingFile);
    app.add_option("--record", options.recordFile,
                   "file to append one JSON line per upload to: family, path, content_type, body (parsed "
                   "when JSON; NAVP \"json=\" bodies parsed with body_prefix), status, time")
        ->required();
    app.add_option("--fault", options.faultRules,
                   std::string("fault rule, repeatable:\n") +
                       collector::FaultRules::kSyntaxHelp);
    app.add_option("--seed", options.faultSeed,
                   "seed of the random pick of rules with a share (default 1): the same seed and the same "
                   "order of requests give the same faults");
    app.footer(
        "Uploads: POST .../kta/<suffix>, .../navs/<suffix>, .../navp (any path prefix); other paths 404.\n"
        "Control (same listener): GET /_stats; GET /_control/faults;\n"
        "  POST /_control/faults {\"rules\":[\"kta=503x2\"]} replaces the rules, {\"rules\":[]} clears them.\n"
        "On start prints \"listening on HOST:PORT\"; SIGTERM or SIGINT stops it (exit 0).");
    CLI11_PARSE(app, argc, argv);

    if (!ParseListen(listen, options.host, options.port)) {
        std::fprintf(stderr, "datasync-collector: --listen must be HOST:PORT, got \"%s\"\n", listen.c_str());
        return 2;
    }

    // Block the stop signals before any thread starts, so that every thread inherits the mask
    // and sigwait below is the only place they are delivered.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        collector::Collector server(options);
        server.Start();
        std::printf("listening on %s:%d\n", options.host.c_str(), server.Port());
        std::fflush(stdout);
        int received = 0;
        sigwait(&stopSignals, &received);
        server.Stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "datasync-collector: %s\n", error.what());
        return 1;
    }
    return 0;
}
