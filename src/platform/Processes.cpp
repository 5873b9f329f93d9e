#include "platform/Processes.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarvok::platform {

ProcessInfo readProcess(std::uint32_t pid) {
    ProcessInfo info;
    if (pid == 0)
        return info;
    char folder[32];
    std::snprintf(folder, sizeof folder, "/proc/%u", pid);
    const UniqueFd dir(::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid())
        return info;
    if (const UniqueFd comm(::openat(dir.get(), "comm", O_RDONLY | O_CLOEXEC)); comm.valid()) {
        char buffer[64];
        const ssize_t length = ::read(comm.get(), buffer, sizeof buffer);
        if (length > 0) {
            info.name.assign(buffer, static_cast<std::size_t>(length));
            while (!info.name.empty() && (info.name.back() == '\n' || info.name.back() == '\0'))
                info.name.pop_back();
        }
    }
    char target[4096];
    const ssize_t length = ::readlinkat(dir.get(), "exe", target, sizeof target);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof target) {
        info.imagePath.assign(target, static_cast<std::size_t>(length));
        // An executable replaced since the process started (an upgrade) reads as
        // "<path> (deleted)": it is still the program at that path.
        constexpr std::string_view deleted = " (deleted)";
        if (info.imagePath.size() > deleted.size() && info.imagePath.ends_with(deleted))
            info.imagePath.resize(info.imagePath.size() - deleted.size());
    }
    return info;
}

bool endProcess(std::uint32_t pid, const std::string& expectedImage) {
    // kill() reads 0 as "my process group" and negative values as groups or everything.
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT32_MAX))
        return false;
    const UniqueFd handle(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
    if (!handle.valid()) {
        if (errno != ENOSYS)
            return false; // gone (ESRCH) or not ours to see
        // A kernel without pidfds: check, then signal by pid.
        if (!expectedImage.empty() && readProcess(pid).imagePath != expectedImage)
            return false;
        return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
    }
    // Read after the pidfd was opened: if the pid now names another process, either the path
    // differs or the signal below finds the held process gone.
    const bool same = expectedImage.empty() || readProcess(pid).imagePath == expectedImage;
    return same && ::syscall(SYS_pidfd_send_signal, handle.get(), SIGKILL, nullptr, 0) == 0;
}

} // namespace tarvok::platform
