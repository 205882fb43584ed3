// The demo's private PKI: a CA, the collector's server certificate and the daemon's client
// certificate, valid from a day ago for 30 days.
#include "datasyncctl/DemoCertificates.h"

#include "datasyncctl/Pki.h"

namespace datasyncctl {
namespace {
constexpr long kDay = 24 * 60 * 60;
}  // namespace

DemoPki GenerateDemoPki(const std::string& folder, const std::string& deviceId) {
    using pki::Role;
    DemoPki files{folder + "ca.pem", folder + "server.pem", folder + "server-key.pem", folder + "client.pem",
                  folder + "client-key.pem"};
    const pki::Issued ca = pki::Issue("DataSync Demo CA", Role::Authority, nullptr, -kDay, 30 * kDay);
    pki::Write(ca, files.caCert, nullptr);  // nobody signs anything after the demo: its key is not kept
    pki::Write(pki::Issue("127.0.0.1", Role::Server, &ca, -kDay, 30 * kDay), files.serverCert, &files.serverKey);
    pki::Write(pki::Issue(deviceId, Role::Client, &ca, -kDay, 30 * kDay), files.clientCert, &files.clientKey);
    return files;
}

}  // namespace datasyncctl
