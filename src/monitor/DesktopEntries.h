#pragma once
// Which icon a program's desktop entry names. The *.desktop files of the XDG data folders are
// read once; each entry's Exec command is resolved to the executable it runs, so a process's
// image path finds its icon with one lookup.
//
// Any program of the user can write these folders, so nothing in them may hold Tarvok up:
// only regular files are read (a FIFO or a device, also behind a link, is never waited on),
// entries and lines of absurd size are skipped, and the whole walk has a time limit.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace tarvok {

// The bytes of path when, after following links, it is a regular file of at most maxBytes;
// otherwise nothing, with the reason in why. Opening never waits (O_NONBLOCK) and the type is
// checked on the opened file, so a FIFO swapped in after a check is never read.
std::optional<QByteArray> readSmallRegularFile(const QString& path, qint64 maxBytes,
                                               QString* why = nullptr);

class DesktopEntries {
public:
    static constexpr qint64 MaxEntryBytes = 1024 * 1024;
    static constexpr qsizetype MaxLineLength = 16 * 1024;
    static constexpr int MaxLoadMs = 2000;

    // Reads the applications folders under dataDirs (in order of precedence; an entry of an
    // earlier folder wins). By default $XDG_DATA_HOME and $XDG_DATA_DIRS. Each entry skipped
    // for its size, and a walk cut short by the time limit, is one line on standard error.
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

    // Takes in the entry text of a file (for the fuzz target and load()).
    void addEntry(const QByteArray& text, const QString& path);

private:
    void addFile(const QString& path);

    QHash<QString, QString> m_byPath; // canonical executable path -> icon
    QHash<QString, QString> m_byName; // executable file name -> icon
};

} // namespace tarvok
