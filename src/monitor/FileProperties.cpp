#include "monitor/FileProperties.h"

#include <QFileInfo>
#include <QProcess>

namespace tarvok {

FileFacts FileFacts::of(const QString& path) {
    FileFacts facts;
    facts.path = path;
    const QFileInfo info(path);
    facts.exists = info.exists();
    if (!facts.exists)
        return facts;
    facts.size = info.size();
    facts.owner = info.owner() + QLatin1Char(':') + info.group();
    const QFile::Permissions p = info.permissions();
    QString mode = info.isDir() ? QStringLiteral("d") : info.isSymLink() ? QStringLiteral("l") : QStringLiteral("-");
    const std::pair<QFile::Permission, char> bits[] = {
        {QFile::ReadOwner, 'r'}, {QFile::WriteOwner, 'w'}, {QFile::ExeOwner, 'x'},
        {QFile::ReadGroup, 'r'}, {QFile::WriteGroup, 'w'}, {QFile::ExeGroup, 'x'},
        {QFile::ReadOther, 'r'}, {QFile::WriteOther, 'w'}, {QFile::ExeOther, 'x'}};
    for (const auto& [bit, letter] : bits)
        mode += (p & bit) ? QLatin1Char(letter) : QLatin1Char('-');
    facts.permissions = mode;
    facts.modified = info.lastModified();
    return facts;
}

QString packageFromDpkgOutput(const QString& output, const QStringList& paths) {
    for (const QString& line : output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("diversion ")))
            continue;
        const qsizetype colon = line.indexOf(QStringLiteral(": "));
        if (colon > 0 && paths.contains(line.mid(colon + 2).trimmed()))
            return line.left(colon);
    }
    return QString();
}

QStringList packagePaths(const QString& path, const QString& root) {
    QStringList paths{path};
    for (const char* folder : {"bin", "sbin", "lib", "lib32", "lib64", "libx32"}) {
        const QString merged = QStringLiteral("/usr/%1/").arg(QLatin1String(folder));
        if (path.startsWith(merged) &&
            QFileInfo(root + QLatin1String(folder)).isSymLink())
            paths << QLatin1Char('/') + QLatin1String(folder) + path.mid(merged.size() - 1);
    }
    return paths;
}

PackageQuery::PackageQuery(QObject* parent) : QObject(parent) {}

// A dialog closed before dpkg-query answered ends the query instead of leaving it running.
PackageQuery::~PackageQuery() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->disconnect(this);
        m_process->kill();
        m_process->waitForFinished(1000);
    }
}

void PackageQuery::start(const QString& path) {
    m_paths = packagePaths(path);
    m_process = new QProcess(this);
    connect(m_process, &QProcess::finished, this, [this] {
        emit found(packageFromDpkgOutput(QString::fromLocal8Bit(m_process->readAllStandardOutput()), m_paths));
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            emit found(QString());
    });
    m_process->start(QStringLiteral("dpkg-query"), QStringList{QStringLiteral("-S")} + m_paths);
}

} // namespace tarvok
