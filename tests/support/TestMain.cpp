#include "support/Sandbox.h"

#include <QApplication>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mntent.h>
#include <net/if.h>
#include <string>
#include <sys/stat.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok::test {
namespace {

Sandbox g_sandbox = Sandbox::None;
char g_error[256] = "not tried";

void writeFile(const char* path, const char* text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(fd, text, std::strlen(text));
        ::close(fd);
    }
}

bool bringLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// Must run before any thread exists: a user namespace can only be entered single-threaded.
void enterSandbox() {
    const unsigned uid = ::getuid(), gid = ::getgid();
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0) {
        g_sandbox = Sandbox::Root;
    } else {
        const int rootErrno = errno;
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) {
            std::snprintf(g_error, sizeof g_error, "unshare: %s; with a user namespace: %s",
                          std::strerror(rootErrno), std::strerror(errno));
            return;
        }
        char map[64];
        writeFile("/proc/self/setgroups", "deny");
        std::snprintf(map, sizeof map, "0 %u 1", uid);
        writeFile("/proc/self/uid_map", map);
        std::snprintf(map, sizeof map, "0 %u 1", gid);
        writeFile("/proc/self/gid_map", map);
        g_sandbox = Sandbox::UserNamespace;
    }
    // Mounts made by a test stay inside its own mount namespace.
    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    if (!bringLoopbackUp()) {
        std::snprintf(g_error, sizeof g_error, "loopback could not be brought up: %s",
                      std::strerror(errno));
        g_sandbox = Sandbox::None;
        return;
    }
    std::snprintf(g_error, sizeof g_error, "none");
}

// The program filter acts on every process of the cgroup it is attached to: tests attach it to
// a cgroup of their own, which this process and its children join, never to the root.
std::string g_cgroupRoot, g_cgroup;

void leaveCgroup() {
    writeFile((g_cgroupRoot + "/cgroup.procs").c_str(), "0");
    ::rmdir(g_cgroup.c_str());
}

void joinOwnCgroup() {
    if (FILE* mounts = ::setmntent("/proc/self/mounts", "re")) {
        while (const mntent* entry = ::getmntent(mounts))
            if (std::strcmp(entry->mnt_type, "cgroup2") == 0) {
                g_cgroupRoot = entry->mnt_dir;
                break;
            }
        ::endmntent(mounts);
    }
    g_cgroup = g_cgroupRoot + "/tarvok-test-" + std::to_string(::getpid());
    const int fd = g_cgroupRoot.empty() || ::mkdir(g_cgroup.c_str(), 0755) != 0
                       ? -1
                       : ::open((g_cgroup + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
    const bool joined = fd >= 0 && ::write(fd, "0", 1) == 1;
    if (fd >= 0)
        ::close(fd);
    if (joined)
        std::atexit(leaveCgroup);
    // Where it cannot join one, the filter is given a folder that does not exist: it then
    // says why it is not in force, and never attaches to the root.
    ::setenv("TARVOK_FILTER_CGROUP",
             joined ? g_cgroup.c_str() : "/nonexistent/tarvok-test-cgroup", 1);
}

} // namespace

bool ownCgroup() {
    return std::getenv("TARVOK_FILTER_CGROUP") &&
           std::strncmp(std::getenv("TARVOK_FILTER_CGROUP"), "/nonexistent", 12) != 0;
}

Sandbox sandbox() {
    return g_sandbox;
}
const char* sandboxError() {
    return g_error;
}

} // namespace tarvok::test

int main(int argc, char** argv) {
    tarvok::test::enterSandbox();
    tarvok::test::joinOwnCgroup();
    // Every Tarvok the tests start asks this build's enforcer to act.
    ::setenv("TARVOK_ENFORCER", TARVOK_TEST_ENFORCER, 1);
    // Widgets are real but never need a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
