#include "engine/ProgramOwners.h"

#include <chrono>
#include <system_error>

namespace tarvok {
namespace {
// How often (in passes) sockets that left the table are forgotten, and after how many passes
// unseen: a sweep walks every entry, which is worth doing now and then, not every pass.
constexpr std::uint32_t SweepEvery = 32;
} // namespace

ProgramOwners::~ProgramOwners() {
    if (m_walk.valid())
        m_walk.wait();
}

void ProgramOwners::beginPass() {
    ++m_pass;
    if (!m_walk.valid() ||
        m_walk.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    const Answer answer = m_walk.get();
    for (const std::uint64_t key : m_walking) {
        const auto entry = m_sockets.find(key);
        if (entry == m_sockets.end() || entry->second.state != State::Walking)
            continue; // forgotten meanwhile, or learnt from elsewhere
        const auto found = answer.find(entry->second.inode);
        if (found == answer.end()) {
            entry->second.state = State::Unknown;
        } else {
            entry->second.state = State::Known;
            entry->second.identity = {found->second.device, found->second.inode};
        }
    }
    m_walking.clear();
}

const ProgramIdentity* ProgramOwners::ownerOf(const platform::SocketId& id, bool* pending) {
    if (pending)
        *pending = false;
    // No process holds a socket without an inode (one waiting for accept, or in TIME_WAIT):
    // nothing to learn yet.
    if (id.inode == 0)
        return nullptr;
    const auto [entry, added] =
        m_sockets.try_emplace(keyOf(id), Entry{id.inode, State::Listed, m_pass, {}});
    Entry& socket = entry->second;
    if (pending)
        *pending = socket.state == State::Listed || socket.state == State::Walking;
    if (added) {
        m_listed.push_back(entry->first);
        return nullptr;
    }
    socket.lastSeen = m_pass;
    return socket.state == State::Known ? &socket.identity : nullptr;
}

void ProgramOwners::askSource() {
    std::vector<std::uint64_t> cookies;
    for (const std::uint64_t key : m_listed)
        if ((key >> 63) == 0) // a cookie, not an inode
            cookies.push_back(key);
    if (cookies.empty())
        return;
    for (const auto& [cookie, identity] : m_source(cookies)) {
        const auto entry = m_sockets.find(cookie);
        if (entry == m_sockets.end() || entry->second.state != State::Listed)
            continue;
        entry->second.state = State::Known;
        entry->second.identity = identity;
    }
    std::erase_if(m_listed, [this](std::uint64_t key) {
        return m_sockets.at(key).state != State::Listed;
    });
}

void ProgramOwners::endPass() {
    if (!m_listed.empty() && m_source)
        askSource();
    if (!m_listed.empty() && !m_walk.valid()) {
        std::unordered_set<std::uint32_t> inodes;
        inodes.reserve(m_listed.size());
        for (const std::uint64_t key : m_listed) {
            Entry& entry = m_sockets.at(key);
            entry.state = State::Walking;
            inodes.insert(entry.inode);
        }
        m_walking = std::move(m_listed);
        m_listed.clear();
        try {
            m_walk = std::async(std::launch::async, [inodes = std::move(inodes)] {
                return platform::socketExecutables(inodes);
            });
            ++m_walks;
        } catch (const std::system_error&) {
            // No thread to be had now: the next pass tries again.
            for (const std::uint64_t key : m_walking)
                m_sockets.at(key).state = State::Listed;
            m_listed = std::move(m_walking);
            m_walking.clear();
        }
    }
    if (m_pass % SweepEvery != 0)
        return;
    std::erase_if(m_sockets, [this](const auto& item) {
        const Entry& entry = item.second;
        // Those on a list stay until the walk's answer has been taken.
        return entry.state != State::Listed && entry.state != State::Walking &&
               m_pass - entry.lastSeen >= SweepEvery;
    });
}

const ProgramIdentity* ProgramOwners::known(const platform::SocketId& id) const {
    const auto entry = m_sockets.find(keyOf(id));
    return entry != m_sockets.end() && entry->second.state == State::Known ? &entry->second.identity
                                                                           : nullptr;
}

void ProgramOwners::learn(std::uint64_t key, const ProgramIdentity& identity) {
    const auto [entry, added] =
        m_sockets.try_emplace(key, Entry{0, State::Known, m_pass, identity});
    if (added)
        return;
    if (entry->second.state == State::Listed)
        std::erase(m_listed, key);
    entry->second.state = State::Known;
    entry->second.identity = identity;
    entry->second.lastSeen = m_pass;
}

void ProgramOwners::clear() {
    // A running walk is left to end by itself (waiting for it here would hold the caller);
    // its answer finds nothing to fill in.
    m_sockets.clear();
    m_listed.clear();
    m_walking.clear();
}

bool ProgramOwners::waitForWalk(int timeoutMs) {
    return !m_walk.valid() ||
           m_walk.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}

} // namespace tarvok
