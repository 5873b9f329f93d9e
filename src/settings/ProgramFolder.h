#pragma once
// Where Tarvok keeps its files. A build-folder run keeps everything beside the binary. An
// installed Tarvok (binary in .../bin beside .../share/tarvok) keeps the user's files in
// $XDG_DATA_HOME/Tarvok and reads the language and help files from there when they are
// there, else from the installed share/tarvok.

#include <QString>
#include <QStringList>

namespace tarvok {

struct ProgramFolders {
    QString program;       // config.ini, the policies, History.tvh, Logs/
    QString installedData; // share/tarvok of an installed layout; empty for a build folder
    bool operator==(const ProgramFolders&) const = default;
};

// The decision itself. shareFolderExists: binaryFolder/../share/tarvok is a folder. An
// installed layout always uses the per-user folder, even where the binary's folder is
// writable (root and /usr/bin, a prefix in the home folder): the system's program folders
// are no place for one user's records. xdgDataHome counts only when absolute.
ProgramFolders chooseProgramFolders(const QString& binaryFolder, bool shareFolderExists,
                                    const QString& xdgDataHome, const QString& home);

// chooseProgramFolders() for this process: the file system, XDG_DATA_HOME and the home folder.
ProgramFolders programFoldersFor(const QString& binaryFolder);

// The per-user folder of an installed Tarvok: makes it 0700 when missing (0700 also when an
// older version made it readable to all), checks it can be written and keeps its records
// private (keepRecordsPrivate). Empty when it can be written; otherwise the message to show
// before ending.
QString prepareProgramFolder(const QString& folder);

// Takes the group's and others' access away from the records Tarvok keeps in folder, which
// older versions wrote 0644: config.ini, the policies, History.tvh, Logs/ and its files. The
// folder itself is left as it is: a build folder also holds the binary and the build's files,
// which its user may share.
void keepRecordsPrivate(const QString& folder);

// The installed data folder in use by this process; empty (the default) for a build folder.
void setInstalledDataFolder(const QString& folder);
QString installedDataFolder();

// programFolder + "/" + relative when that exists or no installed data folder holds it,
// else the installed data folder's file.
QString dataFilePath(const QString& programFolder, const QString& relative);

// Names of the files matching pattern in the folder relative, of the program folder and of
// the installed data folder, each name once, the program folder's first.
QStringList dataFileNames(const QString& programFolder, const QString& relative,
                          const QString& pattern);

} // namespace tarvok
