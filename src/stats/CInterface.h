#pragma once
// One network interface as the kernel reports it, and an ordered collection of them.
//
// The counters are 64-bit: the kernel keeps 64-bit counters, and a 32-bit copy would wrap on
// any busy link within minutes. Fields Linux does not have (the interface speed, the time of
// the last change, the sent non-unicast packets, the output queue length) stay 0.

#include <QList>
#include <QString>

#include <cstdint>

namespace tarvok {

struct CInterface {
    // Status values as the program shows them: administrative 1 up, 2 down; operational
    // 0 non-operational, 1 unreachable, 2 disconnected, 3 connecting, 4 connected,
    // 5 operational.
    enum AdminStatusValue { AdminUp = 1, AdminDown = 2 };
    enum OperationalStatusValue {
        NonOperational = 0,
        Unreachable = 1,
        Disconnected = 2,
        Connecting = 3,
        Connected = 4,
        Operational = 5,
    };

    std::int32_t InterfaceIndex = 0;
    std::int32_t InterfaceType = 0; // the kernel's hardware type (ARPHRD_*)
    std::int32_t MaximumTransmissionUnit = 0;
    std::uint64_t Speed = 0;
    QString AdapterAddress; // "00-1A-FF-01-02-03"; empty without a hardware address
    std::int32_t AdminStatus = AdminDown;
    std::int32_t OperationalStatus = NonOperational;
    std::int32_t LastChange = 0;
    std::uint64_t OctetsReceived = 0;
    std::uint64_t UnicastPacketsReceived = 0;
    std::uint64_t NonunicastPacketsReceived = 0;
    std::uint64_t DiscardedIncomingPackets = 0;
    std::uint64_t IncomingErrors = 0;
    std::uint64_t UnknownProtocolPackets = 0;
    std::uint64_t OctetsSent = 0;
    std::uint64_t UnicastPacketsSent = 0;
    std::uint64_t NonunicastPacketsSent = 0;
    std::uint64_t DiscardedOutgoingPackets = 0;
    std::uint64_t OutgoingErrors = 0;
    std::uint64_t OutputQueueLength = 0;
    QString InterfaceDescription; // the interface's alias, else its name
    QString InterfaceName;

    bool operator==(const CInterface&) const = default;
};

// The text of a hardware address: its first bytes (at most 8), each as two upper-case
// hexadecimal digits, joined by "-".
QString adapterAddressText(const unsigned char* bytes, int length);

// Interfaces in the order added; positions count from 1.
class CInterfaces {
public:
    CInterface& Add(const CInterface& item) {
        m_items.append(item);
        return m_items.last();
    }
    // Null when index is outside 1..Count().
    const CInterface* Item(int index) const {
        return index >= 1 && index <= m_items.size() ? &m_items.at(index - 1) : nullptr;
    }
    int Count() const { return static_cast<int>(m_items.size()); }
    void Remove(int index) {
        if (index >= 1 && index <= m_items.size())
            m_items.removeAt(index - 1);
    }
    // Enumeration in order.
    auto begin() const { return m_items.cbegin(); }
    auto end() const { return m_items.cend(); }

    bool operator==(const CInterfaces&) const = default;

private:
    QList<CInterface> m_items;
};

} // namespace tarvok
