#include "stats/CIpHelper.h"

#include "engine/Prompter.h"

#include <QString>

#include <cerrno>
#include <cstring>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace tarvok {

namespace {

// Linux operational states (IF_OPER_*) in the program's operational status values.
std::int32_t operationalStatus(int operState, unsigned flags) {
    switch (operState) {
    case IF_OPER_UP: return CInterface::Operational;
    case IF_OPER_DORMANT: return CInterface::Connecting;
    case IF_OPER_DOWN:
    case IF_OPER_LOWERLAYERDOWN: return CInterface::Disconnected;
    case IF_OPER_TESTING:
    case IF_OPER_NOTPRESENT: return CInterface::NonOperational;
    default: // unknown (loopback, many virtual links): the carrier decides
        return (flags & IFF_RUNNING) ? CInterface::Operational : CInterface::Disconnected;
    }
}

QString attributeText(const rtattr* attribute) {
    const auto* text = static_cast<const char*>(RTA_DATA(attribute));
    return QString::fromUtf8(text, static_cast<qsizetype>(strnlen(text, RTA_PAYLOAD(attribute))));
}

template <typename T> T attributeValue(const rtattr* attribute) {
    T value{};
    std::memcpy(&value, RTA_DATA(attribute), std::min<std::size_t>(sizeof value, RTA_PAYLOAD(attribute)));
    return value;
}

CInterface decodeLink(const nlmsghdr* message) {
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
    CInterface item;
    item.InterfaceIndex = info->ifi_index;
    item.InterfaceType = info->ifi_type;
    item.AdminStatus = (info->ifi_flags & IFF_UP) ? CInterface::AdminUp : CInterface::AdminDown;
    int operState = IF_OPER_UNKNOWN;
    bool haveStats64 = false;
    rtnl_link_stats64 stats{};
    QString alias;

    int remaining = static_cast<int>(IFLA_PAYLOAD(message));
    for (const rtattr* attribute = IFLA_RTA(info); RTA_OK(attribute, remaining);
         attribute = RTA_NEXT(attribute, remaining)) {
        switch (attribute->rta_type) {
        case IFLA_IFNAME: item.InterfaceName = attributeText(attribute); break;
        case IFLA_IFALIAS: alias = attributeText(attribute); break;
        case IFLA_MTU: item.MaximumTransmissionUnit = attributeValue<std::int32_t>(attribute); break;
        case IFLA_OPERSTATE: operState = attributeValue<std::uint8_t>(attribute); break;
        case IFLA_ADDRESS:
            item.AdapterAddress =
                adapterAddressText(static_cast<const unsigned char*>(RTA_DATA(attribute)),
                                   static_cast<int>(RTA_PAYLOAD(attribute)));
            break;
        case IFLA_STATS64:
            // An older kernel sends a shorter record: the fields it lacks stay 0.
            stats = attributeValue<rtnl_link_stats64>(attribute);
            haveStats64 = true;
            break;
        case IFLA_STATS:
            if (!haveStats64) {
                const auto narrow = attributeValue<rtnl_link_stats>(attribute);
                stats.rx_bytes = narrow.rx_bytes;
                stats.tx_bytes = narrow.tx_bytes;
                stats.rx_packets = narrow.rx_packets;
                stats.tx_packets = narrow.tx_packets;
                stats.multicast = narrow.multicast;
                stats.rx_dropped = narrow.rx_dropped;
                stats.tx_dropped = narrow.tx_dropped;
                stats.rx_errors = narrow.rx_errors;
                stats.tx_errors = narrow.tx_errors;
            }
            break;
        default: break;
        }
    }
    item.OperationalStatus = operationalStatus(operState, info->ifi_flags);
    item.InterfaceDescription = alias.isEmpty() ? item.InterfaceName : alias;
    item.OctetsReceived = stats.rx_bytes;
    item.NonunicastPacketsReceived = stats.multicast;
    item.UnicastPacketsReceived = stats.rx_packets > stats.multicast ? stats.rx_packets - stats.multicast : 0;
    item.DiscardedIncomingPackets = stats.rx_dropped;
    item.IncomingErrors = stats.rx_errors;
    item.UnknownProtocolPackets = stats.rx_nohandler;
    item.OctetsSent = stats.tx_bytes;
    item.UnicastPacketsSent = stats.tx_packets; // Linux counts no sent multicast apart
    item.DiscardedOutgoingPackets = stats.tx_dropped;
    item.OutgoingErrors = stats.tx_errors;
    return item;
}

} // namespace

bool CIpHelper::decodeLinkMessages(const char* data, std::size_t length, std::uint32_t sequence,
                                   CInterfaces& into, bool& done, bool& interrupted) {
    int remaining = static_cast<int>(length);
    for (auto* message = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
        if (message->nlmsg_seq != sequence)
            continue; // a late answer to an earlier request
        if (message->nlmsg_flags & NLM_F_DUMP_INTR)
            interrupted = true;
        if (message->nlmsg_type == NLMSG_DONE) {
            done = true;
            return true;
        }
        if (message->nlmsg_type == NLMSG_ERROR)
            return false;
        if (message->nlmsg_type != RTM_NEWLINK)
            continue;
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
            return false;
        into.Add(decodeLink(message));
    }
    return remaining == 0;
}

void CIpHelper::decodeNotices(const char* data, std::size_t length, CInterfaces& departed,
                              CInterfaces& arrived) {
    int remaining = static_cast<int>(length);
    for (auto* message = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(message, remaining);
         message = NLMSG_NEXT(message, remaining)) {
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
            continue;
        if (message->nlmsg_type == RTM_DELLINK) {
            departed.Add(decodeLink(message));
        } else if (message->nlmsg_type == RTM_NEWLINK) {
            // The first notice of an interface is the one that tells what it arrived with.
            const CInterface item = decodeLink(message);
            if (std::none_of(arrived.begin(), arrived.end(), [&item](const CInterface& known) {
                    return known.InterfaceIndex == item.InterfaceIndex;
                }))
                arrived.Add(item);
        }
    }
}

CIpHelper::CIpHelper(Prompter* prompter)
    : m_prompter(prompter),
      m_notices(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE)) {
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK;
    // Without the notices, removed interfaces lose the bytes since their last read and new
    // ones count all their traffic as this run's.
    if (m_notices.valid() &&
        ::bind(m_notices.get(), reinterpret_cast<sockaddr*>(&groups), sizeof groups) != 0)
        m_notices.reset();
}

void CIpHelper::readNotices() {
    m_departed = CInterfaces();
    m_arrived = CInterfaces();
    if (!m_notices.valid())
        return;
    // The notices are a few hundred bytes each; a missed one (a full queue) costs only the
    // removed interface's last bytes, or lets a moved interface's past count. Bounded: the
    // queue holds far fewer.
    std::vector<char> buffer(65536);
    for (int notice = 0; notice < 10000; ++notice) {
        const ssize_t received =
            ::recv(m_notices.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR || errno == ENOBUFS))
            continue;
        if (received <= 0)
            return;
        decodeNotices(buffer.data(), static_cast<std::size_t>(received), m_departed, m_arrived);
    }
}

int CIpHelper::readTable(CInterfaces& into) {
    const platform::UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket.valid())
        return errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT ? ResultNotSupported : ResultFailed;

    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = ++m_sequence;
    request.info.ifi_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return ResultFailed;

    std::vector<char> buffer(32768);
    bool done = false;
    bool interrupted = false;
    // Bounded: a dump of a few thousand interfaces ends long before this.
    for (int chunk = 0; chunk < 100000 && !done; ++chunk) {
        // Peek at the datagram's full length first, so that a large one is never cut.
        const ssize_t size = ::recv(socket.get(), buffer.data(), 0, MSG_PEEK | MSG_TRUNC);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            return ResultFailed;
        }
        if (static_cast<std::size_t>(size) > buffer.size())
            buffer.resize(static_cast<std::size_t>(size));
        const ssize_t received = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (received < 0)
            return ResultFailed;
        if (!decodeLinkMessages(buffer.data(), static_cast<std::size_t>(received), m_sequence, into,
                                done, interrupted))
            return ResultFailed;
    }
    if (!done)
        return ResultFailed;
    // The table changed during the dump: some interface may be missing or counted twice.
    return interrupted ? -EAGAIN : ResultOk;
}

bool CIpHelper::carriesTraffic(const CInterface& item) {
    return item.InterfaceType != ARPHRD_LOOPBACK;
}

void CIpHelper::setInterfaces(const CInterfaces& interfaces) {
    m_interfaces = interfaces;
    m_bytesReceived = 0;
    m_bytesSent = 0;
    for (const CInterface& item : m_interfaces) {
        if (carriesTraffic(item)) {
            m_bytesReceived += item.OctetsReceived;
            m_bytesSent += item.OctetsSent;
        }
    }
}

const CInterfaces& CIpHelper::Interfaces() {
    // Before the dump: an interface removed after it is in the next read's notices.
    readNotices();
    CInterfaces fresh;
    int result = readTable(fresh);
    for (int attempt = 0; attempt < 3 && result == -EAGAIN; ++attempt) {
        fresh = CInterfaces();
        result = readTable(fresh);
    }
    m_lastResult = result == ResultOk ? ResultOk
                   : result == ResultNotSupported ? ResultNotSupported
                                                  : ResultFailed;
    if (m_lastResult != ResultOk)
        fresh = CInterfaces();
    setInterfaces(fresh);
    // Told once: this read runs every 400 ms, and a box each time would bury the desktop.
    if (m_lastResult == ResultNotSupported && m_prompter && !m_toldNotSupported) {
        m_toldNotSupported = true;
        m_prompter->message(QStringLiteral("IP Helper is not supported by this system."), 0,
                            QStringLiteral("Tarvok"));
    }
    return m_interfaces;
}

} // namespace tarvok
