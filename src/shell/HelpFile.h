#pragma once
// Which help file the Help command opens: the Japanese one only for the language named
// exactly "Japanese" (a differently cased name gets the English file), from the program
// folder or else the installed data folder.

#include "settings/ProgramFolder.h"

#include <QString>

namespace tarvok {

inline QString helpFilePath(const QString& programFolder, const QString& language) {
    const bool japanese = language == QLatin1String("Japanese");
    return dataFilePath(programFolder,
                        japanese ? QStringLiteral("tarvok_jp.qch") : QStringLiteral("tarvok.qch"));
}

} // namespace tarvok
