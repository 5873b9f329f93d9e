#include "monitor/DesktopEntries.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvok {

std::optional<QByteArray> readSmallRegularFile(const QString& path, qint64 maxBytes, QString* why) {
    const auto fail = [why](const QString& reason) -> std::optional<QByteArray> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info {};
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        bytes = fail(QStringLiteral("not a regular file"));
    } else if (info.st_size > maxBytes) {
        bytes = fail(QStringLiteral("larger than %1 bytes").arg(maxBytes));
    } else {
        // The file may grow between fstat and the read: one byte more than allowed tells.
        QByteArray read(maxBytes + 1, Qt::Uninitialized);
        qsizetype total = 0;
        while (total < read.size()) {
            const ssize_t n = ::read(fd, read.data() + total, size_t(read.size() - total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            total += n;
        }
        read.truncate(total);
        bytes = total > maxBytes ? fail(QStringLiteral("larger than %1 bytes").arg(maxBytes))
                                 : std::optional<QByteArray>(std::move(read));
    }
    ::close(fd);
    return bytes;
}

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
    // Thousands of entries take milliseconds; a folder filled to hold start-up up is cut short.
    const QDeadlineTimer deadline(MaxLoadMs);
    for (const QString& dir : dataDirs) {
        QDirIterator files(dir + QStringLiteral("/applications"), {QStringLiteral("*.desktop")},
                           QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            if (deadline.hasExpired()) {
                qWarning("Desktop entries: reading them took over %d ms; the rest are skipped",
                         MaxLoadMs);
                return entries;
            }
            entries.addFile(files.next());
        }
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
    QString why;
    const std::optional<QByteArray> text = readSmallRegularFile(path, MaxEntryBytes, &why);
    if (text)
        addEntry(*text, path);
    else if (QFileInfo::exists(path)) // a dangling link or a vanished file is no news
        qWarning("Desktop entry %s skipped: %s", qPrintable(path), qPrintable(why));
}

void DesktopEntries::addEntry(const QByteArray& text, const QString& path) {
    QString exec, tryExec, icon;
    bool inEntry = false;
    bool longLine = false;
    for (qsizetype start = 0; start < text.size();) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArrayView bytes(text.constData() + start, end - start);
        start = end + 1;
        if (bytes.size() > MaxLineLength) {
            longLine = true;
            continue;
        }
        const QString line = QString::fromUtf8(bytes).trimmed();
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
    if (longLine)
        qWarning("Desktop entry %s: lines longer than %lld bytes skipped", qPrintable(path),
                 static_cast<long long>(MaxLineLength));
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
