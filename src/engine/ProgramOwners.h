#pragma once
// The executable of the process behind each socket, for the rules that name a program. Owners
// are learnt, not looked up on every pass: a socket seen for the first time is put on a list,
// and at the end of the pass one walk of /proc on a worker thread names the owners of all the
// listed sockets; the next pass takes the answer. So the first pass with program rules walks
// /proc once for every socket, and after that only a pass that saw new sockets starts a walk
// (never more than one at a time). A socket whose owner cannot be read (another user's
// process, or none) stays unknown and is not asked about again.
//
// Keys are the dump's socket cookie (the inode where a row has none). learn() sets an owner
// from elsewhere, such as a record of the process that opened the socket. A source, where one
// is set, is asked first: the program filter records the program of every socket it sees
// connect, so that only the sockets it has not seen (accepted ones, those older than it) are
// left for a walk.

#include "engine/ProgramIdentity.h"
#include "platform/Processes.h"
#include "platform/SockDiag.h"

#include <cstdint>
#include <functional>
#include <future>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tarvok {

class ProgramOwners {
public:
    ProgramOwners() = default;
    ~ProgramOwners();
    ProgramOwners(const ProgramOwners&) = delete;
    ProgramOwners& operator=(const ProgramOwners&) = delete;

    static std::uint64_t keyOf(const platform::SocketId& id) {
        return id.cookie != 0 ? id.cookie : (std::uint64_t{1} << 63) | id.inode;
    }

    // Takes the answer of a walk that has finished.
    void beginPass();
    // The owner's executable as known now; nullptr while it is unknown. A socket not seen
    // before is listed for the next walk. pending, when given, tells whether a walk is yet to
    // name the owner (false once it is known or no walk can name it).
    const ProgramIdentity* ownerOf(const platform::SocketId& id, bool* pending = nullptr);
    // Starts a walk for the sockets listed in this pass unless one is still running, and now
    // and then forgets the sockets that have left the table.
    void endPass();

    void learn(std::uint64_t key, const ProgramIdentity& identity);
    // The owner as learnt so far, without listing the socket for a walk; nullptr unknown.
    const ProgramIdentity* known(const platform::SocketId& id) const;
    // The owners of the sockets with these cookies, as far as the source knows them.
    using Source = std::function<std::vector<std::pair<std::uint64_t, ProgramIdentity>>(
        const std::vector<std::uint64_t>& cookies)>;
    void setSource(Source source) { m_source = std::move(source); }
    // Forgets everything, for when no rule names a program any more.
    void clear();

    // For tests and benchmarks: waits for a running walk to end; false when it did not in time.
    bool waitForWalk(int timeoutMs);
    std::size_t size() const { return m_sockets.size(); }
    // How many walks of /proc have been started.
    std::uint64_t walks() const { return m_walks; }

private:
    enum class State : std::uint8_t { Listed, Walking, Known, Unknown };
    struct Entry {
        std::uint32_t inode;
        State state;
        std::uint32_t lastSeen; // pass number
        ProgramIdentity identity;
    };
    using Answer = std::unordered_map<std::uint32_t, platform::FileIdentity>;
    void askSource();

    std::unordered_map<std::uint64_t, Entry> m_sockets;
    std::vector<std::uint64_t> m_listed;  // keys waiting for a walk
    std::vector<std::uint64_t> m_walking; // keys of the running walk
    std::future<Answer> m_walk;
    Source m_source;
    std::uint32_t m_pass = 0;
    std::uint64_t m_walks = 0;
};

} // namespace tarvok
