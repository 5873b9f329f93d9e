#pragma once
// The benchmarks that attach the program filter attach it to a cgroup v2 folder of this
// process's own, never to the root. One folder for the whole run, so that two such benchmarks
// in one process never move it out from under the other's filter.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mntent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvok::bench {

namespace detail {
inline std::string& cgroupRoot() {
    static std::string root;
    return root;
}
inline std::string& ownCgroupPath() {
    static std::string own;
    return own;
}
inline void leaveOwnCgroup() {
    if (FILE* procs = std::fopen((cgroupRoot() + "/cgroup.procs").c_str(), "we")) {
        std::fputs("0", procs);
        std::fclose(procs);
    }
    ::rmdir(ownCgroupPath().c_str());
}
} // namespace detail

// Joins the folder, made at the first call and left and removed at exit; empty when there is
// no cgroup v2 mount or it cannot be joined.
inline const std::string& ownCgroup() {
    std::string& own = detail::ownCgroupPath();
    if (!own.empty())
        return own;
    std::string& root = detail::cgroupRoot();
    if (FILE* mounts = ::setmntent("/proc/self/mounts", "re")) {
        while (const mntent* entry = ::getmntent(mounts))
            if (std::strcmp(entry->mnt_type, "cgroup2") == 0) {
                root = entry->mnt_dir;
                break;
            }
        ::endmntent(mounts);
    }
    const std::string path = root + "/tarvok-bench-" + std::to_string(::getpid());
    if (root.empty() || ::mkdir(path.c_str(), 0755) != 0)
        return own;
    FILE* procs = std::fopen((path + "/cgroup.procs").c_str(), "we");
    const bool joined = procs && std::fputs("0", procs) >= 0 && std::fflush(procs) == 0;
    if (procs)
        std::fclose(procs);
    if (!joined) {
        ::rmdir(path.c_str());
        return own;
    }
    own = path;
    std::atexit(detail::leaveOwnCgroup);
    return own;
}

} // namespace tarvok::bench
