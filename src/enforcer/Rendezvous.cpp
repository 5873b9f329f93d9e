#include "enforcer/Rendezvous.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarvok::enforcer {
namespace {

bool privateFolder(const std::string& path, unsigned uid) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
           (info.st_mode & 077) == 0;
}

} // namespace

std::string rendezvousFolder(unsigned uid, bool create) {
    const std::string runtime = "/run/user/" + std::to_string(uid);
    if (privateFolder(runtime, uid))
        return runtime;
    const std::string fallback = "/tmp/tarvok-" + std::to_string(uid);
    if (create && ::mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return privateFolder(fallback, uid) ? fallback : std::string();
}

std::string rendezvousPath(unsigned uid, std::uint64_t instance, bool create) {
    const std::string folder = rendezvousFolder(uid, create);
    if (folder.empty())
        return {};
    char name[48];
    std::snprintf(name, sizeof name, "/tarvok-enforcer-%016llx",
                  static_cast<unsigned long long>(instance));
    return folder + name;
}

int connectRendezvous(unsigned uid, std::uint64_t instance) {
    const std::string path = rendezvousPath(uid, instance, false);
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace tarvok::enforcer
