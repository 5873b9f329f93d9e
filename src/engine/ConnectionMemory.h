#pragma once
// Which connections the pass has already recorded: those of the previous pass and of the one
// running. A connection is known by its endpoints, its state and whether the record was of a
// failed cut; a connection that left the table is forgotten at the end of the next pass.
//
// Each connection is kept as a 64-bit fingerprint in an open-addressing table, so that the
// two tables of 20,000 connections stay within 1 MiB and a pass that logs every connection
// stays in the processor's cache. Two connections share a fingerprint with odds of about one
// in 10^11 per pass at that size; the only effect would be one accepted connection not
// recorded.

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

    // The same for a fingerprint made earlier, and a hint that one will be asked about soon:
    // a batch that hints a few prints ahead lets the cache fetch their slots side by side.
    bool seenBefore(std::uint64_t print);
    void prefetch(std::uint64_t print) const;

    static std::uint64_t fingerprint(const platform::TcpRow& row, bool failedCut);
    // A connection's fingerprint whatever its state: one that moves on is the same connection.
    static std::uint64_t endpointsPrint(const platform::TcpRow& row);

private:
    class Set {
    public:
        bool contains(std::uint64_t print) const;
        void prefetch(std::uint64_t print) const;
        // Adds the fingerprint; true when it was there already.
        bool insert(std::uint64_t print);
        void clear();

    private:
        void grow();
        std::vector<std::uint64_t> m_slots; // 0 marks an empty slot
        std::size_t m_size = 0;
    };

    Set m_previous;
    Set m_current;
};

} // namespace tarvok
