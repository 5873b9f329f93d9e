#pragma once
// Which help file the Help command opens: the Japanese one only for the language named
// exactly "Japanese" (a differently cased name gets the English file).

#include <QString>

namespace tarvok {

inline QString helpFilePath(const QString& programFolder, const QString& language) {
    const bool japanese = language == QLatin1String("Japanese");
    return programFolder +
           (japanese ? QLatin1String("/tarvok_jp.qch") : QLatin1String("/tarvok.qch"));
}

} // namespace tarvok
