#include "monitor/DesktopEntries.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace tarvok {

QStringList DesktopEntries::defaultDataDirs() {
    QStringList dirs;
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    dirs << (home.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : home);
    QString system = qEnvironmentVariable("XDG_DATA_DIRS");
    if (system.isEmpty())
        system = QStringLiteral("/usr/local/share:/usr/share");
    dirs << system.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return dirs;
}

DesktopEntries DesktopEntries::load(QStringList dataDirs) {
    DesktopEntries entries;
    for (const QString& dir : dataDirs) {
        QDirIterator files(dir + QStringLiteral("/applications"), {QStringLiteral("*.desktop")},
                           QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext())
            entries.addFile(files.next());
    }
    return entries;
}

QString DesktopEntries::execProgram(const QString& exec) {
    // Split into words, honouring double and single quotes.
    QStringList words;
    QString word;
    QChar quote;
    bool inWord = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else if (c == QLatin1Char('\\') && i + 1 < exec.size())
                word += exec[++i];
            else
                word += c;
        } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            quote = c;
            inWord = true;
        } else if (c.isSpace()) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    qsizetype first = 0;
    if (first < words.size() && QFileInfo(words[first]).fileName() == QLatin1String("env")) {
        ++first;
        while (first < words.size() &&
               (words[first].contains(QLatin1Char('=')) || words[first].startsWith(QLatin1Char('-'))))
            ++first;
    }
    if (first >= words.size() || words[first].startsWith(QLatin1Char('%')))
        return QString();
    return words[first];
}

void DesktopEntries::addFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QString exec, tryExec, icon;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inEntry)
            continue;
        if (line.startsWith(QLatin1String("Exec=")))
            exec = line.mid(5);
        else if (line.startsWith(QLatin1String("TryExec=")))
            tryExec = line.mid(8);
        else if (line.startsWith(QLatin1String("Icon=")))
            icon = line.mid(5);
    }
    if (icon.isEmpty())
        return;
    for (const QString& program : {execProgram(exec), tryExec}) {
        if (program.isEmpty())
            continue;
        const QString found = program.contains(QLatin1Char('/'))
                                  ? program
                                  : QStandardPaths::findExecutable(program);
        const QString canonical = found.isEmpty() ? QString() : QFileInfo(found).canonicalFilePath();
        if (!canonical.isEmpty() && !m_byPath.contains(canonical))
            m_byPath.insert(canonical, icon);
        const QString name = QFileInfo(program).fileName();
        if (!name.isEmpty() && !m_byName.contains(name))
            m_byName.insert(name, icon);
    }
}

QString DesktopEntries::iconFor(const QString& imagePath) const {
    if (imagePath.isEmpty())
        return QString();
    const auto byPath = m_byPath.constFind(imagePath);
    if (byPath != m_byPath.constEnd())
        return *byPath;
    const QString canonical = QFileInfo(imagePath).canonicalFilePath();
    if (!canonical.isEmpty() && canonical != imagePath) {
        const auto found = m_byPath.constFind(canonical);
        if (found != m_byPath.constEnd())
            return *found;
    }
    return m_byName.value(QFileInfo(imagePath).fileName());
}

} // namespace tarvok
