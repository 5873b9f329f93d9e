#pragma once
// The kernel's packet filter: nftables scripts run through libnftables (each script one
// transaction), and a cheap look at the ruleset through NETLINK_NETFILTER: its generation id,
// which moves on every change anyone makes, and whether a table exists and which one it is.

#include <cstdint>
#include <string>

struct nft_ctx;

namespace tarvok::platform {

class NftScripts {
public:
    NftScripts();
    ~NftScripts();
    NftScripts(const NftScripts&) = delete;
    NftScripts& operator=(const NftScripts&) = delete;

    // Runs a script as one batch. True on success; otherwise error() says why, in the
    // library's words (for example "Operation not permitted").
    bool run(const std::string& script);
    const std::string& error() const { return m_error; }

private:
    nft_ctx* m_ctx = nullptr;
    std::string m_error;
    // The kernel refused the last run for want of CAP_NET_ADMIN. The library then writes a
    // line of its own to standard error on every run, so later runs first ask the kernel
    // through a plain netlink request that needs the same capability, which writes nothing.
    bool m_denied = false;
};

// One table as the kernel reports it; handle 0 when it does not exist.
struct NftTableState {
    std::uint64_t handle = 0;
    std::uint32_t use = 0; // chains, sets and maps that it holds
    bool operator==(const NftTableState&) const = default;
};

class NftWatch {
public:
    NftWatch() = default;
    ~NftWatch();
    NftWatch(const NftWatch&) = delete;
    NftWatch& operator=(const NftWatch&) = delete;

    // The ruleset's generation id; 0 and an errno value in *error when it cannot be read.
    std::uint32_t generation(int* error = nullptr);
    // The `inet` table of that name; returns 0, ENOENT when there is none, or another errno.
    int table(const char* name, NftTableState& state);

private:
    int request(std::uint16_t type, std::uint8_t family, const char* name,
                std::uint16_t answerType, void (*onAttribute)(void*, int, const void*, int),
                void* context);

    int m_fd = -1;
    std::uint32_t m_sequence = 0;
};

} // namespace tarvok::platform
