#pragma once
// Which icon a program's desktop entry names. The *.desktop files of the XDG data folders are
// read once; each entry's Exec command is resolved to the executable it runs, so a process's
// image path finds its icon with one lookup.

#include <QHash>
#include <QString>
#include <QStringList>

namespace tarvok {

class DesktopEntries {
public:
    // Reads the applications folders under dataDirs (in order of precedence; an entry of an
    // earlier folder wins). By default $XDG_DATA_HOME and $XDG_DATA_DIRS.
    static DesktopEntries load(QStringList dataDirs = defaultDataDirs());
    static QStringList defaultDataDirs();

    // The Icon value (a theme name or an absolute file) of the entry that runs imagePath;
    // empty when no entry does. An entry whose Exec names only a command in $PATH matches by
    // the resolved path, or else by the executable's file name.
    QString iconFor(const QString& imagePath) const;

    int size() const { return static_cast<int>(m_byPath.size()); }

    // The executable an Exec value runs: its first word without quotes, "env" and its
    // assignments skipped; empty for a value that names none.
    static QString execProgram(const QString& exec);

private:
    void addFile(const QString& path);

    QHash<QString, QString> m_byPath; // canonical executable path -> icon
    QHash<QString, QString> m_byName; // executable file name -> icon
};

} // namespace tarvok
