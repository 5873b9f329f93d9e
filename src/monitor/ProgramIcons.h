#pragma once
// The pictures of the connection lists and the alert window: a program's icon from the desktop
// entry that runs it (else the theme's generic executable icon), the unknown-program picture
// for a row without a path, and the state marks of the per-connection list. Each picture is
// made once per key and kept.

#include "monitor/ConnectionListModel.h"
#include "monitor/DesktopEntries.h"

#include <QHash>
#include <QIcon>

namespace tarvok {

class ProgramIcons : public IconSource {
public:
    // An icon file named by a desktop entry is read only when it is a regular file of at
    // most this size, and decoded only up to MaxIconSide pixels a side.
    static constexpr qint64 MaxIconBytes = 1024 * 1024;
    static constexpr int MaxIconSide = 1024;

    explicit ProgramIcons(DesktopEntries entries);

    QVariant icon(const QString& key) override;
    QIcon programIcon(const QString& path);

    // The picture in the icon file at path, read within the limits above; null otherwise.
    static QIcon iconFile(const QString& path);

private:
    QIcon make(const QString& key);

    DesktopEntries m_entries;
    QHash<QString, QIcon> m_cache;
};

} // namespace tarvok
