#pragma once
// Replaces a whole file in one step: the new text goes to a temporary file beside it, which
// takes the file's place only when everything was written. On failure the file on disk is
// left as it was and the reason is given.

#include <QByteArray>
#include <QString>

namespace tarvok {

bool saveFileAtomically(const QString& path, const QByteArray& bytes, QString* errorText = nullptr);

} // namespace tarvok
