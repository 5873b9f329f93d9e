#pragma once
// Reads the kernel's interface table (a netlink RTM_GETLINK dump with 64-bit link statistics)
// into a CInterfaces collection and adds up the bytes received and sent over the interfaces
// that carry traffic to and from other machines (all but loopback).

#include "platform/UniqueFd.h"
#include "stats/CInterface.h"

#include <QByteArray>

#include <cstdint>

namespace tarvok {

class Prompter;

class CIpHelper {
public:
    // Results of a read: 0 success, 50 when the kernel offers no interface table, any other
    // value for other failures (the collection is then empty and both sums 0).
    static constexpr int ResultOk = 0;
    static constexpr int ResultNotSupported = 50;
    static constexpr int ResultFailed = 1;

    // prompter, when given, tells the user once that the interface table is missing. From
    // here on the kernel's notices of interfaces are kept for departed() and arrived().
    explicit CIpHelper(Prompter* prompter = nullptr);
    CIpHelper(const CIpHelper&) = delete;
    CIpHelper& operator=(const CIpHelper&) = delete;

    // Discards the current collection, fills a new one from the kernel, recomputes both sums
    // and returns it.
    const CInterfaces& Interfaces();
    // Takes interfaces as if they were read (recorded replies) and recomputes both sums.
    void setInterfaces(const CInterfaces& interfaces);

    // Local traffic (the loopback interface) is neither download nor upload: it is left out
    // of the sums and of the traffic figures.
    static bool carriesTraffic(const CInterface& item);

    // The interfaces removed since the previous read of Interfaces(), with their counters as
    // they left (the kernel's removal notices), so that their last bytes still count.
    const CInterfaces& departed() const { return m_departed; }
    // The interfaces the kernel announced since the previous read (made, moved into this
    // network namespace, or changed), each with its counters as its first notice gave them:
    // for one that arrived, the traffic it brought along.
    const CInterfaces& arrived() const { return m_arrived; }

    // The sums over the interfaces that carry traffic, of the last read of Interfaces().
    std::uint64_t BytesReceived() const { return m_bytesReceived; }
    std::uint64_t BytesSent() const { return m_bytesSent; }
    int lastResult() const { return m_lastResult; }

    // Decodes the messages of one RTM_GETLINK dump reply, appending an interface for each
    // RTM_NEWLINK. Returns false on a malformed message; stops at NLMSG_DONE (done = true).
    // Separate from the socket so that recorded replies can be decoded without a kernel.
    static bool decodeLinkMessages(const char* data, std::size_t length, std::uint32_t sequence,
                                   CInterfaces& into, bool& done, bool& interrupted);
    // Appends an interface to departed for each removal notice (RTM_DELLINK) among the
    // messages, and to arrived for the first notice (RTM_NEWLINK) of each interface it lacks.
    static void decodeNotices(const char* data, std::size_t length, CInterfaces& departed,
                              CInterfaces& arrived);

private:
    int readTable(CInterfaces& into);
    void readNotices();

    Prompter* m_prompter;
    bool m_toldNotSupported = false;
    CInterfaces m_interfaces;
    CInterfaces m_departed;
    CInterfaces m_arrived;
    platform::UniqueFd m_notices; // socket of the kernel's link notices
    std::uint64_t m_bytesReceived = 0;
    std::uint64_t m_bytesSent = 0;
    int m_lastResult = ResultOk;
    std::uint32_t m_sequence = 0;
};

} // namespace tarvok
