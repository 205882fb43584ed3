// Who may use the control socket. The server reads each connection's peer credentials from the
// kernel (SO_PEERCRED, SO_PEERGROUPS) when it accepts it; the decision below turns them into
// what the connection may ask for:
//   Full      root or the daemon's own user: every request
//   ReadOnly  a member of the host config's control_read_group (primary or supplementary
//             group): only the requests that change nothing, "status" and "metrics"
//   None      anybody else, and a peer whose credentials could not be read: nothing
// The socket file's mode keeps most of these out before they connect (0600, or 0660 with the
// read group as its group); this check is what holds when the file's mode is wrong.
//
// Pure functions of their arguments: any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace datasyncd {

struct PeerCredentials {
    bool known = false;  // false: the kernel did not tell (the peer then gets no access)
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};

struct ControlAccessRules {
    uid_t daemonUid = 0;
    std::optional<gid_t> readGroup;  // control_read_group, when configured
};

enum class ControlAccess { None, ReadOnly, Full };

ControlAccess DecideControlAccess(const PeerCredentials& peer, const ControlAccessRules& rules);

// "uid 1000, gid 1000, pid 4242" (or "a peer of unknown credentials") for answers and the log.
std::string DescribePeer(const PeerCredentials& peer);

// The credentials of the peer of a connected Unix socket; known == false when they cannot be read.
PeerCredentials ReadPeerCredentials(int socket);

}  // namespace datasyncd
