#pragma once
// Which process owns a socket: a map from socket inode to process id, built by reading the
// descriptor links under /proc/<pid>/fd. Naming another user's processes needs
// CAP_SYS_PTRACE or CAP_DAC_READ_SEARCH; without them their sockets stay unnamed (pid 0).

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

namespace tarvok::platform {

class SocketOwners {
public:
    // Walks every process once. A socket shared by several processes (after fork) is
    // credited to the one with the lowest pid.
    // pause, when given, is called after every PauseEvery descriptors, so that a caller on a
    // GUI thread can let its event loop run during a long walk.
    static constexpr int PauseEvery = 256;
    static SocketOwners scan(const std::function<void()>& pause = {});

    std::uint32_t pidOf(std::uint32_t inode) const;
    std::size_t size() const { return m_owners ? m_owners->size() : 0; }

    // While a Reuse lives, scan() on the same thread returns the scan it holds instead of
    // walking /proc again: one walk serves both owner-aware reads of one list rebuild.
    class Reuse {
    public:
        explicit Reuse(const SocketOwners& owners);
        ~Reuse();
        Reuse(const Reuse&) = delete;
        Reuse& operator=(const Reuse&) = delete;

    private:
        const SocketOwners* m_previous;
    };

private:
    using Map = std::unordered_map<std::uint32_t, std::uint32_t>;
    std::shared_ptr<const Map> m_owners;
};

} // namespace tarvok::platform
