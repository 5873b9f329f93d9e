#pragma once
// The small fixed table that hands held connections to the enforcer's queue: one chain at the
// output hook and two rules, "the sending socket's mark has Tarvok's ask bit, and the packet is
// a TCP SYN, or conntrack does not know it as part of an allowed exchange: NFQUEUE to this
// queue". Written through libnftnl over NETLINK_NETFILTER, since
// the kernels this runs on have the xtables NFQUEUE target but not nftables' own queue
// statement, and the nft language cannot write an xtables target. The target has no bypass:
// with no reader the packet is dropped, never passed. The table is owned by this object's
// netlink socket, so the kernel removes it when the socket closes (the enforcer ends or dies);
// it is apart from the main table, whose atomic rewrites never touch it.

#include <cstdint>
#include <string>

struct mnl_socket;

namespace tarvok::platform {

class NftAskTable {
public:
    NftAskTable() = default;
    ~NftAskTable();
    NftAskTable(const NftAskTable&) = delete;
    NftAskTable& operator=(const NftAskTable&) = delete;

    // Writes the table; 0 or an errno value, the kernel's reason in *reason.
    int open(const std::string& name, std::uint32_t mark, std::uint16_t queue, std::string* reason);
    // Removes the table (closing the socket that owns it).
    void close();
    bool isOpen() const { return m_socket != nullptr; }

private:
    mnl_socket* m_socket = nullptr;
};

} // namespace tarvok::platform
