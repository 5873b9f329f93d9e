#include "platform/NfTables.h"

#include <cerrno>
#include <cstring>
#include <endian.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <nftables/libnftables.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tarvok::platform {

NftScripts::NftScripts() : m_ctx(nft_ctx_new(NFT_CTX_DEFAULT)) {
    if (m_ctx) {
        nft_ctx_buffer_output(m_ctx);
        nft_ctx_buffer_error(m_ctx);
    }
}

NftScripts::~NftScripts() {
    if (m_ctx)
        nft_ctx_free(m_ctx);
}

bool NftScripts::run(const std::string& script) {
    if (!m_ctx) {
        m_error = "libnftables could not be started";
        return false;
    }
    if (m_denied) {
        // A socket of its own each time: the kernel checks the capability of whoever opened
        // it too, so one kept from a refused time would stay refused.
        NftWatch probe;
        int refusal = 0;
        probe.generation(&refusal);
        if (refusal == EPERM)
            return false; // m_error still says why
        m_denied = false;
    }
    if (nft_run_cmd_from_buffer(m_ctx, script.c_str()) == 0) {
        m_error.clear();
        return true;
    }
    // The reason at the end of the library's first error line ("Error: Could not process
    // rule: Operation not permitted"), without the script excerpt it quotes below it.
    m_error = nft_ctx_get_error_buffer(m_ctx);
    if (const auto end = m_error.find('\n'); end != std::string::npos)
        m_error.resize(end);
    if (const auto colon = m_error.rfind(": "); colon != std::string::npos)
        m_error.erase(0, colon + 2);
    if (m_error.empty())
        m_error = std::strerror(EINVAL);
    m_denied = m_error == std::strerror(EPERM);
    return false;
}

NftWatch::~NftWatch() {
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {

struct Message {
    nlmsghdr header;
    nfgenmsg body;
    char attributes[64];
};

void onGeneration(void* context, int type, const void* data, int length) {
    if (type == NFTA_GEN_ID && length >= 4) {
        std::uint32_t id = 0;
        std::memcpy(&id, data, 4);
        *static_cast<std::uint32_t*>(context) = be32toh(id);
    }
}

void onTable(void* context, int type, const void* data, int length) {
    auto& state = *static_cast<NftTableState*>(context);
    if (type == NFTA_TABLE_HANDLE && length >= 8) {
        std::uint64_t handle = 0;
        std::memcpy(&handle, data, 8);
        state.handle = be64toh(handle);
    } else if (type == NFTA_TABLE_USE && length >= 4) {
        std::uint32_t use = 0;
        std::memcpy(&use, data, 4);
        state.use = be32toh(use);
    }
}

} // namespace

int NftWatch::request(std::uint16_t type, std::uint8_t family, const char* name,
                      std::uint16_t answerType,
                      void (*onAttribute)(void*, int, const void*, int), void* context) {
    if (m_fd < 0) {
        m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
        if (m_fd < 0)
            return errno;
        // Never wait long for the kernel: the caller runs on the GUI thread.
        const timeval timeout{0, 200000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    Message message{};
    message.header.nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | type);
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    message.header.nlmsg_seq = ++m_sequence;
    message.body.nfgen_family = family;
    message.body.version = NFNETLINK_V0;
    std::size_t length = NLMSG_LENGTH(sizeof(nfgenmsg));
    if (name) {
        auto* attribute = reinterpret_cast<nlattr*>(reinterpret_cast<char*>(&message) + length);
        const std::size_t nameLength = std::strlen(name) + 1;
        if (nameLength + NLA_HDRLEN > sizeof message.attributes)
            return EINVAL;
        attribute->nla_type = NFTA_TABLE_NAME;
        attribute->nla_len = static_cast<std::uint16_t>(NLA_HDRLEN + nameLength);
        std::memcpy(reinterpret_cast<char*>(attribute) + NLA_HDRLEN, name, nameLength);
        length += NLA_ALIGN(attribute->nla_len);
    }
    message.header.nlmsg_len = static_cast<std::uint32_t>(length);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(m_fd, &message, length, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return errno;

    alignas(nlmsghdr) char buffer[8192];
    int result = EPROTO;
    bool answered = false;
    // Bounded: the answer and the acknowledgement come in at most a few reads.
    for (int reads = 0; reads < 8; ++reads) {
        const ssize_t received = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (received < 0)
            return errno == EAGAIN ? ETIMEDOUT : errno;
        int left = static_cast<int>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_seq != m_sequence)
                continue; // an answer to an earlier, timed-out request
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                return error->error == 0 ? (answered ? 0 : result) : -error->error;
            }
            if ((header->nlmsg_type & 0xff) != answerType)
                continue;
            answered = true;
            result = 0;
            const int payload = static_cast<int>(header->nlmsg_len) -
                                static_cast<int>(NLMSG_LENGTH(sizeof(nfgenmsg)));
            const char* start = static_cast<const char*>(NLMSG_DATA(header)) +
                                NLMSG_ALIGN(sizeof(nfgenmsg));
            for (int offset = 0; offset + NLA_HDRLEN <= payload;) {
                const auto* attribute = reinterpret_cast<const nlattr*>(start + offset);
                if (attribute->nla_len < NLA_HDRLEN || offset + attribute->nla_len > payload)
                    break;
                onAttribute(context, attribute->nla_type & NLA_TYPE_MASK,
                            reinterpret_cast<const char*>(attribute) + NLA_HDRLEN,
                            attribute->nla_len - NLA_HDRLEN);
                offset += NLA_ALIGN(attribute->nla_len);
            }
        }
    }
    return answered ? 0 : result;
}

std::uint32_t NftWatch::generation(int* error) {
    std::uint32_t id = 0;
    const int result =
        request(NFT_MSG_GETGEN, AF_UNSPEC, nullptr, NFT_MSG_NEWGEN, onGeneration, &id);
    if (error)
        *error = result;
    return result == 0 ? id : 0;
}

int NftWatch::table(const char* name, NftTableState& state) {
    state = {};
    return request(NFT_MSG_GETTABLE, NFPROTO_INET, name, NFT_MSG_NEWTABLE, onTable, &state);
}

} // namespace tarvok::platform
