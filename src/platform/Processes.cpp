#include "platform/Processes.h"

#include "platform/UniqueFd.h"

#include <cerrno>
#include <csignal>
#include <charconv>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <optional>
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

namespace {

bool parsePid(const char* text, std::uint32_t& value) {
    const char* end = text + std::char_traits<char>::length(text);
    const auto [last, error] = std::from_chars(text, end, value);
    return error == std::errc() && last == end && text != end;
}

// A directory stream read through a descriptor it owns.
struct Directory {
    DIR* dir = nullptr;
    explicit Directory(int fd) : dir(fd >= 0 ? ::fdopendir(fd) : nullptr) {
        if (fd >= 0 && !dir)
            ::close(fd);
    }
    ~Directory() {
        if (dir)
            ::closedir(dir);
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
};

// The wanted sockets among the descriptors of the process whose /proc folder is pidFd; the
// executable is read through the same folder, so a pid reused meanwhile cannot mix two
// processes.
void scanProcess(int pidFd, const std::unordered_set<std::uint32_t>& wanted,
                 std::unordered_map<std::uint32_t, FileIdentity>& found) {
    const int fdFolder = ::openat(pidFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    const Directory fds(fdFolder);
    if (!fds.dir)
        return; // gone, or another user's
    static constexpr std::string_view prefix = "socket:[";
    std::optional<FileIdentity> executable;
    bool unreadable = false;
    while (const dirent* entry = ::readdir(fds.dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[64];
        const ssize_t length = ::readlinkat(fdFolder, entry->d_name, target, sizeof target);
        if (length <= static_cast<ssize_t>(prefix.size()) + 1)
            continue;
        const std::string_view link(target, static_cast<std::size_t>(length));
        if (!link.starts_with(prefix) || link.back() != ']')
            continue;
        std::uint32_t inode = 0;
        const char* first = link.data() + prefix.size();
        const char* last = link.data() + link.size() - 1;
        if (const auto [end, error] = std::from_chars(first, last, inode);
            error != std::errc() || end != last || !wanted.contains(inode) ||
            found.contains(inode))
            continue;
        if (!executable && !unreadable) {
            struct stat info {};
            if (::fstatat(pidFd, "exe", &info, 0) == 0 && S_ISREG(info.st_mode))
                executable = FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                                          static_cast<std::uint64_t>(info.st_ino)};
            else
                unreadable = true; // a kernel thread, a zombie, or not ours to read
        }
        if (executable)
            found.emplace(inode, *executable);
    }
}

} // namespace

std::unordered_map<std::uint32_t, FileIdentity>
socketExecutables(const std::unordered_set<std::uint32_t>& wanted) {
    std::unordered_map<std::uint32_t, FileIdentity> found;
    if (wanted.empty())
        return found;
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const Directory proc(procFd);
    if (!proc.dir)
        return found;
    while (const dirent* entry = ::readdir(proc.dir)) {
        std::uint32_t pid = 0;
        if (!parsePid(entry->d_name, pid))
            continue;
        const UniqueFd pidFd(
            ::openat(procFd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        if (pidFd.valid())
            scanProcess(pidFd.get(), wanted, found);
        if (found.size() == wanted.size())
            break; // every socket named
    }
    return found;
}

std::vector<std::string> runningExecutables(std::size_t maxProcesses) {
    std::vector<std::string> paths;
    const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const Directory proc(procFd);
    if (!proc.dir)
        return paths;
    std::size_t seen = 0;
    while (const dirent* entry = ::readdir(proc.dir)) {
        std::uint32_t pid = 0;
        if (!parsePid(entry->d_name, pid))
            continue;
        if (++seen > maxProcesses)
            break;
        char link[32];
        std::snprintf(link, sizeof link, "%u/exe", pid);
        char target[4096];
        // Kernel threads have no executable; other users' processes need CAP_SYS_PTRACE.
        const ssize_t length = ::readlinkat(procFd, link, target, sizeof target);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target || target[0] != '/')
            continue;
        const std::string_view path(target, static_cast<std::size_t>(length));
        if (!path.ends_with(" (deleted)"))
            paths.emplace_back(path);
    }
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
    return paths;
}

} // namespace tarvok::platform
