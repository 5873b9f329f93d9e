#pragma once
// Which process owns a socket: a map from socket inode to process id, built by reading the
// descriptor links under /proc/<pid>/fd. Naming another user's processes needs
// CAP_SYS_PTRACE or CAP_DAC_READ_SEARCH; without them their sockets stay unnamed (pid 0).

#include <cstdint>
#include <future>
#include <memory>
#include <unordered_map>

namespace tarvok::platform {

class SocketOwners {
public:
    // Walks every process once. A socket shared by several processes (after fork) is
    // credited to the one with the lowest pid.
    static SocketOwners scan();

    std::uint32_t pidOf(std::uint32_t inode) const;
    std::size_t size() const { return m_owners ? m_owners->size() : 0; }

    class Reuse;

private:
    using Map = std::unordered_map<std::uint32_t, std::uint32_t>;
    std::shared_ptr<const Map> m_owners;
};

// While a Reuse lives, SocketOwners::scan() on the same thread returns the scan it holds
// instead of walking /proc again: one walk serves both owner-aware reads of one list rebuild.
// The scan may still be running on another thread; scan() then waits for it, so a table dump
// can overlap the walk.
class SocketOwners::Reuse {
public:
    explicit Reuse(std::shared_future<SocketOwners> owners);
    explicit Reuse(const SocketOwners& owners);
    ~Reuse();
    Reuse(const Reuse&) = delete;
    Reuse& operator=(const Reuse&) = delete;

private:
    std::shared_future<SocketOwners> m_owners;
    const Reuse* m_previous;
    friend class SocketOwners;
};

} // namespace tarvok::platform
