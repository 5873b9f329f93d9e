#include "platform/NftAskTable.h"

#include <libmnl/libmnl.h>
#include <libnftnl/chain.h>
#include <libnftnl/common.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <libnftnl/table.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/xt_NFQUEUE.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#ifndef NFT_TABLE_F_OWNER
#define NFT_TABLE_F_OWNER 0x2
#endif

namespace tarvok::platform {
namespace {

constexpr const char* ChainName = "held";
// After conntrack (-200), so that the rule sees the connection's state.
constexpr int ChainPriority = 0;

template <typename T, void (*Free)(const T*)> struct Deleter {
    void operator()(T* object) const { Free(object); }
};
using Table = std::unique_ptr<nftnl_table, Deleter<nftnl_table, nftnl_table_free>>;
using Chain = std::unique_ptr<nftnl_chain, Deleter<nftnl_chain, nftnl_chain_free>>;
using Rule = std::unique_ptr<nftnl_rule, Deleter<nftnl_rule, nftnl_rule_free>>;

void addExpression(nftnl_rule* rule, nftnl_expr* expression) {
    nftnl_rule_add_expr(rule, expression); // the rule owns it from here
}

constexpr std::uint32_t TcpSyn = 0x02, TcpAck = 0x10;
// A base for loadMasked that is no packet header: the connection's state, or the socket's mark.
constexpr std::uint32_t ConntrackState = 0x100, SocketMark = 0x101;

// reg1 = a 32-bit value (the connection's state or the socket's mark) or one byte of a packet
// header at offset; then (reg1 & mask) == value.
void loadMasked(nftnl_rule* rule, std::uint32_t base, std::uint32_t offset, std::uint32_t mask,
                std::uint32_t value) {
    nftnl_expr* load = nullptr;
    std::uint32_t length = 4;
    if (base == ConntrackState) {
        load = nftnl_expr_alloc("ct");
        nftnl_expr_set_u32(load, NFTNL_EXPR_CT_KEY, NFT_CT_STATE);
        nftnl_expr_set_u32(load, NFTNL_EXPR_CT_DREG, NFT_REG_1);
    } else if (base == SocketMark) {
        load = nftnl_expr_alloc("socket");
        nftnl_expr_set_u32(load, NFTNL_EXPR_SOCKET_KEY, NFT_SOCKET_MARK);
        nftnl_expr_set_u32(load, NFTNL_EXPR_SOCKET_DREG, NFT_REG_1);
    } else {
        length = 1;
        load = nftnl_expr_alloc("payload");
        nftnl_expr_set_u32(load, NFTNL_EXPR_PAYLOAD_BASE, base);
        nftnl_expr_set_u32(load, NFTNL_EXPR_PAYLOAD_OFFSET, offset);
        nftnl_expr_set_u32(load, NFTNL_EXPR_PAYLOAD_LEN, length);
        nftnl_expr_set_u32(load, NFTNL_EXPR_PAYLOAD_DREG, NFT_REG_1);
    }
    addExpression(rule, load);
    const std::uint32_t zero = 0;
    // A one-byte field compares one byte, whatever the machine's byte order.
    const std::uint8_t mask8 = static_cast<std::uint8_t>(mask), value8 = static_cast<std::uint8_t>(value);
    const void* maskBytes = length == 1 ? static_cast<const void*>(&mask8) : &mask;
    const void* valueBytes = length == 1 ? static_cast<const void*>(&value8) : &value;
    nftnl_expr* bitwise = nftnl_expr_alloc("bitwise");
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_LEN, length);
    nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_MASK, maskBytes, length);
    nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_XOR, &zero, length);
    addExpression(rule, bitwise);
    nftnl_expr* compare = nftnl_expr_alloc("cmp");
    nftnl_expr_set_u32(compare, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(compare, NFTNL_EXPR_CMP_OP, NFT_CMP_EQ);
    nftnl_expr_set(compare, NFTNL_EXPR_CMP_DATA, valueBytes, length);
    addExpression(rule, compare);
}

// One byte of packet metadata equal to value.
void meta8(nftnl_rule* rule, std::uint32_t key, std::uint8_t value) {
    nftnl_expr* load = nftnl_expr_alloc("meta");
    nftnl_expr_set_u32(load, NFTNL_EXPR_META_KEY, key);
    nftnl_expr_set_u32(load, NFTNL_EXPR_META_DREG, NFT_REG_1);
    addExpression(rule, load);
    nftnl_expr* compare = nftnl_expr_alloc("cmp");
    nftnl_expr_set_u32(compare, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(compare, NFTNL_EXPR_CMP_OP, NFT_CMP_EQ);
    nftnl_expr_set(compare, NFTNL_EXPR_CMP_DATA, &value, 1);
    addExpression(rule, compare);
}

// A rule of the ask chain that so far holds "the sending socket's mark has the bit".
Rule askRule(const std::string& name, std::uint32_t mark) {
    Rule rule(nftnl_rule_alloc());
    nftnl_rule_set_str(rule.get(), NFTNL_RULE_TABLE, name.c_str());
    nftnl_rule_set_str(rule.get(), NFTNL_RULE_CHAIN, ChainName);
    nftnl_rule_set_u32(rule.get(), NFTNL_RULE_FAMILY, NFPROTO_INET);
    loadMasked(rule.get(), SocketMark, 0, mark, mark);
    return rule;
}

// The xtables NFQUEUE target, without bypass: with no reader the packet is dropped.
void addQueue(nftnl_rule* rule, std::uint16_t queue) {
    nftnl_expr* target = nftnl_expr_alloc("target");
    nftnl_expr_set_str(target, NFTNL_EXPR_TG_NAME, "NFQUEUE");
    nftnl_expr_set_u32(target, NFTNL_EXPR_TG_REV, 3);
    // The expression takes the buffer over and frees it.
    auto* info = static_cast<xt_NFQ_info_v3*>(std::calloc(1, sizeof(xt_NFQ_info_v3)));
    info->queuenum = queue;
    info->queues_total = 1;
    info->flags = 0; // no bypass
    nftnl_expr_set(target, NFTNL_EXPR_TG_INFO, info, sizeof *info);
    addExpression(rule, target);
}

} // namespace

NftAskTable::~NftAskTable() {
    close();
}

void NftAskTable::close() {
    if (m_socket)
        mnl_socket_close(m_socket);
    m_socket = nullptr;
}

int NftAskTable::open(const std::string& name, std::uint32_t mark, std::uint16_t queue,
                      std::string* reason) {
    close();
    const auto fail = [&](const char* what) {
        const int error = errno ? errno : EINVAL;
        *reason = std::string(what) + ": " + std::strerror(error);
        close();
        return error;
    };
    m_socket = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (!m_socket)
        return fail("the netfilter socket cannot be opened");
    if (mnl_socket_bind(m_socket, 0, MNL_SOCKET_AUTOPID) < 0)
        return fail("the netfilter socket cannot be bound");

    Table table(nftnl_table_alloc());
    nftnl_table_set_str(table.get(), NFTNL_TABLE_NAME, name.c_str());
    nftnl_table_set_u32(table.get(), NFTNL_TABLE_FAMILY, NFPROTO_INET);
    nftnl_table_set_u32(table.get(), NFTNL_TABLE_FLAGS, NFT_TABLE_F_OWNER);

    Chain chain(nftnl_chain_alloc());
    nftnl_chain_set_str(chain.get(), NFTNL_CHAIN_TABLE, name.c_str());
    nftnl_chain_set_str(chain.get(), NFTNL_CHAIN_NAME, ChainName);
    nftnl_chain_set_str(chain.get(), NFTNL_CHAIN_TYPE, "filter");
    nftnl_chain_set_u32(chain.get(), NFTNL_CHAIN_HOOKNUM, NF_INET_LOCAL_OUT);
    nftnl_chain_set_s32(chain.get(), NFTNL_CHAIN_PRIO, ChainPriority);
    nftnl_chain_set_u32(chain.get(), NFTNL_CHAIN_POLICY, NF_ACCEPT);

    // Two rules, each "the sending socket's mark has the bit" first. The socket's mark, not the
    // packet's: a datagram sent without connect() took its mark from the socket before the
    // filter's sendmsg hook set the bit.
    Rule syn = askRule(name, mark);
    // Every TCP SYN, whatever conntrack makes of it: a SYN that reuses the ends of a connection
    // the server reset a moment ago may be taken for part of that one.
    meta8(syn.get(), NFT_META_L4PROTO, IPPROTO_TCP);
    loadMasked(syn.get(), NFT_PAYLOAD_TRANSPORT_HEADER, 13, TcpSyn | TcpAck, TcpSyn);
    addQueue(syn.get(), queue);
    // Every packet that conntrack does not know as part of an allowed exchange: new ones, and
    // invalid or untracked ones too.
    Rule unknown = askRule(name, mark);
    loadMasked(unknown.get(), ConntrackState, 0,
               NF_CT_STATE_BIT(IP_CT_ESTABLISHED) | NF_CT_STATE_BIT(IP_CT_RELATED), 0);
    addQueue(unknown.get(), queue);

    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE * 2);
    mnl_nlmsg_batch* batch = mnl_nlmsg_batch_start(buffer.data(), buffer.size());
    std::uint32_t sequence = 1;
    nftnl_batch_begin(static_cast<char*>(mnl_nlmsg_batch_current(batch)), sequence++);
    mnl_nlmsg_batch_next(batch);
    const std::uint32_t first = sequence;
    nlmsghdr* header = nftnl_nlmsg_build_hdr(static_cast<char*>(mnl_nlmsg_batch_current(batch)),
                                             NFT_MSG_NEWTABLE, NFPROTO_INET,
                                             NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK, sequence++);
    nftnl_table_nlmsg_build_payload(header, table.get());
    mnl_nlmsg_batch_next(batch);
    header = nftnl_nlmsg_build_hdr(static_cast<char*>(mnl_nlmsg_batch_current(batch)),
                                   NFT_MSG_NEWCHAIN, NFPROTO_INET, NLM_F_CREATE | NLM_F_ACK,
                                   sequence++);
    nftnl_chain_nlmsg_build_payload(header, chain.get());
    mnl_nlmsg_batch_next(batch);
    for (nftnl_rule* rule : {syn.get(), unknown.get()}) {
        header = nftnl_nlmsg_build_hdr(static_cast<char*>(mnl_nlmsg_batch_current(batch)),
                                       NFT_MSG_NEWRULE, NFPROTO_INET,
                                       NLM_F_CREATE | NLM_F_APPEND | NLM_F_ACK, sequence++);
        nftnl_rule_nlmsg_build_payload(header, rule);
        mnl_nlmsg_batch_next(batch);
    }
    const std::uint32_t last = sequence;
    nftnl_batch_end(static_cast<char*>(mnl_nlmsg_batch_current(batch)), sequence++);
    mnl_nlmsg_batch_next(batch);
    const ssize_t sent =
        mnl_socket_sendto(m_socket, mnl_nlmsg_batch_head(batch), mnl_nlmsg_batch_size(batch));
    mnl_nlmsg_batch_stop(batch);
    if (sent < 0)
        return fail("the ask table cannot be sent");

    // One acknowledgement per message; the first error is the reason.
    const unsigned portid = mnl_socket_get_portid(m_socket);
    std::vector<char> answer(MNL_SOCKET_BUFFER_SIZE);
    for (std::uint32_t acked = first; acked < last;) {
        const ssize_t received = mnl_socket_recvfrom(m_socket, answer.data(), answer.size());
        if (received < 0)
            return fail("the ask table's answer cannot be read");
        int left = static_cast<int>(received);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(answer.data());
             mnl_nlmsg_ok(message, left); message = mnl_nlmsg_next(message, &left)) {
            if (message->nlmsg_pid != portid || message->nlmsg_type != NLMSG_ERROR)
                continue;
            const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
            if (error->error != 0) {
                errno = -error->error;
                return fail("the kernel refused the ask table");
            }
            acked = std::max(acked, message->nlmsg_seq + 1);
        }
    }
    return 0;
}

} // namespace tarvok::platform
