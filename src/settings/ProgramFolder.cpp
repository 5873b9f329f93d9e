#include "settings/ProgramFolder.h"

#include "settings/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tarvok {

namespace {
QString g_installedData;
} // namespace

ProgramFolders chooseProgramFolders(const QString& binaryFolder, bool shareFolderExists,
                                    const QString& xdgDataHome, const QString& home) {
    const QString binary = QDir::cleanPath(binaryFolder);
    const bool installed = shareFolderExists && QFileInfo(binary).fileName() == "bin";
    if (!installed)
        return {binary, {}};
    const QString dataHome = QDir::isAbsolutePath(xdgDataHome)
                                 ? xdgDataHome
                                 : home + QStringLiteral("/.local/share");
    return {QDir::cleanPath(dataHome + QStringLiteral("/Tarvok")),
            QDir::cleanPath(binary + QStringLiteral("/../share/tarvok"))};
}

ProgramFolders programFoldersFor(const QString& binaryFolder) {
    return chooseProgramFolders(
        binaryFolder, QFileInfo(binaryFolder + QStringLiteral("/../share/tarvok")).isDir(),
        qEnvironmentVariable("XDG_DATA_HOME"), QDir::homePath());
}

QString prepareProgramFolder(const QString& folder) {
    const QByteArray path = QFile::encodeName(folder);
    QString reason;
    if (!makePrivateFolder(folder)) {
        reason = QStringLiteral("it cannot be made");
    } else if (::access(path.constData(), W_OK | X_OK) != 0) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
    } else {
        keepPrivate(folder);
        keepRecordsPrivate(folder);
        return {};
    }
    return QStringLiteral("Tarvok cannot start: its program folder %1 cannot be made or "
                          "written (%2). Tarvok keeps its settings, policies and records "
                          "there.")
        .arg(folder, reason);
}

void keepRecordsPrivate(const QString& folder) {
    const QDir programFolder(folder);
    const QStringList records = {QStringLiteral("config.ini"), QStringLiteral("History.tvh"),
                                 QStringLiteral("*.rlsp")};
    for (const QString& name : programFolder.entryList(records, QDir::Files | QDir::Hidden))
        keepPrivate(programFolder.filePath(name));
    const QDir logs(programFolder.filePath(QStringLiteral("Logs")));
    if (!logs.exists())
        return;
    keepPrivate(logs.path());
    for (const QString& name : logs.entryList(QDir::Files | QDir::Hidden))
        keepPrivate(logs.filePath(name));
}

void setInstalledDataFolder(const QString& folder) { g_installedData = folder; }

QString installedDataFolder() { return g_installedData; }

QString dataFilePath(const QString& programFolder, const QString& relative) {
    const QString own = programFolder + QLatin1Char('/') + relative;
    if (g_installedData.isEmpty() || QFileInfo::exists(own))
        return own;
    const QString installed = g_installedData + QLatin1Char('/') + relative;
    return QFileInfo::exists(installed) ? installed : own;
}

QStringList dataFileNames(const QString& programFolder, const QString& relative,
                          const QString& pattern) {
    QStringList names;
    for (const QString& base : {programFolder, g_installedData}) {
        if (base.isEmpty())
            continue;
        const QDir folder(base + QLatin1Char('/') + relative);
        for (const QString& name : folder.entryList({pattern}, QDir::Files, QDir::Unsorted))
            if (!names.contains(name))
                names.append(name);
    }
    return names;
}

} // namespace tarvok
