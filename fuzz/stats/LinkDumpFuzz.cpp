// Feeds arbitrary bytes to the link-statistics (RTM_GETLINK) dump decoder as one received
// datagram, with the sequence number of its first message, and to the decoder of the link
// notices (RTM_NEWLINK, RTM_DELLINK) that arrive on their own socket.

#include "FuzzCheck.h"
#include "stats/CIpHelper.h"

#include <cstring>
#include <linux/netlink.h>

using namespace tarvok;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::uint32_t sequence = 0;
    if (size >= sizeof(nlmsghdr))
        std::memcpy(&sequence, data + offsetof(nlmsghdr, nlmsg_seq), sizeof sequence);
    CInterfaces interfaces;
    bool done = false, interrupted = false;
    const bool ok = CIpHelper::decodeLinkMessages(reinterpret_cast<const char*>(data), size,
                                                  sequence, interfaces, done, interrupted);
    check(ok || !done, "a malformed message ends no dump");
    check(std::size_t(interfaces.Count()) <= size / NLMSG_HDRLEN, "one interface per message");

    CInterfaces departed, arrived;
    CIpHelper::decodeNotices(reinterpret_cast<const char*>(data), size, departed, arrived);
    check(std::size_t(departed.Count() + arrived.Count()) <= size / NLMSG_HDRLEN,
          "one interface per notice");
    return 0;
}
