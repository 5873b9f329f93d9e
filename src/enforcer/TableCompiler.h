#pragma once
// The policy as the kernel's packet filter holds it: typed rules, the level and the pause
// switch compiled into one nftables script for the enforcer's own table.
//
// Only the first packet of a new TCP connection (a SYN without ACK) walks the TCP chains, while
// every UDP datagram is judged, so that a new rule stops a flow already running at once, with
// no conntrack in the way (see bench/KernelTableBench.cpp). A datagram whose remote end has
// passed before takes one lookup in a cache that every write of the table starts empty; the
// others walk the UDP chains. Matching per flow instead (conntrack's established state) would
// switch connection tracking on for every packet of the namespace, which costs more than the
// lookups it saves. Each
// protocol's chains hold the rules that cover it. A connection is refused (TCP reset; a
// datagram is dropped, which its sender sees as EPERM) exactly when the
// enforcement pass would cut one of its two rows: the output chain decides the row of the side
// that opens it (remote = the destination it asked for, before any address translation), the
// input chain the row of the side that accepts it (remote = source). The rows that the pass
// skips (local address 127.0.0.1, ::1 and the v4-mapped form) are never refused.
//
// The Block level refuses TCP, UDP and ICMP but for those rows, IPv6 neighbour discovery and
// router messages, and ICMP errors about what passes (TCP past its first packet).
//
// First match wins in the pass; the kernel gets the same answer from a few set lookups rather
// than one rule per row, so that thousands of rules cost a new connection almost nothing:
// - every exact address-and-port key gets the verdict of the first rule matching it, which
//   may be an address-only or port-only rule above it;
// - address-only and port-only keys follow, in the order that needs fewer resolved pairs, and
//   those pairs (an address rule above a port rule, or the reverse) join the first lookup;
// - when that would take too many pairs, or the rows fall into a few runs of one kind, they are
//   emitted as such runs, in order.
//
// The table carries nftables' owner flag: only the netlink socket that wrote it may change it,
// and the kernel removes it when that socket closes, so no other program can edit it and no
// table outlives the enforcer that answers for it.

#include "enforcer/Protocol.h"

#include <cstddef>
#include <string>

namespace tarvok::enforcer {

struct TableOptions {
    std::string name = "tarvok"; // the table's name in the inet family
    // NFLOG group that refusals are sent to; 0 sends none.
    int logGroup = 0;
    // Whether the kernel may hold a table of that name already (the first write): the script
    // then declares it before deleting it, so that the delete succeeds either way.
    bool mayExist = true;
    // Whether the program filter decides outgoing TCP and UDP: the output chain then leaves
    // them alone (ICMP at the Block level is still the table's).
    bool outgoingByFilter = false;
    // Resolved address-and-port pairs allowed per family before runs are used instead.
    std::size_t pairLimit = 200000;
    // Up to this many runs of one kind are used rather than resolving pairs.
    static constexpr std::size_t FewRuns = 16;
};

// The whole transaction: the old table goes and the new one comes in one batch, so the kernel
// holds either the old policy or the new one. An empty table when paused or at Allow.
std::string tableScript(const SetPolicy& policy, const TableOptions& options);
// Removes the table; the script fails when there is none.
std::string tableRemoval(const std::string& name);

} // namespace tarvok::enforcer
