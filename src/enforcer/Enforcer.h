#pragma once
// The enforcer's one loop: it serves the window on its socket (write the table from typed
// rules, cut a named socket, end in order) and passes on the refusals the kernel logs. It is
// the only process of Tarvok that holds capabilities, so it takes nothing from its peer but
// the typed records of Protocol.h, and never a script, a path or a word.
//
// When the window ends without a goodbye, the last policy stays in force (unless the window
// asked for everything to be allowed then): refusals go to the system log, and the rendezvous
// socket answers the same user's `tarvok --status`, ends the enforcer for `tarvok --exit`, and
// hands it over to the next window, so that no moment passes without the policy.

#include "enforcer/ProgramFilter.h"
#include "enforcer/Protocol.h"
#include "enforcer/Questions.h"
#include "enforcer/TableCompiler.h"
#include "platform/NfLog.h"
#include "platform/NfTables.h"
#include "platform/SockDiag.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace tarvok::enforcer {

class Enforcer {
public:
    // peer: a connected stream socket to the window.
    explicit Enforcer(int peer);
    ~Enforcer();
    Enforcer(const Enforcer&) = delete;
    Enforcer& operator=(const Enforcer&) = delete;

    // Serves until a goodbye, or until the window is gone and the policy is not to stay; the
    // process's exit code.
    int run();

    // The name of the table for a user id and an instance id: "tarvok_<uid>_<16 hex digits>";
    // its ask table is "tarvok_ask_<uid>_<16 hex digits>".
    static std::string tableName(unsigned uid, std::uint64_t instance);
    static std::string askTableName(unsigned uid, std::uint64_t instance);

private:
    using Clock = std::chrono::steady_clock;

    // One connected socket and what it has sent so far.
    struct Peer {
        int fd = -1;
        Reader reader;
        std::vector<std::uint8_t> out; // what it has not taken yet
        bool visitor = false;          // came through the rendezvous socket
    };

    bool readFrom(Peer& peer);
    void handle(Peer& peer, const Record& record);
    void handleVisitor(Peer& peer, const Record& record);
    void hello(Peer& peer, std::uint32_t sequence, const Hello& hello);
    void setPolicy(Peer& peer, std::uint32_t sequence, const SetPolicy& policy);
    void cut(Peer& peer, std::uint32_t sequence, const Cut& cut);
    void owners(Peer& peer, std::uint32_t sequence, const Owners& request);
    void goodbye(Peer& peer, std::uint32_t sequence);
    void windowGone();
    void adopt(Peer& visitor, std::uint32_t sequence);
    // Whether the window has ended, waiting a moment for an end not read yet.
    bool windowEnded();
    void acceptVisitor();
    void openRendezvous();
    void closeRendezvous();
    bool removeTable();
    std::uint32_t abilities();
    void openFilter();
    void openQuestions();
    HelloAnswer helloAnswer() const;
    void readRefusals();
    void readFilterRefusals();
    void report(const platform::LoggedPacket& packet);
    // Passes a refusal on once: again only after some time, or for another attempt (the TCP
    // sequence number, or the process that tried).
    void report(const Refusal& refusal, std::uint32_t attempt);
    void send(Peer& peer, const Record& record);
    void flush(Peer& peer);
    void close(Peer& peer);
    int openLogGroup();

    Peer m_window;
    Peer m_visitor;
    int m_listener = -1;
    std::string m_rendezvous;
    bool m_ended = false;
    bool m_greeted = false;
    std::uint64_t m_instance = 0;
    std::int64_t m_windowGoneAt = 0; // 0 while the window is there

    platform::NftScripts m_nft;
    platform::SockDiag m_diag;
    platform::NfLog m_log;
    std::uint16_t m_logGroup = 0;
    std::uint32_t m_abilities = 0;
    std::string m_table; // empty until Hello names the instance
    bool m_tableWritten = false;
    // The program filter, and why there is none; while it decides outgoing connections the
    // table decides incoming ones only.
    std::unique_ptr<ProgramFilter> m_filter;
    std::string m_filterReason;
    bool m_filterInForce = false;
    // The connections held while their program is asked; none without the filter.
    std::unique_ptr<Questions> m_questions;
    // What the last policy written holds, for the status.
    struct InForce {
        Level level = Level::Allow;
        bool paused = false;
        bool allowAllOnCrash = false;
        std::uint32_t rules = 0;
    } m_inForce;
    std::uint32_t m_lost = 0; // refusals not passed on since the last Lost report
    std::uint32_t m_attempts = 0; // numbers the filter's refused connects

    // Refusals passed on in the last seconds, by their endpoints and SYN sequence number: a
    // connection whose first packet the kernel sees twice (a Fast Open SYN and its retry) is
    // one refusal, while a new attempt from the same ports is another. UDP flows by their
    // endpoints alone (the sequence is 0), over a longer time. First the protocol.
    using Endpoints = std::tuple<std::uint8_t, std::uint8_t, Address, std::uint16_t, Address,
                                 std::uint16_t, std::uint32_t>;
    std::map<Endpoints, Clock::time_point> m_recent;
    std::vector<platform::LoggedPacket> m_packets;
    Clock::time_point m_logSecond{};
    int m_loggedInSecond = 0;
};

} // namespace tarvok::enforcer
