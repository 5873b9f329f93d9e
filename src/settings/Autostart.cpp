#include "settings/Autostart.h"

#include "settings/SaveFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace tarvok::autostart {

namespace {

// The Exec value of a desktop entry: the path as one quoted argument. Inside the quotes " ` $
// and the backslash take a backslash before them, and since the value's own string escapes
// are undone first, each of those backslashes is written doubled. A percent sign is written
// "%%" so that it is not read as a field code.
QString quotedExec(const QString& path) {
    QString quoted;
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$')
            quoted += QLatin1String("\\\\");
        else if (c == u'\\')
            quoted += QLatin1String("\\\\\\");
        else if (c == u'%')
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QString entryPath() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart/Tarvok.desktop");
}

QByteArray entryText(const QString& programPath) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Tarvok\n"
                          "Comment=Desktop firewall and connection monitor\n"
                          "Exec=%1\n"
                          "Icon=tarvok\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(quotedExec(programPath))
        .toUtf8();
}

bool isEnabled(const QString& programPath) {
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray wanted = "Exec=" + quotedExec(programPath).toUtf8();
    for (QByteArray line : file.readAll().split('\n')) {
        if (line.trimmed() == wanted)
            return true;
    }
    return false;
}

bool enable(const QString& programPath, QString* errorText) {
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        if (errorText)
            *errorText = QStringLiteral("the folder %1 could not be made")
                             .arg(QFileInfo(path).absolutePath());
        return false;
    }
    return saveFileAtomically(path, entryText(programPath), errorText);
}

bool disable(QString* errorText) {
    QFile file(entryPath());
    if (!file.exists() || file.remove())
        return true;
    if (errorText)
        *errorText = file.errorString();
    return false;
}

} // namespace tarvok::autostart
