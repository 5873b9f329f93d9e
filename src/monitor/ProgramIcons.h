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
    explicit ProgramIcons(DesktopEntries entries);

    QVariant icon(const QString& key) override;
    QIcon programIcon(const QString& path);

private:
    QIcon make(const QString& key);

    DesktopEntries m_entries;
    QHash<QString, QIcon> m_cache;
};

} // namespace tarvok
