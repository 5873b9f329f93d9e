#pragma once
// The enforcer's one loop: it serves the window on its socket (write the table from typed
// rules, cut a named socket, end in order) and passes on the refusals the kernel logs. It is
// the only process of Tarvok that holds capabilities, so it takes nothing from its peer but
// the typed records of Protocol.h, and never a script, a path or a word.

#include "enforcer/Protocol.h"
#include "enforcer/TableCompiler.h"
#include "platform/NfLog.h"
#include "platform/NfTables.h"
#include "platform/SockDiag.h"

#include <chrono>
#include <cstdint>
#include <map>
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

    // Serves the peer until it says goodbye or goes away; the process's exit code.
    int run();

    // The name of the table for a user id and an instance id: "tarvok_<uid>_<16 hex digits>".
    static std::string tableName(unsigned uid, std::uint64_t instance);

private:
    using Clock = std::chrono::steady_clock;
    enum class Ending { Running, Goodbye, PeerGone };

    void readPeer();
    void handle(const Record& record);
    void hello(std::uint32_t sequence, const Hello& hello);
    void setPolicy(std::uint32_t sequence, const SetPolicy& policy);
    void cut(std::uint32_t sequence, const Cut& cut);
    void goodbye(std::uint32_t sequence);
    bool removeTable();
    void readRefusals();
    void report(const platform::LoggedPacket& packet);
    void send(const Record& record);
    void flushOut();
    int openLogGroup();

    int m_peer;
    Reader m_reader;
    std::vector<std::uint8_t> m_out; // what the peer has not taken yet
    Ending m_ending = Ending::Running;
    bool m_greeted = false;

    platform::NftScripts m_nft;
    platform::SockDiag m_diag;
    platform::NfLog m_log;
    std::uint16_t m_logGroup = 0;
    std::string m_table; // empty until Hello names the instance
    bool m_tableWritten = false;
    std::uint32_t m_lost = 0; // refusals not passed on since the last Lost report

    // Refusals passed on in the last seconds, by their endpoints: a connection whose first
    // packet the kernel sees twice (a Fast Open SYN and its retry) is one refusal.
    using Endpoints = std::tuple<std::uint8_t, Address, std::uint16_t, Address, std::uint16_t>;
    std::map<Endpoints, Clock::time_point> m_recent;
    std::vector<platform::LoggedPacket> m_packets;
};

} // namespace tarvok::enforcer
