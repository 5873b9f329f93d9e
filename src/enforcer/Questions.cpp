#include "enforcer/Questions.h"

#include "enforcer/FilterCompiler.h"

#include <cerrno>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>

namespace tarvok::enforcer {
namespace {

// The queue numbers an enforcer tries, the first free one taken: each instance needs its own.
constexpr std::uint16_t FirstQueue = 29814;
constexpr int QueuesTried = 64;
constexpr auto TickEvery = std::chrono::seconds(1);

bool processExists(std::uint32_t tgid) {
    return ::kill(static_cast<pid_t>(tgid), 0) == 0 || errno != ESRCH;
}

} // namespace

std::uint32_t initialUid(std::uint32_t uid) {
    FILE* map = std::fopen("/proc/self/uid_map", "re");
    if (!map)
        return uid;
    unsigned long inside = 0, outside = 0, count = 0;
    std::uint32_t found = uid;
    for (int line = 0; line < 340 && std::fscanf(map, "%lu %lu %lu", &inside, &outside, &count) == 3;
         ++line)
        if (uid >= inside && uid - inside < count) {
            found = static_cast<std::uint32_t>(outside + (uid - inside));
            break;
        }
    std::fclose(map);
    return found;
}

Questions::Questions(ProgramFilter& filter, platform::SockDiag& diag, Reports reports)
    : m_filter(filter), m_diag(diag), m_reports(std::move(reports)) {}

bool Questions::open(const std::string& tableName, std::string* reason) {
    int error = 0;
    for (int i = 0; i < QueuesTried; ++i) {
        error = m_queue.open(static_cast<std::uint16_t>(FirstQueue + i), MaxHeld);
        if (error == 0)
            break;
    }
    if (error != 0) {
        *reason = std::string("no queue could be bound: ") + std::strerror(error);
        return false;
    }
    if (m_table.open(tableName, FILTER_ASK_MARK, m_queue.queue(), reason) != 0) {
        m_queue.close();
        return false;
    }
    return true;
}

void Questions::setAsking(bool ask, bool defaultAllow) {
    m_asking = ask && isOpen();
    m_defaultAllow = defaultAllow;
    // The window's open questions for them end: they were answered here.
    if (!m_asking)
        while (!m_programs.empty()) {
            const Key key = m_programs.begin()->first;
            release(key, m_defaultAllow, false);
            m_reports.gone({statDevice(key.first), key.second});
        }
}

void Questions::decide(const Packet& packet, bool allow) {
    m_queue.verdict(packet.id, allow);
    if (!allow && packet.cookie != 0)
        m_diag.destroyCookie(packet.ends, packet.cookie);
}

void Questions::release(Key key, bool allow, bool remember) {
    const auto found = m_programs.find(key);
    if (found == m_programs.end())
        return;
    for (const Packet& packet : found->second) {
        if (remember)
            m_filter.setAnswer({{key.first, key.second}, packet.tgid, 0}, allow);
        decide(packet, allow);
    }
    m_held -= found->second.size();
    m_programs.erase(found);
}

void Questions::read() {
    m_packets.clear();
    m_queue.read(m_packets, 1024);
    for (const platform::QueuedPacket& queued : m_packets) {
        Packet packet;
        packet.id = queued.id;
        packet.ends = {queued.protocol,  queued.v6,         queued.source,
                       queued.destination, queued.sourcePort, queued.destinationPort};
        // The filter let the call go on: with asking off since, so does the packet.
        if (!m_asking) {
            m_queue.verdict(packet.id, true);
            continue;
        }
        packet.cookie = m_diag.findCookie(packet.ends);
        filter_asking asking{};
        if (packet.cookie == 0 || !m_filter.heldSocket(packet.cookie, &asking)) {
            decide(packet, false); // the socket is gone, or was never held
            continue;
        }
        packet.tgid = asking.tgid;
        const Key key{asking.program.device, asking.program.inode};
        bool allow = false;
        if (m_filter.answerFor({asking.program, asking.tgid, 0}, &allow)) {
            decide(packet, allow);
            continue;
        }
        auto program = m_programs.find(key);
        if (m_held >= MaxHeld || (program == m_programs.end() && m_programs.size() >= MaxPrograms)) {
            decide(packet, program == m_programs.end() ? m_defaultAllow : false);
            continue;
        }
        if (program == m_programs.end()) {
            program = m_programs.emplace(key, std::vector<Packet>{}).first;
            Question question;
            question.program = {statDevice(key.first), key.second};
            question.pid = asking.tgid;
            question.family = queued.v6 ? 6 : 4;
            question.protocol = queued.protocol;
            question.remote = queued.destination;
            question.remotePort = queued.destinationPort;
            m_reports.ask(question);
        }
        program->second.push_back(packet);
        ++m_held;
    }
}

void Questions::answer(const Answer& answer) {
    release({kernelDevice(answer.program.device), answer.program.inode}, answer.allow, true);
}

int Questions::msUntilTick() const {
    if (m_programs.empty() && !m_asking)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        m_lastTick + TickEvery - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

void Questions::tick() {
    if (Clock::now() - m_lastTick < TickEvery)
        return;
    m_lastTick = Clock::now();
    for (auto program = m_programs.begin(); program != m_programs.end();) {
        auto& packets = program->second;
        const std::size_t before = packets.size();
        std::erase_if(packets, [&](const Packet& packet) {
            if (m_diag.findCookie(packet.ends) == packet.cookie)
                return false;
            m_queue.verdict(packet.id, false);
            return true;
        });
        m_held -= before - packets.size();
        if (packets.empty()) {
            m_reports.gone({statDevice(program->first.first), program->first.second});
            program = m_programs.erase(program);
        } else {
            ++program;
        }
    }
    // A process that exited takes its answer along: the program is asked again next time.
    for (const filter_answered_key& key : m_filter.answeredProcesses())
        if (!processExists(key.tgid))
            m_filter.forgetAnswer(key);
}

} // namespace tarvok::enforcer
