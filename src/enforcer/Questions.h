#pragma once
// The connections held for a question: the program filter marks a socket whose program is to
// be asked, the ask table hands its first packets to this queue, and each packet waits here
// until the window answers for its program. One question per program, however many of its
// connections wait; an answer releases (or drops, cutting the socket) every one held, and
// stays with each process held so that its later calls are decided in the kernel at once.
//
// Nothing is held that cannot be released: at most MaxHeld packets and MaxPrograms programs
// (beyond, a packet gets the default answer); without a window or with asking off everything
// gets the default answer. When the enforcer ends, the kernel drops what the queue held.

#include "enforcer/ProgramFilter.h"
#include "enforcer/Protocol.h"
#include "platform/NfQueue.h"
#include "platform/NftAskTable.h"
#include "platform/SockDiag.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tarvok::enforcer {

class Questions {
public:
    static constexpr std::size_t MaxHeld = 4096;
    static constexpr std::size_t MaxPrograms = 100;
    using Clock = std::chrono::steady_clock;

    struct Reports {
        std::function<void(const Question&)> ask;
        std::function<void(const ProgramFile&)> gone;
    };
    Questions(ProgramFilter& filter, platform::SockDiag& diag, Reports reports);

    // Binds a queue and writes the ask table; false and the reason when either cannot be had.
    bool open(const std::string& tableName, std::string* reason);
    bool isOpen() const { return m_queue.fd() >= 0; }
    int fd() const { return m_queue.fd(); }

    // Asking on or off, and the default answer. Off: everything held gets the default answer.
    void setAsking(bool ask, bool defaultAllow);
    // Reads the queue and decides or holds each packet.
    void read();
    // The window's answer; a program not held (it may have gone meanwhile) is ignored.
    void answer(const Answer& answer);
    // About once a second: drops packets whose socket has gone (QuestionGone when a program
    // holds none any more) and forgets the answers of processes that have exited.
    void tick();
    // The time the next tick() is due, for poll.
    int msUntilTick() const;
    std::size_t held() const { return m_held; }
    bool defaultAllow() const { return m_defaultAllow; }

private:
    struct Packet {
        std::uint32_t id = 0;
        std::uint64_t cookie = 0;
        std::uint32_t tgid = 0;
        platform::SocketEnds ends;
    };
    using Key = std::pair<std::uint64_t, std::uint64_t>; // kernel device, inode

    // The verdict for one packet; a block cuts its socket too, so that its call fails at once.
    void decide(const Packet& packet, bool allow);
    void release(Key key, bool allow, bool remember);

    ProgramFilter& m_filter;
    platform::SockDiag& m_diag;
    Reports m_reports;
    platform::NfQueue m_queue;
    platform::NftAskTable m_table;
    bool m_asking = false;
    bool m_defaultAllow = false;
    std::map<Key, std::vector<Packet>> m_programs;
    std::size_t m_held = 0;
    std::vector<platform::QueuedPacket> m_packets;
    Clock::time_point m_lastTick = Clock::now();
};

// A user id of this process's user namespace as the initial namespace names it (the number
// the kernel gives BPF programs), read from /proc/self/uid_map; the id itself when unmapped.
std::uint32_t initialUid(std::uint32_t uid);

} // namespace tarvok::enforcer
