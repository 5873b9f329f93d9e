// Feeds arbitrary bytes to the NFLOG decoder as one datagram from the kernel's log group, with
// the sequence number its first message should carry, and checks that every packet it hands
// over came from a message of its own and holds a TCP packet's endpoints.

#include "FuzzCheck.h"
#include "platform/NfLog.h"

#include <cstddef>
#include <cstring>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <vector>

using namespace tarvok::platform;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A socket's receive buffer is aligned for nlmsghdr; so is this copy.
    std::vector<std::uint32_t> aligned((size + 3) / 4);
    if (size > 0)
        std::memcpy(aligned.data(), data, size);
    std::uint32_t sequence = 0;
    if (size >= sizeof(nlmsghdr))
        std::memcpy(&sequence, data + offsetof(nlmsghdr, nlmsg_seq), sizeof sequence);
    std::vector<LoggedPacket> packets(1); // one already there, which stays as it was
    packets[0].sourcePort = 7;
    decodeLoggedDatagram(reinterpret_cast<const unsigned char*>(aligned.data()), size, sequence,
                         packets);
    const std::size_t messages = size / NLMSG_LENGTH(sizeof(nfgenmsg));
    check(packets.size() - 1 <= messages, "one packet per message at most");
    check(packets[0].sourcePort == 7, "earlier packets are kept");
    for (const LoggedPacket& packet : packets)
        check(packet.family == Family::Inet || packet.family == Family::Inet6,
              "every packet is IPv4 or IPv6");
    return 0;
}
