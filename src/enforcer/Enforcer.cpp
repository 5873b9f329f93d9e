#include "enforcer/Enforcer.h"

#include "enforcer/FilterCompiler.h"
#include "enforcer/Rendezvous.h"
#include "platform/CutProbe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tarvok::enforcer {
namespace {

// The log groups an enforcer tries, the first free one taken: each instance needs its own.
constexpr std::uint16_t FirstLogGroup = 29814;
constexpr int LogGroupsTried = 64;
// Refusals of one connection closer together than this are one refusal.
constexpr auto SameRefusal = std::chrono::seconds(2);
// A UDP flow (the same endpoints) is refused datagram after datagram: it is reported once in
// this time however many it sends.
constexpr auto SameUdpFlow = std::chrono::seconds(60);
constexpr std::size_t MaxRecent = 65536;
// Reports that wait for a window that does not read are dropped beyond this, and counted.
constexpr std::size_t MaxUnsent = 1 << 20;
// After the table is gone, how long the log may still deliver a batch the kernel held back.
constexpr int DrainMs = 60;
// How long a hand-over waits for the old window's end to reach this process.
constexpr int HandOverWaitMs = 1000;
// Refusals written to the system log per second while no window records them.
constexpr int SystemLogPerSecond = 50;

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

std::string endpointText(std::uint8_t family, const Address& address, std::uint16_t port) {
    char text[INET6_ADDRSTRLEN] = {};
    const bool v6 = family == static_cast<std::uint8_t>(platform::Family::Inet6);
    ::inet_ntop(v6 ? AF_INET6 : AF_INET, address.data(), text, sizeof text);
    return (v6 ? "[" + std::string(text) + "]" : std::string(text)) + ":" + std::to_string(port);
}

} // namespace

Enforcer::Enforcer(int peer) {
    m_window.fd = peer;
}

Enforcer::~Enforcer() {
    if (m_tableWritten)
        removeTable();
    closeRendezvous();
    close(m_window);
    close(m_visitor);
}

std::string Enforcer::tableName(unsigned uid, std::uint64_t instance) {
    char name[64];
    std::snprintf(name, sizeof name, "tarvok_%u_%016llx", uid,
                  static_cast<unsigned long long>(instance));
    return name;
}

std::string Enforcer::askTableName(unsigned uid, std::uint64_t instance) {
    return "tarvok_ask_" + tableName(uid, instance).substr(7);
}

int Enforcer::openLogGroup() {
    // A group another socket holds is refused with EPERM, as is every group to a process
    // without CAP_NET_ADMIN: the next ones are tried either way.
    int error = 0;
    for (int i = 0; i < LogGroupsTried; ++i) {
        const auto group = static_cast<std::uint16_t>(FirstLogGroup + i);
        error = m_log.open(group);
        if (error == 0) {
            m_logGroup = group;
            return 0;
        }
    }
    return error;
}

int Enforcer::run() {
    while (!m_ended) {
        pollfd fds[6];
        nfds_t count = 0;
        const auto watch = [&](int fd, short events) {
            if (fd < 0)
                return -1;
            fds[count] = {fd, events, 0};
            return static_cast<int>(count++);
        };
        const auto wants = [](const Peer& peer) {
            return static_cast<short>(POLLIN | (peer.out.empty() ? 0 : POLLOUT));
        };
        const int window = watch(m_window.fd, wants(m_window));
        const int visitor = watch(m_visitor.fd, wants(m_visitor));
        const int listener = watch(m_listener, POLLIN);
        const int log = watch(m_log.fd(), POLLIN);
        const int filter = watch(m_filter ? m_filter->eventFd() : -1, POLLIN);
        const int queue = watch(m_questions ? m_questions->fd() : -1, POLLIN);
        if (count == 0)
            break;
        if (::poll(fds, count, m_questions ? m_questions->msUntilTick() : -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        const auto ready = [&](int index, short events) {
            return index >= 0 && (fds[index].revents & events);
        };
        if (ready(log, POLLIN))
            readRefusals();
        if (ready(filter, POLLIN))
            readFilterRefusals();
        if (ready(queue, POLLIN))
            m_questions->read();
        if (m_questions)
            m_questions->tick();
        if (ready(window, POLLOUT))
            flush(m_window);
        if (ready(window, POLLIN | POLLHUP | POLLERR) && !readFrom(m_window))
            windowGone();
        if (ready(visitor, POLLOUT))
            flush(m_visitor);
        if (ready(visitor, POLLIN | POLLHUP | POLLERR) && !readFrom(m_visitor))
            close(m_visitor);
        if (ready(listener, POLLIN))
            acceptVisitor();
    }
    if (m_tableWritten)
        removeTable();
    closeRendezvous();
    return 0;
}

bool Enforcer::readFrom(Peer& peer) {
    std::uint8_t buffer[65536];
    const ssize_t received = ::recv(peer.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (received <= 0)
        return false;
    peer.reader.feed(buffer, static_cast<std::size_t>(received));
    Record record;
    while (peer.fd >= 0 && !m_ended) {
        switch (peer.reader.next(&record)) {
        case Reader::Status::NeedMore:
            return true;
        case Reader::Status::Ready:
            if (peer.visitor)
                handleVisitor(peer, record);
            else
                handle(peer, record);
            break;
        case Reader::Status::Invalid:
            send(peer, {peer.reader.sequence(), Error{peer.reader.error()}});
            break;
        case Reader::Status::Broken:
            // The stream cannot be followed past a length out of range: say why, and treat
            // the peer as gone.
            send(peer, {0, Error{peer.reader.error()}});
            return false;
        }
    }
    return peer.fd >= 0;
}

void Enforcer::handle(Peer& peer, const Record& record) {
    const std::uint32_t sequence = record.sequence;
    if (const auto* request = std::get_if<Hello>(&record.body)) {
        hello(peer, sequence, *request);
        return;
    }
    if (!m_greeted) {
        send(peer, {sequence, Error{"the first record must be Hello"}});
        return;
    }
    if (const auto* policy = std::get_if<SetPolicy>(&record.body))
        setPolicy(peer, sequence, *policy);
    else if (const auto* request = std::get_if<Cut>(&record.body))
        cut(peer, sequence, *request);
    else if (const auto* request = std::get_if<Owners>(&record.body))
        owners(peer, sequence, *request);
    else if (std::holds_alternative<Goodbye>(record.body))
        goodbye(peer, sequence);
    else if (const auto* request = std::get_if<Answer>(&record.body)) {
        // An answer for a program not held (it may have gone meanwhile) changes nothing.
        if (m_questions)
            m_questions->answer(*request);
    } else
        send(peer, {sequence, Error{"that record is not a request of the window's"}});
}

void Enforcer::handleVisitor(Peer& peer, const Record& record) {
    const std::uint32_t sequence = record.sequence;
    if (std::holds_alternative<Status>(record.body)) {
        StatusAnswer answer;
        answer.windowGoneAt = m_windowGoneAt;
        answer.level = m_inForce.level;
        answer.paused = m_inForce.paused;
        answer.rules = m_inForce.rules;
        send(peer, {sequence, answer});
    } else if (std::holds_alternative<Adopt>(record.body)) {
        adopt(peer, sequence);
    } else if (std::holds_alternative<Goodbye>(record.body) && windowEnded()) {
        goodbye(peer, sequence);
    } else {
        send(peer, {sequence, Error{m_window.fd >= 0 ? "Tarvok's window is running"
                                                     : "that request is not taken here"}});
    }
}

void Enforcer::hello(Peer& peer, std::uint32_t sequence, const Hello& hello) {
    if (m_greeted) {
        send(peer, {sequence, Error{"Hello came twice"}});
        return;
    }
    m_greeted = true;
    m_instance = hello.instance;
    m_table = tableName(::getuid(), hello.instance);
    // Refusals are read only while someone listens; each instance takes a group of its own.
    openLogGroup();
    openRendezvous();
    m_abilities = abilities();
    openFilter();
    send(peer, {sequence, helloAnswer()});
}

void Enforcer::openFilter() {
    const std::string cgroup = filterCgroup(&m_filterReason);
    if (!cgroup.empty())
        m_filter = ProgramFilter::open(cgroup, &m_filterReason);
    if (m_filter) {
        m_filterReason.clear();
        m_abilities |= FilterInForce;
        openQuestions();
    }
}

void Enforcer::openQuestions() {
    // Only the window's user is asked: the filter knows users by the initial namespace's ids.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(m_window.fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return;
    m_filter->setAskUser(initialUid(peer.uid));
    auto questions = std::make_unique<Questions>(
        *m_filter, m_diag,
        Questions::Reports{[this](const Question& question) { send(m_window, {0, question}); },
                           [this](const ProgramFile& program) {
                               send(m_window, {0, QuestionGone{program}});
                           }});
    std::string reason;
    if (questions->open(askTableName(::getuid(), m_instance), &reason)) {
        m_questions = std::move(questions);
        m_abilities |= CanAsk;
    } else
        ::syslog(LOG_WARNING, "connections cannot be held for a question: %s", reason.c_str());
}

HelloAnswer Enforcer::helloAnswer() const {
    return HelloAnswer{m_abilities, m_logGroup, m_table, m_filterReason};
}

void Enforcer::setPolicy(Peer& peer, std::uint32_t sequence, const SetPolicy& policy) {
    Done done;
    // The filter takes the policy first, so that outgoing connections are never left to
    // neither of the two; when it cannot hold it, the table decides them again.
    // Connections are held only where a queue takes them: without one, nothing is marked.
    SetPolicy filtered = policy;
    filtered.ask = policy.ask && m_questions;
    if (m_filter) {
        m_filterInForce = m_filter->apply(filtered, &done.reason);
        if (!m_filterInForce)
            m_filter->pass();
    }
    if (m_questions)
        m_questions->setAsking(m_filterInForce && filtered.ask && policy.level == Level::Normal &&
                                   !policy.paused,
                               policy.askDefaultAllow);
    TableOptions options;
    options.name = m_table;
    options.logGroup = m_logGroup;
    options.mayExist = !m_tableWritten;
    options.outgoingByFilter = m_filterInForce;
    SetPolicy table = policy;
    table.rules = rulesWithoutPrograms(policy.rules);
    if (m_nft.run(tableScript(table, options))) {
        m_tableWritten = true;
        m_inForce = {policy.level, policy.paused, policy.allowAllOnCrash,
                     static_cast<std::uint32_t>(policy.rules.size())};
    } else {
        done.error = EPERM;
        done.reason = m_nft.error();
    }
    send(peer, {sequence, done});
}

void Enforcer::cut(Peer& peer, std::uint32_t sequence, const Cut& request) {
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
    if (request.protocol == IPPROTO_UDP) {
        const platform::UdpConnectionRow socket{row.localAddress, row.localPort,
                                                row.remoteAddress, row.remotePort,
                                                row.family,       row.local6,
                                                row.remote6,      row.interfaceIndex};
        send(peer, {sequence, CutAnswer{static_cast<std::int32_t>(m_diag.destroyUdp(socket))}});
        return;
    }
    send(peer, {sequence, CutAnswer{static_cast<std::int32_t>(m_diag.destroyTcp(row))}});
}

void Enforcer::owners(Peer& peer, std::uint32_t sequence, const Owners& request) {
    OwnersAnswer answer;
    if (m_filter)
        answer.owners = m_filter->owners(request.cookies);
    send(peer, {sequence, answer});
}

void Enforcer::goodbye(Peer& peer, std::uint32_t sequence) {
    Done done;
    // An orderly end answers what is held with the default, rather than leave it to the
    // kernel's drop and the program's retries.
    if (m_questions) {
        m_filter->stopAsking();
        m_questions->setAsking(false, m_questions->defaultAllow());
    }
    if (m_tableWritten && !removeTable()) {
        done.error = EPERM;
        done.reason = m_nft.error();
    }
    // Refusals the kernel logged before the table went may still be on their way: a batch is
    // held back up to 20 ms. Everything read until the log stays quiet is passed on first.
    while (m_log.fd() >= 0) {
        pollfd fd{m_log.fd(), POLLIN, 0};
        if (::poll(&fd, 1, DrainMs) <= 0)
            break;
        readRefusals();
    }
    if (m_lost > 0 && m_window.fd >= 0)
        send(m_window, {0, Lost{std::exchange(m_lost, 0)}});
    send(peer, {sequence, done});
    // The answer goes out before the end, whatever the peer's pace.
    while (!peer.out.empty()) {
        pollfd fd{peer.fd, POLLOUT, 0};
        if (::poll(&fd, 1, 1000) <= 0)
            break;
        flush(peer);
    }
    m_ended = true;
}

void Enforcer::windowGone() {
    close(m_window);
    // No one is left to ask: what is held gets the default answer, and nothing more is held.
    if (m_questions) {
        m_filter->stopAsking();
        m_questions->setAsking(false, m_questions->defaultAllow());
    }
    if (!m_tableWritten || m_inForce.allowAllOnCrash || m_listener < 0) {
        m_ended = true;
        return;
    }
    m_windowGoneAt = static_cast<std::int64_t>(std::time(nullptr));
    // The window's terminal or log is no place to write to any more, and must not be held
    // open by a process that outlives it: the system log takes the rest.
    if (const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
        for (int fd : {0, 1, 2})
            ::dup2(null, fd);
        ::close(null);
    }
    ::openlog("tarvok-enforcer", LOG_PID, LOG_USER);
    ::syslog(LOG_WARNING, "Tarvok's window ended unexpectedly; its last policy stays in force "
                          "until Tarvok starts again or 'tarvok --exit' ends it");
}

bool Enforcer::windowEnded() {
    // The window may have died a moment ago, its end not read yet.
    if (m_window.fd >= 0) {
        pollfd fd{m_window.fd, POLLIN, 0};
        if (::poll(&fd, 1, HandOverWaitMs) > 0 && !readFrom(m_window))
            windowGone();
    }
    return m_window.fd < 0;
}

void Enforcer::adopt(Peer& visitor, std::uint32_t sequence) {
    if (!windowEnded() || m_ended) {
        send(visitor, {sequence, Error{"Tarvok's window is running"}});
        return;
    }
    m_window = std::move(visitor);
    m_window.visitor = false;
    visitor = Peer{};
    m_windowGoneAt = 0;
    ::syslog(LOG_NOTICE, "a new Tarvok window took over the policy in force");
    send(m_window, {sequence, helloAnswer()});
}

void Enforcer::openRendezvous() {
    m_rendezvous = rendezvousPath(::getuid(), m_instance, true);
    sockaddr_un address{};
    if (m_rendezvous.empty() || m_rendezvous.size() >= sizeof address.sun_path)
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_rendezvous.c_str(), m_rendezvous.size() + 1);
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // An earlier enforcer of this instance that no longer listens left its name behind.
    ::unlink(m_rendezvous.c_str());
    const mode_t before = ::umask(0177);
    const bool bound = m_listener >= 0 &&
                       ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::umask(before);
    if (!bound || ::listen(m_listener, 4) != 0) {
        if (m_listener >= 0)
            ::close(m_listener);
        m_listener = -1;
        m_rendezvous.clear();
    }
}

void Enforcer::closeRendezvous() {
    if (m_listener < 0)
        return;
    ::close(m_listener);
    m_listener = -1;
    ::unlink(m_rendezvous.c_str());
}

void Enforcer::acceptVisitor() {
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    ucred peer{};
    socklen_t length = sizeof peer;
    // Only this user's own programs, and one at a time.
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::getuid() ||
        m_visitor.fd >= 0) {
        ::close(fd);
        return;
    }
    m_visitor = Peer{};
    m_visitor.fd = fd;
    m_visitor.visitor = true;
}

std::uint32_t Enforcer::abilities() {
    switch (platform::probeCutAbility(m_diag)) {
    case platform::CutAbility::Works:
        return CanCut;
    case platform::CutAbility::NotSupported:
        return NoSocketDestroy;
    case platform::CutAbility::NoPermission:
    case platform::CutAbility::NoEnforcer: // not a finding the probe makes
        break;
    }
    return 0;
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
        std::erase_if(m_recent, [&](const auto& entry) {
            return now - entry.second >= (std::get<0>(entry.first) == IPPROTO_UDP ? SameUdpFlow
                                                                                  : SameRefusal);
        });
    for (const platform::LoggedPacket& packet : m_packets)
        report(packet);
    if (m_lost > 0 && m_window.fd >= 0 && m_window.out.size() < MaxUnsent)
        send(m_window, {0, Lost{std::exchange(m_lost, 0)}});
}

void Enforcer::readFilterRefusals() {
    const Clock::time_point now = Clock::now();
    if (m_recent.size() >= MaxRecent)
        std::erase_if(m_recent, [&](const auto& entry) {
            return now - entry.second >= (std::get<0>(entry.first) == IPPROTO_UDP ? SameUdpFlow
                                                                                  : SameRefusal);
        });
    m_lost += static_cast<std::uint32_t>(m_filter->drain([&](const filter_refusal& event) {
        Refusal refusal;
        refusal.family = static_cast<std::uint8_t>(event.family == 6 ? platform::Family::Inet6
                                                                     : platform::Family::Inet);
        refusal.protocol = event.protocol;
        std::memcpy(refusal.remote.data(), event.address, event.family == 6 ? 16 : 4);
        refusal.remotePort = event.port;
        std::memcpy(refusal.local.data(), event.local, event.family == 6 ? 16 : 4);
        refusal.localPort = event.local_port;
        refusal.pid = event.pid;
        refusal.program = {statDevice(event.program.device), event.program.inode};
        // Each connect() is an attempt of its own; a program's datagrams to one end are one.
        report(refusal, event.protocol == IPPROTO_UDP ? event.pid : ++m_attempts);
    }));
    if (m_lost > 0 && m_window.fd >= 0 && m_window.out.size() < MaxUnsent)
        send(m_window, {0, Lost{std::exchange(m_lost, 0)}});
}

void Enforcer::report(const platform::LoggedPacket& packet) {
    Refusal refusal;
    refusal.family = static_cast<std::uint8_t>(packet.family);
    refusal.incoming = packet.incoming;
    refusal.protocol = packet.protocol;
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
    report(refusal, packet.tcpSequence);
}

void Enforcer::report(const Refusal& refusal, std::uint32_t attempt) {
    const Endpoints key{refusal.protocol, refusal.family,     refusal.local,     refusal.localPort,
                        refusal.remote,   refusal.remotePort, attempt};
    const Clock::time_point now = Clock::now();
    const auto same = refusal.protocol == IPPROTO_UDP ? SameUdpFlow : SameRefusal;
    if (const auto seen = m_recent.find(key); seen != m_recent.end() && now - seen->second < same)
        return;
    if (m_recent.size() < MaxRecent)
        m_recent[key] = now;
    if (m_window.fd < 0) {
        // The filter refuses before a local end exists: the process stands for it.
        const std::string local =
            refusal.pid ? "process " + std::to_string(refusal.pid)
                        : endpointText(refusal.family, refusal.local, refusal.localPort);
        // No window records it: the system log does, within its own rate.
        if (now - m_logSecond >= std::chrono::seconds(1)) {
            if (m_lost > 0)
                ::syslog(LOG_WARNING, "%u more refusals were not logged", m_lost);
            m_logSecond = now;
            m_loggedInSecond = 0;
            m_lost = 0;
        }
        if (m_loggedInSecond++ < SystemLogPerSecond)
            ::syslog(LOG_WARNING, "BLOCKED CONNECTION %s %s %s %s",
                     refusal.protocol == IPPROTO_UDP ? "UDP" : "TCP", local.c_str(),
                     refusal.incoming ? "<-" : "->",
                     endpointText(refusal.family, refusal.remote, refusal.remotePort).c_str());
        else
            ++m_lost;
        return;
    }
    if (m_window.out.size() >= MaxUnsent) {
        ++m_lost;
        return;
    }
    send(m_window, {0, refusal});
}

void Enforcer::send(Peer& peer, const Record& record) {
    if (peer.fd < 0)
        return;
    const std::vector<std::uint8_t> bytes = encode(record);
    peer.out.insert(peer.out.end(), bytes.begin(), bytes.end());
    flush(peer);
}

void Enforcer::flush(Peer& peer) {
    while (!peer.out.empty() && peer.fd >= 0) {
        const ssize_t sent =
            ::send(peer.fd, peer.out.data(), peer.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent <= 0) {
            if (sent < 0 && errno == EPIPE)
                peer.out.clear(); // the peer is gone; its end is read next
            return;
        }
        peer.out.erase(peer.out.begin(), peer.out.begin() + sent);
    }
}

void Enforcer::close(Peer& peer) {
    if (peer.fd >= 0)
        ::close(peer.fd);
    peer = Peer{};
}

} // namespace tarvok::enforcer
