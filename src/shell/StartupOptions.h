#pragma once
// Decisions taken from the command line and the settings before any window exists.

#include <QString>
#include <QStringList>

namespace tarvok {

// True when any argument, in lower case, is "-minimized" or "/minimized".
inline bool minimizedSwitch(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        const QString word = argument.toLower();
        if (word == QLatin1String("-minimized") || word == QLatin1String("/minimized"))
            return true;
    }
    return false;
}

} // namespace tarvok
