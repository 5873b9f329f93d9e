#include "control/SocketPlace.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarvok::control {
namespace {

// The longest path a socket address holds, without its closing zero.
constexpr qsizetype MaxPathBytes = sizeof(sockaddr_un::sun_path) - 1;

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why folder cannot hold the socket, or nothing when it can: it must be a real directory (not
// a link), owned by this user and closed to everyone else. With make, a missing folder is made
// 0700 whatever the umask.
QString folderFault(const QString& folder, bool make) {
    const QByteArray native = QFile::encodeName(folder);
    bool made = false;
    if (make) {
        made = ::mkdir(native.constData(), 0700) == 0;
        if (!made && errno != EEXIST)
            return systemError(errno);
    }
    // Opened without following a link, then checked through the descriptor, so that what is
    // checked is what is used.
    const Descriptor fd(
        ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == ELOOP || errno == ENOTDIR ? QStringLiteral("not a directory")
                                                  : systemError(errno);
    if (made && ::fchmod(fd.get(), 0700) != 0)
        return systemError(errno);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0)
        return systemError(errno);
    if (status.st_uid != ::geteuid())
        return QStringLiteral("owned by another user");
    if ((status.st_mode & 07777) != 0700)
        return QStringLiteral("open to others (mode %1, not 700)")
            .arg(status.st_mode & 07777, 0, 8);
    return {};
}

struct Place {
    QString folder;
    bool make;
};

// The folders in their order, each once.
QList<Place> places(const SocketFolders& folders, bool instance) {
    QList<Place> list;
    QStringList seen;
    const Place all[] = {{folders.runtime, false},
                         {folders.userRuntime, false},
                         {folders.privateFolder, instance}};
    for (const Place& place : all)
        if (!place.folder.isEmpty() && !seen.contains(place.folder)) {
            seen.append(place.folder);
            list.append(place);
        }
    return list;
}

// The socket's path in place, or nothing with *fault saying why it will not do.
QString pathIn(const Place& place, const QString& name, QString* fault) {
    const QString path = place.folder + QLatin1Char('/') + name;
    if (QFile::encodeName(path).size() > MaxPathBytes)
        *fault = QStringLiteral("the path is longer than a socket path can be");
    else
        *fault = folderFault(place.folder, place.make);
    return fault->isEmpty() ? path : QString();
}

} // namespace

SocketFolders SocketFolders::ofThisUser() {
    const QString uid = QString::number(::geteuid());
    return {qEnvironmentVariable("XDG_RUNTIME_DIR"), QStringLiteral("/run/user/") + uid,
            QStringLiteral("/tmp/tarvok-") + uid};
}

QString socketName(const QString& programFolder) {
    const QString canonical = QFileInfo(programFolder).canonicalFilePath();
    const QByteArray hash = QCryptographicHash::hash(
        (canonical.isEmpty() ? programFolder : canonical).toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("tarvok-") + QString::fromLatin1(hash.toHex().left(16)) +
           QStringLiteral(".socket");
}

QString listenPath(const QString& programFolder, const SocketFolders& folders, QString* failure) {
    const QString name = socketName(programFolder);
    QStringList faults;
    for (const Place& place : places(folders, true)) {
        QString fault;
        const QString path = pathIn(place, name, &fault);
        if (!path.isEmpty())
            return path;
        faults.append(place.folder + QStringLiteral(": ") + fault);
    }
    if (failure)
        *failure = faults.join(QStringLiteral("; "));
    return {};
}

QStringList clientPaths(const QString& programFolder, const SocketFolders& folders) {
    const QString name = socketName(programFolder);
    QStringList paths;
    for (const Place& place : places(folders, false)) {
        QString fault;
        if (const QString path = pathIn(place, name, &fault); !path.isEmpty())
            paths.append(path);
    }
    return paths;
}

} // namespace tarvok::control
