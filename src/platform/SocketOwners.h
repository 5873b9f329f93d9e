#pragma once
// Which process owns a socket: a map from socket inode to process id, built by reading the
// descriptor links under /proc/<pid>/fd. Naming another user's processes needs
// CAP_SYS_PTRACE or CAP_DAC_READ_SEARCH; without them their sockets stay unnamed (pid 0).

#include <cstdint>
#include <unordered_map>

namespace tarvok::platform {

class SocketOwners {
public:
    // Walks every process once. A socket shared by several processes (after fork) is
    // credited to the one with the lowest pid.
    static SocketOwners scan();

    std::uint32_t pidOf(std::uint32_t inode) const;
    std::size_t size() const { return m_owners.size(); }

private:
    std::unordered_map<std::uint32_t, std::uint32_t> m_owners;
};

} // namespace tarvok::platform
