#pragma once
// Start at login: the desktop's autostart entry $XDG_CONFIG_HOME/autostart/Tarvok.desktop
// (~/.config/autostart when XDG_CONFIG_HOME is unset or not absolute). The entry is Tarvok's
// when its Exec is the program's path; it is written and removed at once, not at shutdown.

#include <QString>

namespace tarvok::autostart {

// Where the entry lives.
QString entryPath();
// The entry's text for the program at programPath.
QByteArray entryText(const QString& programPath);
// Whether the entry exists and starts the program at programPath.
bool isEnabled(const QString& programPath);
// Writes the entry (creating the autostart folder); false with the reason when it failed.
bool enable(const QString& programPath, QString* errorText = nullptr);
// Removes the entry; false with the reason when it exists and could not be removed.
bool disable(QString* errorText = nullptr);

} // namespace tarvok::autostart
