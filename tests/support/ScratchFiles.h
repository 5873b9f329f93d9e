#pragma once
// Real files for tests: whole-file reads and writes, and file-system faults: a folder made
// read-only by a read-only bind mount, and a tiny tmpfs filled to the last byte. Permissions do not
// stop root, mounts do. Each test process runs in a mount namespace of its own (support/Sandbox.h),
// so nothing leaks out; without one, nothing is mounted and the test must skip.

#include "support/Sandbox.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

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

class ScratchMount {
public:
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;
    ScratchMount(ScratchMount&& other) noexcept
        : m_native(other.m_native), m_mounted(other.m_mounted), m_error(other.m_error) {
        other.m_mounted = false;
    }
    ScratchMount& operator=(ScratchMount&&) = delete;
    ~ScratchMount() { release(); }

    // Undoes the mount early, for a test that goes on without the fault.
    void release() {
        if (m_mounted)
            ::umount2(m_native.constData(), MNT_DETACH);
        m_mounted = false;
    }

    bool ok() const { return m_mounted; }
    const QString& error() const { return m_error; }

    // folder, an existing folder, becomes read-only.
    static ScratchMount readOnly(const QString& folder) {
        ScratchMount m(folder);
        if (!m.checkSandbox())
            return m;
        const char* native = m.m_native.constData();
        if (::mount(native, native, nullptr, MS_BIND, nullptr) != 0) {
            m.failed("bind mount");
        } else if (::mount(nullptr, native, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                   0) {
            m.failed("read-only remount");
            ::umount2(native, MNT_DETACH);
        } else {
            m.m_mounted = true;
        }
        return m;
    }

    // An empty tmpfs of the given size on folder; fill() then uses up its space.
    static ScratchMount smallDisk(const QString& folder, int kilobytes = 64) {
        ScratchMount m(folder);
        if (!m.checkSandbox())
            return m;
        const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k";
        if (::mount("tmpfs", m.m_native.constData(), "tmpfs", 0, options.constData()) != 0)
            m.failed("tmpfs mount");
        else
            m.m_mounted = true;
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

    bool checkSandbox() {
        if (sandbox() != Sandbox::None)
            return true;
        m_error = QStringLiteral("no private mount namespace (%1)").arg(sandboxError());
        return false;
    }
    void failed(const char* what) {
        m_error = QStringLiteral("%1 failed: %2")
                      .arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(errno)));
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
