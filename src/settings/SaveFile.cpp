#include "settings/SaveFile.h"

#include <QSaveFile>

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

} // namespace tarvok
