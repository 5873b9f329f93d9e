#include "enforcer/Enforcer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok::enforcer {
namespace {

// The log groups an enforcer tries, the first free one taken: each instance needs its own.
constexpr std::uint16_t FirstLogGroup = 29814;
constexpr int LogGroupsTried = 64;
// Refusals of one connection closer together than this are one refusal.
constexpr auto SameRefusal = std::chrono::seconds(2);
constexpr std::size_t MaxRecent = 65536;
// Reports that wait for a window that does not read are dropped beyond this, and counted.
constexpr std::size_t MaxUnsent = 1 << 20;
// After the table is gone, how long the log may still deliver a batch the kernel held back.
constexpr int DrainMs = 60;

Address fromRowAddress(std::uint32_t row) {
    Address address{};
    std::memcpy(address.data(), &row, sizeof row);
    return address;
}

std::uint32_t toRowAddress(const Address& address) {
    std::uint32_t row = 0;
    std::memcpy(&row, address.data(), sizeof row);
    return row;
}

} // namespace

Enforcer::Enforcer(int peer) : m_peer(peer) {}

Enforcer::~Enforcer() {
    if (m_tableWritten)
        removeTable();
}

std::string Enforcer::tableName(unsigned uid, std::uint64_t instance) {
    char name[64];
    std::snprintf(name, sizeof name, "tarvok_%u_%016llx", uid,
                  static_cast<unsigned long long>(instance));
    return name;
}

int Enforcer::openLogGroup() {
    int error = 0;
    for (int i = 0; i < LogGroupsTried; ++i) {
        const auto group = static_cast<std::uint16_t>(FirstLogGroup + i);
        error = m_log.open(group);
        if (error == 0) {
            m_logGroup = group;
            return 0;
        }
        if (error != EBUSY)
            break; // no use trying others: the kernel refuses the log itself
    }
    return error;
}

int Enforcer::run() {
    while (m_ending == Ending::Running) {
        pollfd fds[2] = {{m_peer, POLLIN, 0}, {m_log.fd(), POLLIN, 0}};
        if (!m_out.empty())
            fds[0].events |= POLLOUT;
        const nfds_t count = m_log.fd() >= 0 ? 2 : 1;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (fds[0].revents & POLLOUT)
            flushOut();
        if (count == 2 && (fds[1].revents & POLLIN))
            readRefusals();
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            readPeer();
    }
    // A window gone without a goodbye leaves nothing claiming a policy: the table goes with
    // the enforcer.
    if (m_tableWritten)
        removeTable();
    return m_ending == Ending::Goodbye ? 0 : 3;
}

void Enforcer::readPeer() {
    std::uint8_t buffer[65536];
    const ssize_t received = ::recv(m_peer, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (received <= 0) {
        m_ending = Ending::PeerGone;
        return;
    }
    m_reader.feed(buffer, static_cast<std::size_t>(received));
    Record record;
    for (;;) {
        switch (m_reader.next(&record)) {
        case Reader::Status::NeedMore:
            return;
        case Reader::Status::Ready:
            handle(record);
            if (m_ending != Ending::Running)
                return;
            break;
        case Reader::Status::Invalid:
            send({m_reader.sequence(), Error{m_reader.error()}});
            break;
        case Reader::Status::Broken:
            // The stream cannot be followed past a length out of range: say why and end.
            send({0, Error{m_reader.error()}});
            flushOut();
            m_ending = Ending::PeerGone;
            return;
        }
    }
}

void Enforcer::handle(const Record& record) {
    const std::uint32_t sequence = record.sequence;
    if (const auto* hello = std::get_if<Hello>(&record.body)) {
        this->hello(sequence, *hello);
        return;
    }
    if (!m_greeted) {
        send({sequence, Error{"the first record must be Hello"}});
        return;
    }
    if (const auto* policy = std::get_if<SetPolicy>(&record.body))
        setPolicy(sequence, *policy);
    else if (const auto* request = std::get_if<Cut>(&record.body))
        cut(sequence, *request);
    else if (std::holds_alternative<Goodbye>(record.body))
        goodbye(sequence);
    else
        send({sequence, Error{"that record is an answer, not a request"}});
}

void Enforcer::hello(std::uint32_t sequence, const Hello& hello) {
    if (m_greeted) {
        send({sequence, Error{"Hello came twice"}});
        return;
    }
    m_greeted = true;
    m_table = tableName(::getuid(), hello.instance);
    HelloAnswer answer;
    answer.tableName = m_table;
    // Refusals are read only while someone listens; each instance takes a group of its own.
    if (openLogGroup() == 0)
        answer.logGroup = m_logGroup;
    // What the kernel allows shows at the first write and the first cut; both are tried then.
    answer.abilities = CanWriteTable | CanCut;
    send({sequence, answer});
}

void Enforcer::setPolicy(std::uint32_t sequence, const SetPolicy& policy) {
    TableOptions options;
    options.name = m_table;
    options.logGroup = m_logGroup;
    options.mayExist = !m_tableWritten;
    Done done;
    if (m_nft.run(tableScript(policy, options))) {
        m_tableWritten = true;
    } else {
        done.error = EPERM;
        done.reason = m_nft.error();
    }
    send({sequence, done});
}

void Enforcer::cut(std::uint32_t sequence, const Cut& request) {
    platform::TcpRow row{};
    row.family = static_cast<platform::Family>(request.family);
    row.state = platform::StateDeleteTcb;
    if (row.family == platform::Family::Inet6) {
        row.local6 = request.local;
        row.remote6 = request.remote;
    } else {
        row.localAddress = toRowAddress(request.local);
        row.remoteAddress = toRowAddress(request.remote);
    }
    row.localPort = platform::portField(request.localPort);
    row.remotePort = platform::portField(request.remotePort);
    row.interfaceIndex = request.interfaceIndex;
    send({sequence, CutAnswer{static_cast<std::int32_t>(m_diag.destroyTcp(row))}});
}

void Enforcer::goodbye(std::uint32_t sequence) {
    Done done;
    if (m_tableWritten && !removeTable()) {
        done.error = EPERM;
        done.reason = m_nft.error();
    }
    // Refusals the kernel logged before the table went may still be on their way: a batch is
    // held back up to 20 ms. Everything read until the log stays quiet is passed on first.
    if (m_log.fd() >= 0) {
        for (;;) {
            pollfd fd{m_log.fd(), POLLIN, 0};
            if (::poll(&fd, 1, DrainMs) <= 0)
                break;
            readRefusals();
        }
    }
    if (m_lost > 0) {
        send({0, Lost{m_lost}});
        m_lost = 0;
    }
    send({sequence, done});
    // The answer goes out before the end, whatever the window's pace.
    while (!m_out.empty()) {
        pollfd fd{m_peer, POLLOUT, 0};
        if (::poll(&fd, 1, 1000) <= 0)
            break;
        flushOut();
    }
    m_ending = Ending::Goodbye;
}

bool Enforcer::removeTable() {
    if (!m_nft.run(tableRemoval(m_table)))
        return false;
    m_tableWritten = false;
    return true;
}

void Enforcer::readRefusals() {
    m_packets.clear();
    m_lost += static_cast<std::uint32_t>(m_log.read(m_packets, 4096));
    const Clock::time_point now = Clock::now();
    if (m_recent.size() >= MaxRecent)
        std::erase_if(m_recent, [&](const auto& entry) { return now - entry.second >= SameRefusal; });
    for (const platform::LoggedPacket& packet : m_packets)
        report(packet);
    if (m_lost > 0 && m_out.size() < MaxUnsent) {
        send({0, Lost{m_lost}});
        m_lost = 0;
    }
}

void Enforcer::report(const platform::LoggedPacket& packet) {
    Refusal refusal;
    refusal.family = static_cast<std::uint8_t>(packet.family);
    refusal.incoming = packet.incoming;
    const bool out = !packet.incoming;
    if (packet.family == platform::Family::Inet6) {
        refusal.local = out ? packet.source6 : packet.destination6;
        refusal.remote = out ? packet.destination6 : packet.source6;
    } else {
        refusal.local = fromRowAddress(out ? packet.source : packet.destination);
        refusal.remote = fromRowAddress(out ? packet.destination : packet.source);
    }
    refusal.localPort = out ? packet.sourcePort : packet.destinationPort;
    refusal.remotePort = out ? packet.destinationPort : packet.sourcePort;
    const Endpoints key{refusal.family, refusal.local, refusal.localPort, refusal.remote,
                        refusal.remotePort};
    const Clock::time_point now = Clock::now();
    if (const auto seen = m_recent.find(key);
        seen != m_recent.end() && now - seen->second < SameRefusal)
        return;
    if (m_recent.size() < MaxRecent)
        m_recent[key] = now;
    if (m_out.size() >= MaxUnsent) {
        ++m_lost;
        return;
    }
    send({0, refusal});
}

void Enforcer::send(const Record& record) {
    const std::vector<std::uint8_t> bytes = encode(record);
    m_out.insert(m_out.end(), bytes.begin(), bytes.end());
    flushOut();
}

void Enforcer::flushOut() {
    while (!m_out.empty()) {
        const ssize_t sent = ::send(m_peer, m_out.data(), m_out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent <= 0) {
            if (sent < 0 && errno == EPIPE)
                m_out.clear(); // the window is gone; its end is read next
            return;
        }
        m_out.erase(m_out.begin(), m_out.begin() + sent);
    }
}

} // namespace tarvok::enforcer
