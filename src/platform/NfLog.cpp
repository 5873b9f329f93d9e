#include "platform/NfLog.h"

#include "platform/NfNetlink.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_log.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok::platform {
namespace {

constexpr std::size_t BufferSize = 256 * 1024;
// Only the headers are needed: the IP header (at most 60 bytes, IPv6 40) and the ports.
constexpr std::uint32_t CopyRange = 64;

std::uint32_t word(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

} // namespace

int NfLog::configure(const void* attribute, std::size_t length) {
    return nfnetlink::configure(m_fd.get(), (NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_CONFIG, m_group,
                                attribute, length);
}

int NfLog::open(std::uint16_t group) {
    close();
    m_group = group;
    // Room for a burst of refusals while the GUI thread is busy.
    int error = 0;
    m_fd.reset(nfnetlink::openSocket(4 * 1024 * 1024, &error));
    if (!m_fd.valid())
        return error;
    struct {
        nlattr header;
        nfulnl_msg_config_cmd command;
        unsigned char pad[3];
    } bind{{NLA_HDRLEN + sizeof(nfulnl_msg_config_cmd), NFULA_CFG_CMD}, {NFULNL_CFG_CMD_BIND}, {}};
    // Each attribute is padded to its aligned length, which is what is sent.
    struct {
        nlattr header;
        nfulnl_msg_config_mode mode;
        unsigned char pad[2];
    } mode{{NLA_HDRLEN + sizeof(nfulnl_msg_config_mode), NFULA_CFG_MODE},
           {htonl(CopyRange), NFULNL_COPY_PACKET, 0},
           {}};
    static_assert(sizeof mode >= NLA_ALIGN(NLA_HDRLEN + sizeof(nfulnl_msg_config_mode)));
    // Batches of up to 64 packets, or whatever came within 20 ms: few wake-ups in a flood.
    struct {
        nlattr header;
        std::uint32_t value;
    } threshold{{NLA_HDRLEN + 4, NFULA_CFG_QTHRESH}, htonl(64)},
        flushAfter{{NLA_HDRLEN + 4, NFULA_CFG_TIMEOUT}, htonl(2)};
    // Sequence numbers, so that packets lost to a full socket are still counted.
    struct {
        nlattr header;
        std::uint16_t value;
        std::uint16_t pad;
    } flags{{NLA_HDRLEN + 2, NFULA_CFG_FLAGS}, htons(NFULNL_CFG_F_SEQ), 0};
    for (const auto& [attribute, length] :
         {std::pair<const void*, std::size_t>{&bind, NLA_ALIGN(bind.header.nla_len)},
          {&mode, NLA_ALIGN(mode.header.nla_len)},
          {&threshold, sizeof threshold},
          {&flushAfter, sizeof flushAfter},
          {&flags, sizeof flags}}) {
        if (const int error = configure(attribute, length); error != 0) {
            close();
            return error;
        }
    }
    m_buffer.resize(BufferSize);
    m_nextSequence = 0; // a new binding numbers from 0
    return 0;
}

bool decodeLoggedPacket(const unsigned char* attributes, std::size_t length, LoggedPacket& packet,
                        std::uint32_t* sequence) {
    const unsigned char* payload = nullptr;
    std::size_t payloadLength = 0;
    packet.incoming = false;
    for (std::size_t offset = 0; offset + NLA_HDRLEN <= length;) {
        nlattr attribute;
        std::memcpy(&attribute, attributes + offset, sizeof attribute);
        if (attribute.nla_len < NLA_HDRLEN || offset + attribute.nla_len > length)
            break;
        const int type = attribute.nla_type & NLA_TYPE_MASK;
        if (type == NFULA_IFINDEX_INDEV)
            packet.incoming = true;
        else if (type == NFULA_SEQ && sequence && attribute.nla_len >= NLA_HDRLEN + 4) {
            std::uint32_t value = 0;
            std::memcpy(&value, attributes + offset + NLA_HDRLEN, 4);
            *sequence = ntohl(value);
        } else if (type == NFULA_PAYLOAD) {
            payload = attributes + offset + NLA_HDRLEN;
            payloadLength = attribute.nla_len - NLA_HDRLEN;
        }
        offset += NLA_ALIGN(attribute.nla_len);
    }
    if (!payload)
        return false;
    nfnetlink::PacketHeaders headers;
    if (!nfnetlink::decodeHeaders(payload, payloadLength, headers))
        return false;
    packet.family = headers.v6 ? Family::Inet6 : Family::Inet;
    packet.protocol = headers.protocol;
    if (headers.v6) {
        std::memcpy(packet.source6.data(), headers.source, 16);
        std::memcpy(packet.destination6.data(), headers.destination, 16);
    } else {
        std::memcpy(&packet.source, headers.source, 4);
        std::memcpy(&packet.destination, headers.destination, 4);
    }
    packet.sourcePort = headers.sourcePort;
    packet.destinationPort = headers.destinationPort;
    if (packet.protocol == IPPROTO_TCP && payloadLength >= headers.transport + 8)
        packet.tcpSequence = word(payload + headers.transport + 4);
    return true;
}

std::size_t decodeLoggedDatagram(const unsigned char* data, std::size_t length,
                                 std::uint32_t& nextSequence, std::vector<LoggedPacket>& packets) {
    std::size_t lost = 0;
    int left = static_cast<int>(std::min<std::size_t>(length, INT_MAX));
    for (auto* header = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type != ((NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_PACKET))
            continue;
        const std::size_t body = NLMSG_ALIGN(sizeof(nfgenmsg));
        if (header->nlmsg_len < NLMSG_LENGTH(body))
            continue;
        LoggedPacket packet;
        std::uint32_t sequence = nextSequence;
        const bool decoded =
            decodeLoggedPacket(static_cast<const unsigned char*>(NLMSG_DATA(header)) + body,
                               header->nlmsg_len - NLMSG_LENGTH(body), packet, &sequence);
        // Only a forward gap is a loss; anything else (a wrap, a rebind) restarts the count.
        if (const std::uint32_t gap = sequence - nextSequence; gap < 0x80000000u)
            lost += gap;
        nextSequence = sequence + 1;
        if (decoded)
            packets.push_back(packet);
    }
    return lost;
}

std::size_t NfLog::read(std::vector<LoggedPacket>& packets, std::size_t max) {
    std::size_t lost = 0;
    const std::size_t first = packets.size();
    while (m_fd.valid() && packets.size() - first < max) {
        const ssize_t received = ::recv(m_fd.get(), m_buffer.data(), m_buffer.size(), MSG_DONTWAIT);
        if (received < 0) {
            if (errno == ENOBUFS)
                continue; // the overrun shows as a gap in the sequence numbers
            break;        // EAGAIN: nothing more waits
        }
        lost += decodeLoggedDatagram(m_buffer.data(), static_cast<std::size_t>(received),
                                     m_nextSequence, packets);
    }
    return lost;
}

} // namespace tarvok::platform
