#include "platform/NfQueue.h"

#include "platform/NfNetlink.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok::platform {
namespace {

constexpr std::size_t BufferSize = 256 * 1024;
// The IP header (IPv4 at most 60 bytes, IPv6 40) and the ports.
constexpr std::uint32_t CopyRange = 64;

// Appends one attribute, padded, to a message buffer.
void attribute(std::vector<unsigned char>& out, std::uint16_t type, const void* data,
               std::size_t length) {
    nlattr header{static_cast<std::uint16_t>(NLA_HDRLEN + length), type};
    const std::size_t at = out.size();
    out.resize(at + NLA_ALIGN(NLA_HDRLEN + length), 0);
    std::memcpy(out.data() + at, &header, sizeof header);
    std::memcpy(out.data() + at + NLA_HDRLEN, data, length);
}

} // namespace

int NfQueue::configure(const void* attributes, std::size_t length) {
    return nfnetlink::configure(m_fd.get(), (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_CONFIG, m_queue,
                                attributes, length);
}

int NfQueue::open(std::uint16_t queue, std::uint32_t maxLength) {
    close();
    m_queue = queue;
    int error = 0;
    m_fd.reset(nfnetlink::openSocket(1024 * 1024, &error));
    if (!m_fd.valid())
        return error;
    std::vector<unsigned char> bind;
    const nfqnl_msg_config_cmd command{NFQNL_CFG_CMD_BIND, 0, 0};
    attribute(bind, NFQA_CFG_CMD, &command, sizeof command);
    std::vector<unsigned char> settings;
    nfqnl_msg_config_params params{};
    params.copy_range = htonl(CopyRange);
    params.copy_mode = NFQNL_COPY_PACKET;
    attribute(settings, NFQA_CFG_PARAMS, &params, sizeof params);
    const std::uint32_t length = htonl(maxLength);
    attribute(settings, NFQA_CFG_QUEUE_MAXLEN, &length, sizeof length);
    // No fail-open: a packet the queue has no room for is dropped, never passed.
    for (const std::vector<unsigned char>* attributes : {&bind, &settings})
        if (const int error = configure(attributes->data(), attributes->size()); error != 0) {
            close();
            return error;
        }
    m_buffer.resize(BufferSize);
    return 0;
}

bool decodeQueuedPacket(const unsigned char* attributes, std::size_t length, QueuedPacket& packet) {
    const unsigned char* payload = nullptr;
    std::size_t payloadLength = 0;
    bool hasId = false;
    for (std::size_t offset = 0; offset + NLA_HDRLEN <= length;) {
        nlattr attribute;
        std::memcpy(&attribute, attributes + offset, sizeof attribute);
        if (attribute.nla_len < NLA_HDRLEN || offset + attribute.nla_len > length)
            break;
        const int type = attribute.nla_type & NLA_TYPE_MASK;
        if (type == NFQA_PACKET_HDR && attribute.nla_len >= NLA_HDRLEN + 4) {
            std::uint32_t id = 0;
            std::memcpy(&id, attributes + offset + NLA_HDRLEN, 4);
            packet.id = ntohl(id);
            hasId = true;
        } else if (type == NFQA_PAYLOAD) {
            payload = attributes + offset + NLA_HDRLEN;
            payloadLength = attribute.nla_len - NLA_HDRLEN;
        }
        offset += NLA_ALIGN(attribute.nla_len);
    }
    if (!hasId || !payload)
        return false;
    nfnetlink::PacketHeaders headers;
    if (!nfnetlink::decodeHeaders(payload, payloadLength, headers))
        return false;
    const std::size_t addressLength = headers.v6 ? 16 : 4;
    packet.v6 = headers.v6;
    packet.protocol = headers.protocol;
    packet.source = {};
    packet.destination = {};
    std::memcpy(packet.source.data(), headers.source, addressLength);
    std::memcpy(packet.destination.data(), headers.destination, addressLength);
    packet.sourcePort = headers.sourcePort;
    packet.destinationPort = headers.destinationPort;
    return true;
}

void NfQueue::read(std::vector<QueuedPacket>& packets, std::size_t max) {
    const std::size_t first = packets.size();
    while (m_fd.valid() && packets.size() - first < max) {
        const ssize_t received = ::recv(m_fd.get(), m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
        if (received < 0) {
            if (errno == ENOBUFS)
                continue; // the kernel dropped what it could not deliver
            break;
        }
        int left = static_cast<int>(std::min<ssize_t>(received, INT_MAX));
        for (auto* header = reinterpret_cast<const nlmsghdr*>(m_buffer.data());
             NLMSG_OK(header, left); header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET))
                continue;
            const std::size_t body = NLMSG_ALIGN(sizeof(nfgenmsg));
            if (header->nlmsg_len < NLMSG_LENGTH(body))
                continue;
            QueuedPacket packet;
            packet.id = 0;
            const bool decoded =
                decodeQueuedPacket(static_cast<const unsigned char*>(NLMSG_DATA(header)) + body,
                                   header->nlmsg_len - NLMSG_LENGTH(body), packet);
            if (decoded)
                packets.push_back(packet);
            else if (packet.id != 0)
                verdict(packet.id, false);
        }
    }
}

int NfQueue::verdict(std::uint32_t id, bool accept) {
    if (!m_fd.valid())
        return EBADF;
    std::vector<unsigned char> message(NLMSG_LENGTH(sizeof(nfgenmsg)), 0);
    const nfqnl_msg_verdict_hdr verdict{htonl(accept ? NF_ACCEPT : NF_DROP), htonl(id)};
    attribute(message, NFQA_VERDICT_HDR, &verdict, sizeof verdict);
    auto* header = reinterpret_cast<nlmsghdr*>(message.data());
    header->nlmsg_len = static_cast<std::uint32_t>(message.size());
    header->nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT;
    header->nlmsg_flags = NLM_F_REQUEST;
    auto* body = static_cast<nfgenmsg*>(NLMSG_DATA(header));
    body->nfgen_family = AF_UNSPEC;
    body->version = NFNETLINK_V0;
    body->res_id = htons(m_queue);
    return ::send(m_fd.get(), message.data(), message.size(), 0) < 0 ? errno : 0;
}

} // namespace tarvok::platform
