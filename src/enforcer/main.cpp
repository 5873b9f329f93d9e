// tarvok-enforcer: the one part of Tarvok that holds capabilities. The window starts it with
// a connected stream socket as descriptor 3 and asks it for every privileged act; it reads
// nothing else: no arguments, no environment, no file.

#include "enforcer/Enforcer.h"

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int PeerDescriptor = 3;

// Descriptor 3 must be a connected Unix stream socket whose peer runs as this user: no other
// user may steer an enforcer that another started.
bool validPeer(const char** why) {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(PeerDescriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_STREAM) {
        *why = "descriptor 3 is not a stream socket";
        return false;
    }
    sockaddr_storage address{};
    length = sizeof address;
    if (::getsockname(PeerDescriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.ss_family != AF_UNIX) {
        *why = "descriptor 3 is not a Unix socket";
        return false;
    }
    ucred peer{};
    length = sizeof peer;
    if (::getsockopt(PeerDescriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != ::getuid()) {
        *why = "the peer on descriptor 3 is not this user";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char**) {
    if (argc != 1) {
        std::fprintf(stderr, "tarvok-enforcer: takes no arguments; Tarvok starts it\n");
        return 2;
    }
    const char* why = nullptr;
    if (!validPeer(&why)) {
        std::fprintf(stderr, "tarvok-enforcer: %s; Tarvok starts it\n", why);
        return 2;
    }
    // Nothing else that the starting process had open stays open here.
    ::close_range(PeerDescriptor + 1, ~0U, 0);
    // A window gone mid-write is an end of file, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    return tarvok::enforcer::Enforcer(PeerDescriptor).run();
}
