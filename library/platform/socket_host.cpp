// The same on every platform: whether a peer is on this machine, from the
// platform's own addresses.
#include <string>

#include "platform/socket.h"

namespace platform {

bool onThisHost(const SocketAddress& peer, const SocketAddress& local) {
    const std::string host = hostBytes(peer);
    if (host.size() == 4 && host[0] == 127) return true;
    if (host == std::string(15, '\0') + '\1') return true;
    return !host.empty() && host == hostBytes(local);
}

bool peerOnThisHost(int fd) {
    const auto peer = peerAddress(fd);
    const auto local = localAddress(fd);
    return peer.ok() && local.ok() && onThisHost(peer.value(), local.value());
}

}  // namespace platform
