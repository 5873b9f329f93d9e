#pragma once
// The executable files that program rules name, by identity (device and inode), followed as
// they change. A rule names a path; what it stands for is the file there now: a package
// upgrade that writes a new file under a temporary name and renames it over the old one gives
// the path a new identity, and a process started from the old file keeps the old one.
//
// Each path is resolved with stat (links followed, regular files only) and followed with
// inotify on its folder and on the folder of the file a link leads to. A path whose folder
// does not exist yet is followed through its nearest existing ancestor, so that the folder's
// creation is seen too; no timer polls. After a burst of events every path is looked at again
// (a stat each), and changed() tells of any identity that moved.

#include "engine/ProgramIdentity.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <optional>

class QSocketNotifier;

namespace tarvok {

// The identity of the regular file at path now (links followed); nullopt for none.
std::optional<ProgramIdentity> statProgram(const QString& path);

class ProgramFiles : public QObject {
    Q_OBJECT
public:
    // How long after the first of a burst of folder events the paths are looked at again:
    // an upgrade renames many files at once, and one look serves them all.
    static constexpr int SettleMs = 50;

    explicit ProgramFiles(QObject* parent = nullptr);
    ~ProgramFiles() override;

    // The program paths the rule table names; duplicates are harmless. Resolves each now and
    // moves the generation.
    void setPaths(const QStringList& paths);
    // The followed paths, sorted.
    QStringList paths() const {
        QStringList keys = m_paths.keys();
        keys.sort();
        return keys;
    }
    // The identity of a followed path as last seen; for another path, a fresh stat. nullopt:
    // no regular file there now.
    std::optional<ProgramIdentity> identity(const QString& path) const;
    // Grows by one with every changed(): a reader can tell cheaply whether what it derived
    // from the identities is out of date.
    quint64 generation() const { return m_generation; }
    // Whether inotify could be used; without it identities are those of the last setPaths.
    bool following() const { return m_fd >= 0; }

signals:
    // A followed path's file appeared, was replaced (new inode) or went away.
    void changed();

private:
    void readEvents();
    void recheck();
    // Watches exactly the folders that the followed paths need now.
    void updateWatches();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QHash<QString, std::optional<ProgramIdentity>> m_paths;
    QHash<QString, int> m_watchOfFolder; // folder -> watch descriptor
    QTimer m_settle;
    quint64 m_generation = 0;
};

} // namespace tarvok
