#pragma once
// What the program needs to know about a running process: its short name and the path of its
// executable, read from /proc, and the means to end it. Every failure is an empty text or false.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tarvok::platform {

struct ProcessInfo {
    std::string name;      // /proc/<pid>/comm, without its line end
    std::string imagePath; // target of /proc/<pid>/exe, without the " (deleted)" of a
                           // replaced executable; empty when it cannot be read
};

// Reads both through one handle on the pid's folder, so that a pid reused in between cannot
// give the name of one process and the path of another. Reading another user's exe needs
// CAP_SYS_PTRACE; without it the path stays empty.
ProcessInfo readProcess(std::uint32_t pid);

// Sends SIGKILL. False for pid 0 (never the caller's own process group), for a process that
// has gone, and for another user's process without CAP_KILL. With expectedImage given, the
// signal goes only to a process that still runs that executable: a pid taken from a list
// built earlier may by now belong to another program. The process is held through a pidfd
// while it is checked, so it cannot be swapped between the check and the signal.
bool endProcess(std::uint32_t pid, const std::string& expectedImage = {});

// The executable paths of the processes running now that this user may look into, sorted and
// each once. A replaced executable (" (deleted)") is left out: its path no longer leads to
// the file the process runs. One readlink per process, at most maxProcesses of them.
std::vector<std::string> runningExecutables(std::size_t maxProcesses = 65536);

// A file by device and inode, as stat gives them.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

// The executable file (/proc/<pid>/exe, stat through the link) of the process that holds each
// of the wanted sockets, by socket inode, in one walk of /proc. A socket shared by several
// processes is credited to the lowest pid (/proc lists pids in ascending order). Sockets of
// processes this user may not look into are left out, as are those no process holds.
// The walk reads every descriptor link of every process: it takes milliseconds on a busy
// desktop, so it belongs on a worker thread.
std::unordered_map<std::uint32_t, FileIdentity>
socketExecutables(const std::unordered_set<std::uint32_t>& wanted);

} // namespace tarvok::platform
