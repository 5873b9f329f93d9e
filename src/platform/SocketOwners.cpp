#include "platform/SocketOwners.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace tarvok::platform {
namespace {

bool parseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty())
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Closes a directory stream when the scope ends.
struct DirectoryCloser {
    DIR* dir;
    ~DirectoryCloser() {
        if (dir)
            ::closedir(dir);
    }
};

// Adds the sockets among pid's descriptors. The fd folder is opened relative to the pid's
// folder, read through one handle, so a pid reused meanwhile cannot mix two processes.
void scanProcess(int procFd, const char* pidName, std::uint32_t pid,
                 std::unordered_map<std::uint32_t, std::uint32_t>& owners) {
    char path[300];
    std::snprintf(path, sizeof path, "%s/fd", pidName);
    const int fdDir = ::openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fdDir < 0)
        return; // gone, or another user's without the capability to look
    DIR* dir = ::fdopendir(fdDir);
    if (!dir) {
        ::close(fdDir);
        return;
    }
    DirectoryCloser closer{dir};
    static constexpr std::string_view prefix = "socket:[";
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[64];
        const ssize_t length = ::readlinkat(fdDir, entry->d_name, target, sizeof target);
        if (length <= static_cast<ssize_t>(prefix.size()) + 1)
            continue;
        const std::string_view link(target, static_cast<std::size_t>(length));
        if (!link.starts_with(prefix) || link.back() != ']')
            continue;
        std::uint32_t inode = 0;
        if (!parseNumber(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode))
            continue;
        auto [slot, inserted] = owners.try_emplace(inode, pid);
        if (!inserted && pid < slot->second)
            slot->second = pid;
    }
}

thread_local const SocketOwners::Reuse* t_reused = nullptr;

std::shared_future<SocketOwners> ready(const SocketOwners& owners) {
    std::promise<SocketOwners> promise;
    promise.set_value(owners);
    return promise.get_future().share();
}

} // namespace

SocketOwners::Reuse::Reuse(std::shared_future<SocketOwners> owners)
    : m_owners(std::move(owners)), m_previous(t_reused) {
    t_reused = this;
}

SocketOwners::Reuse::Reuse(const SocketOwners& owners) : Reuse(ready(owners)) {}

SocketOwners::Reuse::~Reuse() { t_reused = m_previous; }

SocketOwners SocketOwners::scan() {
    if (t_reused)
        return t_reused->m_owners.get();
    SocketOwners result;
    auto owners = std::make_shared<Map>();
    result.m_owners = owners;
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return result;
    DIR* proc = ::fdopendir(procFd);
    if (!proc) {
        ::close(procFd);
        return result;
    }
    DirectoryCloser closer{proc};
    while (const dirent* entry = ::readdir(proc)) {
        std::uint32_t pid = 0;
        if (parseNumber(entry->d_name, pid))
            scanProcess(procFd, entry->d_name, pid, *owners);
    }
    return result;
}

std::uint32_t SocketOwners::pidOf(std::uint32_t inode) const {
    if (!m_owners)
        return 0;
    const auto found = m_owners->find(inode);
    return found == m_owners->end() ? 0 : found->second;
}

} // namespace tarvok::platform
