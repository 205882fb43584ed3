// The control socket's access decision and the kernel calls that feed it.
#include "datasyncd/ControlAccess.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace datasyncd {

ControlAccess DecideControlAccess(const PeerCredentials& peer, const ControlAccessRules& rules) {
    if (!peer.known) return ControlAccess::None;
    if (peer.uid == 0 || peer.uid == rules.daemonUid) return ControlAccess::Full;
    if (rules.readGroup &&
        (peer.gid == *rules.readGroup ||
         std::find(peer.groups.begin(), peer.groups.end(), *rules.readGroup) != peer.groups.end()))
        return ControlAccess::ReadOnly;
    return ControlAccess::None;
}

std::string DescribePeer(const PeerCredentials& peer) {
    if (!peer.known) return "a peer of unknown credentials";
    return "uid " + std::to_string(peer.uid) + ", gid " + std::to_string(peer.gid) + ", pid " +
           std::to_string(peer.pid);
}

PeerCredentials ReadPeerCredentials(int socket) {
    PeerCredentials peer;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
        return peer;
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    // SO_PEERGROUPS answers ERANGE with the size it needs when the buffer is too small.
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 3; ++attempt) {
        socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(socket, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            peer.groups = std::move(groups);
            break;
        }
        if (errno != ERANGE) break;  // no supplementary groups known: the primary group still counts
        groups.resize(size / sizeof(gid_t) + 1);
    }
    peer.known = true;
    return peer;
}

}  // namespace datasyncd
