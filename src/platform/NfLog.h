#pragma once
// Packets that the packet filter hands to an NFLOG group, read from a NETLINK_NETFILTER socket
// of our own: for each, the TCP or UDP endpoints and whether it was refused on the way in (input
// hook) or on the way out (output hook).

#include "platform/TableRows.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <vector>

namespace tarvok::platform {

struct LoggedPacket {
    Family family = Family::Inet;
    bool incoming = false;                             // the input hook logged it
    std::uint8_t protocol = 6;                         // IPPROTO_TCP or IPPROTO_UDP
    std::uint32_t source = 0, destination = 0;         // IPv4, row form
    Address6 source6{}, destination6{};                // IPv6
    std::uint16_t sourcePort = 0, destinationPort = 0; // host order
    // The TCP sequence number: a SYN sent again carries the same one, a new attempt from the
    // same ports another. 0 when the copied header was too short to hold it, and for UDP.
    std::uint32_t tcpSequence = 0;
};

class NfLog {
public:
    // Binds to a log group; returns 0 or an errno value (EPERM without CAP_NET_ADMIN).
    int open(std::uint16_t group);
    void close() { m_fd.reset(); }
    int fd() const { return m_fd.get(); }

    // Reads what is waiting, without blocking, appending at most max packets to packets.
    // Returns how many packets the kernel logged but could not deliver (the socket was full):
    // every message carries the group's sequence number, and the gaps are the losses.
    std::size_t read(std::vector<LoggedPacket>& packets, std::size_t max);

private:
    int configure(const void* attribute, std::size_t length);

    UniqueFd m_fd;
    std::uint16_t m_group = 0;
    std::uint32_t m_nextSequence = 0; // what the next message should carry
    std::vector<unsigned char> m_buffer;
};

// Decodes one datagram read from the group's socket (whole netlink messages as the kernel sends
// them, aligned as for nlmsghdr), appending each logged TCP or UDP packet to packets. nextSequence
// is the sequence number the next message should carry and moves past each message; returns how
// many packets the numbers say were lost before them.
std::size_t decodeLoggedDatagram(const unsigned char* data, std::size_t length,
                                 std::uint32_t& nextSequence, std::vector<LoggedPacket>& packets);

// Decodes one NFLOG packet message body (the attributes after nfgenmsg); false when it holds no
// TCP or UDP packet. The message's sequence number, when it has one, goes to *sequence.
bool decodeLoggedPacket(const unsigned char* attributes, std::size_t length, LoggedPacket& packet,
                        std::uint32_t* sequence = nullptr);

} // namespace tarvok::platform
