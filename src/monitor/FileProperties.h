#pragma once
// The facts the file-properties dialog shows about a program's file, and the package that
// installed it as dpkg-query -S reports it. The query runs as a separate process, so the
// caller is told later and never waits.

#include <QDateTime>
#include <QObject>
#include <QString>

class QProcess;

namespace tarvok {

struct FileFacts {
    QString path;
    bool exists = false;
    qint64 size = 0;
    QString owner;       // user:group
    QString permissions; // as ls shows them, e.g. -rwxr-xr-x
    QDateTime modified;

    static FileFacts of(const QString& path);
};

// The package named in dpkg-query -S output for one of paths ("pkg1, pkg2: /path" lines,
// possibly with diversion lines); empty when no line names exactly one of them.
QString packageFromDpkgOutput(const QString& output, const QStringList& paths);

// path and the names the package database may know it by: on a system whose /bin, /sbin and
// /lib are links into /usr, a program runs as /usr/bin/x while its package lists /bin/x.
QStringList packagePaths(const QString& path, const QString& root = QStringLiteral("/"));

class PackageQuery : public QObject {
    Q_OBJECT
public:
    explicit PackageQuery(QObject* parent = nullptr);
    ~PackageQuery() override;
    // Starts dpkg-query -S path; found() follows, with an empty name when no package owns it
    // or dpkg-query is missing.
    void start(const QString& path);

signals:
    void found(const QString& package);

private:
    QProcess* m_process = nullptr;
    QStringList m_paths;
};

} // namespace tarvok
