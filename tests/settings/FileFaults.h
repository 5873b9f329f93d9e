#pragma once
// Real file-system faults for tests: a folder made read-only with a bind mount, and a full
// disk made with a small tmpfs. Each test process runs in a mount namespace of its own with
// "/" private, so these mounts never reach the host.

#include "support/Sandbox.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <ostream>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace tarvok::test {

// A mount on a folder, undone when the object goes away.
class ScopedMount {
public:
    ScopedMount() = default;
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    ~ScopedMount() {
        if (!m_target.isEmpty())
            ::umount2(m_target.constData(), MNT_DETACH);
    }

    // Makes folder read-only in place; its files stay readable.
    bool bindReadOnly(const QString& folder) {
        const QByteArray path = QFile::encodeName(folder);
        if (!allowed() || ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0)
            return fail("bind mount");
        m_target = path;
        if (::mount(nullptr, path.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return fail("read-only remount");
        return true;
    }

    // Mounts an empty tmpfs of the given size on folder.
    bool tmpfs(const QString& folder, int kibibytes) {
        const QByteArray path = QFile::encodeName(folder);
        const QByteArray options = "size=" + QByteArray::number(kibibytes) + "k";
        if (!allowed() || ::mount("tmpfs", path.constData(), "tmpfs", 0, options.constData()) != 0)
            return fail("tmpfs mount");
        m_target = path;
        return true;
    }

    QString error() const { return m_error; }

private:
    bool allowed() {
        // Without a private mount namespace a mount would change the host: never try then.
        if (sandbox() == Sandbox::None) {
            m_error = QStringLiteral("no private mount namespace (%1)").arg(QString::fromLocal8Bit(sandboxError()));
            return false;
        }
        return true;
    }
    bool fail(const char* what) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("%1 failed: %2").arg(QLatin1String(what),
                                                          QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }

    QByteArray m_target;
    QString m_error;
};

// Fills the file system that holds folder until a write fails for lack of space. Returns
// true when the disk is full.
inline bool fillDisk(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder + QStringLiteral("/filler"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    char block[4096];
    std::memset(block, 'x', sizeof block);
    bool full = false;
    // A tmpfs of a few dozen KiB fills within this many blocks; the bound keeps the loop finite.
    for (int i = 0; i < 4096 && !full; ++i)
        full = ::write(fd, block, sizeof block) < 0 && errno == ENOSPC;
    for (int i = 0; i < 64 && !full; ++i) // fill the last partial block
        full = ::write(fd, block, 1) < 0 && errno == ENOSPC;
    ::close(fd);
    return full;
}

#define TARVOK_SKIP_UNLESS(ok, mount)                                                   \
    do {                                                                                \
        if (!(ok))                                                                      \
            GTEST_SKIP() << "needs CAP_SYS_ADMIN in a private mount namespace: "        \
                         << (mount).error().toStdString();                              \
    } while (false)

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace tarvok::test
