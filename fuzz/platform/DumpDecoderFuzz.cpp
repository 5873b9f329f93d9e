// Feeds arbitrary bytes to the sock_diag dump decoder as one received datagram, with the
// sequence number of its first message, and checks that it hands over only whole messages.

#include "FuzzCheck.h"
#include "platform/DumpDecoder.h"

#include <cstring>

using namespace tarvok::platform;
using tarvok::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::uint32_t sequence = 0;
    if (size >= sizeof(nlmsghdr))
        std::memcpy(&sequence, data + offsetof(nlmsghdr, nlmsg_seq), sizeof sequence);
    DumpDecoder decoder(sequence);
    std::size_t sockets = 0;
    const bool ended = decoder.feed(data, size, [&](const inet_diag_msg& message) {
        const auto* at = reinterpret_cast<const unsigned char*>(&message);
        check(at >= data + NLMSG_HDRLEN && at + sizeof message <= data + size,
              "a socket message lies inside the datagram");
        ++sockets;
    });
    check(sockets <= size / NLMSG_LENGTH(sizeof(inet_diag_msg)), "one socket per message");
    check(ended || decoder.result() == ResultOk, "a result only at the end");
    check(!ended || decoder.result() != ResultNotSupported ||
              size >= NLMSG_LENGTH(sizeof(nlmsgerr)),
          "not supported only from an error message");
    return 0;
}
