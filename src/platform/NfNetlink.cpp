#include "platform/NfNetlink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tarvok::platform::nfnetlink {

int openSocket(int bufferSize, int* error) {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    const timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferSize, sizeof bufferSize) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

int configure(int fd, std::uint16_t type, std::uint16_t resourceId, const void* attributes,
              std::size_t length) {
    std::vector<unsigned char> message(NLMSG_LENGTH(sizeof(nfgenmsg)), 0);
    message.insert(message.end(), static_cast<const unsigned char*>(attributes),
                   static_cast<const unsigned char*>(attributes) + length);
    auto* header = reinterpret_cast<nlmsghdr*>(message.data());
    header->nlmsg_len = static_cast<std::uint32_t>(message.size());
    header->nlmsg_type = type;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    auto* body = static_cast<nfgenmsg*>(NLMSG_DATA(header));
    body->nfgen_family = AF_UNSPEC;
    body->version = NFNETLINK_V0;
    body->res_id = htons(resourceId);
    if (::send(fd, message.data(), message.size(), 0) < 0)
        return errno;
    alignas(nlmsghdr) unsigned char answer[1024];
    const ssize_t received = ::recv(fd, answer, sizeof answer, 0);
    if (received < 0)
        return errno;
    const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
    if (reply->nlmsg_type == NLMSG_ERROR)
        return -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
    return 0;
}

bool decodeHeaders(const unsigned char* packet, std::size_t length, PacketHeaders& headers) {
    if (length < 1)
        return false;
    const unsigned version = packet[0] >> 4;
    std::size_t protocolAt = 0, sourceAt = 0, addressLength = 0;
    if (version == 4) {
        headers.transport = (packet[0] & 0x0f) * 4u;
        if (headers.transport < 20)
            return false;
        protocolAt = 9;
        sourceAt = 12;
        addressLength = 4;
    } else if (version == 6) {
        headers.transport = 40;
        protocolAt = 6;
        sourceAt = 8;
        addressLength = 16;
    } else {
        return false;
    }
    if (length < headers.transport + 4 ||
        (packet[protocolAt] != IPPROTO_TCP && packet[protocolAt] != IPPROTO_UDP))
        return false;
    headers.v6 = version == 6;
    headers.protocol = packet[protocolAt];
    headers.source = packet + sourceAt;
    headers.destination = packet + sourceAt + addressLength;
    headers.sourcePort = port(packet + headers.transport);
    headers.destinationPort = port(packet + headers.transport + 2);
    return true;
}

} // namespace tarvok::platform::nfnetlink
