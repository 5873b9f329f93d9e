#pragma once
// Where the control socket lives. Its name is a hash of the program folder, since there is one
// instance per program folder, and keeps the path short whatever that folder is (a socket path
// holds at most 107 bytes). It goes into the first of these folders that is the user's own,
// 0700 and not a link: $XDG_RUNTIME_DIR, /run/user/<uid> (the same folder, for cron, su and
// ssh sessions that lack the variable), else a folder of Tarvok's own under /tmp, made 0700.
// A client looks in each of them, so it finds the instance whatever its own environment.

#include <QString>
#include <QStringList>

namespace tarvok::control {

struct SocketFolders {
    QString runtime;       // $XDG_RUNTIME_DIR; empty where it is not set
    QString userRuntime;   // /run/user/<uid>
    QString privateFolder; // /tmp/tarvok-<uid>, made by the instance where it is needed

    // This process's folders, for its effective user.
    static SocketFolders ofThisUser();
};

// "tarvok-<16 hex digits>.socket", from the canonical path of the program folder.
QString socketName(const QString& programFolder);

// Where the instance of programFolder listens; empty, with *failure saying why of each folder,
// when none will do.
QString listenPath(const QString& programFolder, const SocketFolders& folders,
                   QString* failure = nullptr);

// Where a client looks for that instance, first choice first: each folder that passes the
// same checks. Nothing is made.
QStringList clientPaths(const QString& programFolder, const SocketFolders& folders);

} // namespace tarvok::control
