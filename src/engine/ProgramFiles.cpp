#include "engine/ProgramFiles.h"

#include <QFileInfo>
#include <QSet>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvok {
namespace {

constexpr std::uint32_t FolderEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM |
                                       IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                       IN_MOVE_SELF | IN_ONLYDIR;

// The folder to watch for path's file: the path's own folder when it exists, else its nearest
// existing ancestor, where the next folder down will appear.
QString watchPoint(const QString& path) {
    QString folder = QFileInfo(path).path();
    while (!QFileInfo(folder).isDir() && folder != QLatin1String("/"))
        folder = QFileInfo(folder).path();
    return folder;
}

} // namespace

std::optional<ProgramIdentity> statProgram(const QString& path) {
    const QByteArray local = QFile::encodeName(path);
    struct stat info {};
    if (local.isEmpty() || ::stat(local.constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return ProgramIdentity{static_cast<std::uint64_t>(info.st_dev),
                           static_cast<std::uint64_t>(info.st_ino)};
}

ProgramFiles::ProgramFiles(QObject* parent) : QObject(parent) {
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleMs);
    connect(&m_settle, &QTimer::timeout, this, &ProgramFiles::recheck);
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, &ProgramFiles::readEvents);
    }
}

ProgramFiles::~ProgramFiles() {
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void ProgramFiles::setPaths(const QStringList& paths) {
    m_paths.clear();
    for (const QString& path : paths)
        m_paths.insert(path, std::nullopt);
    // Watched first, looked at after: a file that comes between the two is an event.
    updateWatches();
    for (auto it = m_paths.begin(); it != m_paths.end(); ++it)
        it.value() = statProgram(it.key());
    ++m_generation;
}

std::optional<ProgramIdentity> ProgramFiles::identity(const QString& path) const {
    const auto found = m_paths.constFind(path);
    return found != m_paths.constEnd() ? *found : statProgram(path);
}

void ProgramFiles::updateWatches() {
    if (m_fd < 0)
        return;
    QSet<QString> wanted;
    for (auto it = m_paths.constBegin(); it != m_paths.constEnd(); ++it) {
        wanted.insert(watchPoint(it.key()));
        // A link is followed at the file it leads to as well: an upgrade replaces that one.
        const QString target = QFileInfo(it.key()).canonicalFilePath();
        if (!target.isEmpty() && target != it.key())
            wanted.insert(QFileInfo(target).path());
    }
    for (auto it = m_watchOfFolder.begin(); it != m_watchOfFolder.end();) {
        if (wanted.contains(it.key())) {
            ++it;
            continue;
        }
        ::inotify_rm_watch(m_fd, it.value());
        it = m_watchOfFolder.erase(it);
    }
    for (const QString& folder : wanted) {
        if (m_watchOfFolder.contains(folder))
            continue;
        const int watch = ::inotify_add_watch(m_fd, QFile::encodeName(folder).constData(),
                                              FolderEvents);
        if (watch >= 0)
            m_watchOfFolder.insert(folder, watch);
    }
}

void ProgramFiles::readEvents() {
    // Drained whole; which event it was matters little, since one look at every path follows.
    alignas(inotify_event) char buffer[8192];
    bool any = false;
    for (int reads = 0; reads < 64; ++reads) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length <= 0)
            break;
        any = true;
    }
    if (any && !m_settle.isActive())
        m_settle.start();
}

void ProgramFiles::recheck() {
    // A folder that appeared or went away moves the watch points; watched before the look,
    // so that nothing falls between the two.
    updateWatches();
    bool differs = false;
    for (auto it = m_paths.begin(); it != m_paths.end(); ++it) {
        const std::optional<ProgramIdentity> now = statProgram(it.key());
        if (now != it.value()) {
            it.value() = now;
            differs = true;
        }
    }
    if (differs) {
        ++m_generation;
        emit changed();
    }
}

} // namespace tarvok
