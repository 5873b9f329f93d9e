#pragma once
// Whole-file reads and writes, and file-system faults made by mounts (permissions do not stop
// root): a read-only folder and a tiny full disk. The mounts stay in the test's own mount
// namespace (Sandbox.h); without one, nothing is mounted and the test must skip.

#include "support/Sandbox.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace tarvok::test {

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// The permission bits of path (0644, 0700, ...); -1 when it cannot be reached.
inline int fileMode(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0
               ? static_cast<int>(status.st_mode & 07777)
               : -1;
}

class ScratchMount {
public:
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;
    ScratchMount(ScratchMount&& other) noexcept
        : m_native(other.m_native), m_mounted(std::exchange(other.m_mounted, false)),
          m_error(other.m_error) {}
    ScratchMount& operator=(ScratchMount&&) = delete;
    ~ScratchMount() { release(); }

    // Undoes the mount early, for a test that goes on without the fault.
    void release() {
        if (std::exchange(m_mounted, false))
            ::umount2(m_native.constData(), MNT_DETACH);
    }

    bool ok() const { return m_mounted; }
    const QString& error() const { return m_error; }

    // folder, an existing folder, becomes read-only.
    static ScratchMount readOnly(const QString& folder) {
        ScratchMount m(folder);
        const char* native = m.m_native.constData();
        if (m.mount(native, native, nullptr, MS_BIND, nullptr, "bind mount") &&
            !m.mount(nullptr, native, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr,
                     "read-only remount"))
            ::umount2(native, MNT_DETACH);
        return m;
    }

    // An empty tmpfs of the given size on folder; fill() then uses up its space.
    static ScratchMount smallDisk(const QString& folder, int kilobytes = 64) {
        ScratchMount m(folder);
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
        m.mount("tmpfs", m.m_native.constData(), "tmpfs", 0, options.constData(), "tmpfs mount");
        return m;
    }

    // Writes a filler file until the file system is full. Bounded by the disk's size.
    bool fill() {
        const QByteArray path = m_native + "/filler";
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        const QByteArray chunk(4096, 'x');
        bool full = false;
        for (int i = 0; i < 1 << 16 && !full; ++i)
            full = ::write(fd, chunk.constData(), chunk.size()) < 0 && errno == ENOSPC;
        // The last page may have room left for a few bytes.
        for (int i = 0; i < 4096 && full; ++i)
            if (::write(fd, "x", 1) < 0)
                break;
        ::close(fd);
        return full;
    }

private:
    explicit ScratchMount(const QString& folder) : m_native(QFile::encodeName(folder)) {}

    // One mount(2) call, in a private mount namespace only; m_mounted tells whether it held.
    bool mount(const char* source, const char* target, const char* type, unsigned long flags,
               const char* options, const char* what) {
        m_mounted = false;
        if (sandbox() == Sandbox::None)
            m_error = QStringLiteral("no private mount namespace (%1)").arg(sandboxError());
        else if (::mount(source, target, type, flags, options) != 0)
            m_error = QStringLiteral("%1 failed: %2").arg(what, std::strerror(errno));
        else
            m_mounted = true;
        return m_mounted;
    }

    QByteArray m_native;
    bool m_mounted = false;
    QString m_error;
};

} // namespace tarvok::test

// Skips the current test with the reason when the mount could not be made.
#define TARVOK_REQUIRE_MOUNT(mount)                                                                \
    do {                                                                                           \
        if (!(mount).ok())                                                                         \
            GTEST_SKIP() << "this test needs a mount in a private mount namespace: "               \
                         << qPrintable((mount).error());                                           \
    } while (false)
