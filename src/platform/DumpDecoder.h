#pragma once
// Decodes the datagrams that answer one sock_diag dump request. Kept apart from the socket so
// that recorded or prepared replies can be fed to it without a kernel.

#include "platform/TableRows.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <vector>

namespace tarvok::platform {

// 50 is reserved for "not supported"; any other failure must be non-zero and not 50.
inline std::uint32_t errnoResult(int error) {
    if (error == 0 || error == static_cast<int>(ResultNotSupported))
        return EIO;
    return static_cast<std::uint32_t>(error);
}

// The code of an NLMSG_ERROR message: 0 for an acknowledgement, otherwise a non-zero result
// (the errno value the kernel sent, negated). A message too short to hold the code, and a code
// no kernel sends (a positive one, or INT_MIN, which has no positive counterpart), are EBADMSG.
inline std::uint32_t netlinkError(const nlmsghdr& header) {
    if (header.nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
        return EBADMSG;
    const int code = static_cast<const nlmsgerr*>(NLMSG_DATA(&header))->error;
    if (code == 0)
        return ResultOk;
    if (code > 0 || code == INT_MIN)
        return EBADMSG;
    return errnoResult(-code);
}

// Walks the netlink messages of one received buffer. Stands in for NLMSG_OK / NLMSG_NEXT,
// whose mix of signed and unsigned lengths draws warnings.
class NetlinkMessages {
public:
    NetlinkMessages(const unsigned char* data, std::size_t length)
        : m_data(data), m_remaining(length) {}
    const nlmsghdr* next() {
        if (m_remaining < sizeof(nlmsghdr))
            return nullptr;
        const auto* header = reinterpret_cast<const nlmsghdr*>(m_data);
        if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > m_remaining)
            return nullptr;
        const std::size_t step = NLMSG_ALIGN(header->nlmsg_len) < m_remaining
                                     ? NLMSG_ALIGN(header->nlmsg_len)
                                     : m_remaining;
        m_data += step;
        m_remaining -= step;
        return header;
    }

private:
    const unsigned char* m_data;
    std::size_t m_remaining;
};

// Looks through one received datagram for the answer to a single request of this sequence
// number: a message of answerType (its payload copied into payload when one is given), or the
// kernel's error or acknowledgement. True once the answer is found; result then holds it.
inline bool findAnswer(const unsigned char* data, std::size_t length, std::uint32_t sequence,
                       std::uint16_t answerType, std::vector<unsigned char>* payload,
                       std::uint32_t& result) {
    NetlinkMessages messages(data, length);
    while (const nlmsghdr* header = messages.next()) {
        if (header->nlmsg_seq != sequence)
            continue;
        if (header->nlmsg_type == NLMSG_ERROR) {
            result = netlinkError(*header);
            return true;
        }
        if (header->nlmsg_type == answerType && payload) {
            const auto* bytes = static_cast<const unsigned char*>(NLMSG_DATA(header));
            payload->assign(bytes, bytes + (header->nlmsg_len - NLMSG_LENGTH(0)));
            result = ResultOk;
            return true;
        }
    }
    return false;
}

class DumpDecoder {
public:
    explicit DumpDecoder(std::uint32_t sequence) : m_sequence(sequence) {}

    // Hands every socket message of this dump in one datagram to onSocket. Returns true once
    // the dump has ended; result() then says how: ResultOk at its end, EAGAIN when the kernel
    // flagged it as interrupted (the table changed while it was walked), ResultNotSupported
    // when the kernel has no diag module for the family, or the kernel's error.
    template <typename OnSocket>
    bool feed(const unsigned char* data, std::size_t length, OnSocket&& onSocket) {
        NetlinkMessages messages(data, length);
        while (const nlmsghdr* header = messages.next()) {
            if (header->nlmsg_seq != m_sequence)
                continue; // the tail of an older, abandoned request
            if ((header->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
                m_interrupted = true;
            if (header->nlmsg_type == NLMSG_DONE)
                return finish(m_interrupted ? EAGAIN : ResultOk);
            if (header->nlmsg_type == NLMSG_ERROR) {
                const std::uint32_t error = netlinkError(*header);
                // The inet_diag module is missing: the family is unknown to the kernel.
                if (error == ENOENT || error == EOPNOTSUPP)
                    return finish(ResultNotSupported);
                return finish(error == ResultOk ? EIO : error); // a dump never ends in an ack
            }
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            onSocket(*static_cast<const inet_diag_msg*>(NLMSG_DATA(header)));
        }
        return false;
    }

    std::uint32_t result() const { return m_result; }

private:
    bool finish(std::uint32_t result) {
        m_result = result;
        return true;
    }

    std::uint32_t m_sequence;
    bool m_interrupted = false;
    std::uint32_t m_result = ResultOk;
};

} // namespace tarvok::platform
