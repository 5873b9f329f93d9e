#pragma once
// Which connections the pass has already recorded: those of the previous pass and of the one
// running. A connection is known by its endpoints, its state and whether the record was of a
// failed cut; a connection that left the table is forgotten at the end of the next pass.
// Two open-addressing sets of 16-byte keys without per-entry allocations, each emptied in
// constant time, so that a policy logging thousands of accepted connections costs a pass
// little. An IPv4 row's key holds its fields exactly; a native IPv6 row's key holds 128 bits
// digested from its addresses, ports and state.

#include "platform/TableRows.h"

#include <cstdint>
#include <vector>

namespace tarvok {

class ConnectionMemory {
public:
    // True when the connection was recorded in the previous pass or earlier in this one;
    // either way it is remembered for this pass.
    bool seenBefore(const platform::TcpRow& row, bool failedCut);
    // Ends a complete pass: what it saw becomes what the next one compares with.
    void endPass();

private:
    struct Key {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        bool operator==(const Key&) const = default;
    };
    class Set {
    public:
        bool contains(const Key& key) const;
        // Adds the key; true when it was there already.
        bool insert(const Key& key);
        void clear();

    private:
        struct Slot {
            Key key;
            std::uint32_t stamp = 0; // the slot is used when it equals m_stamp
        };
        std::size_t slotOf(const Key& key) const;
        void grow();
        std::vector<Slot> m_slots;
        std::uint32_t m_stamp = 1;
        std::size_t m_size = 0;
    };
    static Key keyOf(const platform::TcpRow& row, bool failedCut);

    Set m_previous;
    Set m_current;
};

} // namespace tarvok
