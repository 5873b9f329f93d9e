#include "settings/SaveFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

namespace tarvok {

bool saveFileAtomically(const QString& path, const QByteArray& bytes, QString* errorText) {
    QSaveFile file(path);
    const auto fail = [&] {
        if (errorText)
            *errorText = file.errorString();
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    // QSaveFile makes a new file 0666 less the umask and gives a replacement the old file's
    // mode. A file system without modes (FAT) refuses; the file is saved all the same.
    (void)::fchmod(file.handle(), S_IRUSR | S_IWUSR);
    // QSaveFile::commit() loses the error of a buffered write that fails while it closes
    // (a full disk, for one) and then puts the empty file in place: flush first and check.
    if (file.write(bytes) != bytes.size() || !file.flush() || file.error() != QFileDevice::NoError)
        return fail();
    if (!file.commit()) {
        if (errorText)
            *errorText = file.errorString();
        return false;
    }
    return true;
}

bool makePrivateFolder(const QString& folder) {
    const QFileInfo info(folder);
    if (info.isDir())
        return true;
    const QString parent = info.absolutePath();
    return (QDir().mkpath(parent) && QDir().mkdir(folder, PrivateFolder)) ||
           QFileInfo(folder).isDir(); // made by another process meanwhile
}

void keepPrivate(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(native.constData(), &status) != 0 ||
        !(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) || (status.st_mode & 077) == 0)
        return;
    (void)::chmod(native.constData(), status.st_mode & 0700);
}

} // namespace tarvok
