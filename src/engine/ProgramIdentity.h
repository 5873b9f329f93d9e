#pragma once
// Which executable file a program is: the device and inode of the file, never a name that a
// process can set for itself.

#include <QHashFunctions>

#include <cstdint>

namespace tarvok {

struct ProgramIdentity {
    std::uint64_t device = 0; // stat's st_dev
    std::uint64_t inode = 0;  // stat's st_ino
    bool operator==(const ProgramIdentity&) const = default;
};

inline std::size_t qHash(const ProgramIdentity& id, std::size_t seed = 0) {
    return ::qHash(id.device * 0x9E3779B97F4A7C15ull ^ id.inode, seed);
}

} // namespace tarvok
