// The demo's private PKI, generated with the OpenSSL API: a CA; a server certificate for
// 127.0.0.1 and localhost (subjectAltName IP and DNS) for the collector; a client certificate
// for the daemon's mutual-TLS uploads and the demo's own GET /_stats. EC P-256 keys keep
// generation to a few milliseconds; everything is valid from a day ago for 30 days.
//
// Files are PEM; private keys are written with mode 0600.
#pragma once

#include <string>

namespace datasyncctl {

struct DemoPki {
    std::string caCert;
    std::string serverCert;
    std::string serverKey;
    std::string clientCert;
    std::string clientKey;
};

// Writes ca.pem, server.pem, server-key.pem, client.pem and client-key.pem into `folder`
// (which ends with '/' and exists). `deviceId` becomes the client certificate's common name.
// Throws std::runtime_error naming the step or the file that failed.
DemoPki GenerateDemoPki(const std::string& folder, const std::string& deviceId);

}  // namespace datasyncctl
