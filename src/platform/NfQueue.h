#pragma once
// A netfilter queue of our own, read from a NETLINK_NETFILTER socket: the packets a rule hands
// to it wait in the kernel until they get a verdict (accept or drop). Only the headers are
// copied out. The kernel drops every packet still waiting when the socket closes, so nothing
// held is ever passed by an end.

#include "platform/TableRows.h"
#include "platform/UniqueFd.h"

#include <cstdint>
#include <vector>

namespace tarvok::platform {

struct QueuedPacket {
    std::uint32_t id = 0;
    bool v6 = false;
    std::uint8_t protocol = 6;                         // IPPROTO_TCP or IPPROTO_UDP
    Address6 source{}, destination{};                  // IPv4 in the first four bytes
    std::uint16_t sourcePort = 0, destinationPort = 0; // host order
};

class NfQueue {
public:
    // Binds a queue number, with room for maxLength waiting packets; 0 or an errno value
    // (EPERM without CAP_NET_ADMIN or when another socket holds the number).
    int open(std::uint16_t queue, std::uint32_t maxLength);
    void close() { m_fd.reset(); }
    int fd() const { return m_fd.get(); }
    std::uint16_t queue() const { return m_queue; }

    // Reads what is waiting, without blocking, appending at most max packets. A packet that is
    // not plain TCP or UDP over IP cannot be named, and is dropped at once: nothing held
    // passes unasked.
    void read(std::vector<QueuedPacket>& packets, std::size_t max);
    // The verdict for one packet; 0 or an errno value.
    int verdict(std::uint32_t id, bool accept);

private:
    int configure(const void* attributes, std::size_t length);

    UniqueFd m_fd;
    std::uint16_t m_queue = 0;
    std::vector<unsigned char> m_buffer;
};

// Decodes a queued packet's attributes (after nfgenmsg); false when it is not TCP or UDP over
// IP (its id is still set when the header was there).
bool decodeQueuedPacket(const unsigned char* attributes, std::size_t length, QueuedPacket& packet);

} // namespace tarvok::platform
