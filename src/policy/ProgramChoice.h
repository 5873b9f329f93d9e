#pragma once
// What the rule editor finds out about the program a user names, before a rule holds it:
// whether the text can name a file at all, the real file behind links, whether that file is a
// script (whose process runs its interpreter, so the kernel sees the interpreter, never the
// script), and whether its path changes from run to run (a mounted AppImage, a Flatpak
// application), so that a rule for it would not match the next run. QtCore only.

#include <QString>

namespace tarvok {

// The checks of the program field, by the key of their message in section Add. An empty
// field is any program and passes.
enum class ProgramCheck { Ok = 0, NotAbsolute = 43, ControlCharacter = 44, TooLong = 45 };
ProgramCheck checkProgramPath(const QString& path);

// The real file behind path: every link resolved (the file a process started from it runs).
// A path that leads to no file stays as it is: a rule may name a program not installed yet.
QString realProgramFile(const QString& path);

// A script's first line: "#!/bin/sh -e" gives interpreter "/bin/sh". Only a regular file is
// read, at most ScriptPrefixBytes of it, opened without blocking (a FIFO is never waited on).
struct ScriptLine {
    bool script = false; // the file starts with "#!"
    QString interpreter; // as written on the line; empty when the line names none
    QString argument;    // the rest of the line, as the kernel passes it: one argument
};
constexpr qsizetype ScriptPrefixBytes = 256; // what the kernel itself reads of a "#!" line
ScriptLine readScriptLine(const QString& path);

// The real file of the program that runs a script: the line's interpreter, or for
// "/usr/bin/env NAME" the file NAME is found at on pathVariable (PATH's form). Empty when
// it cannot be found.
QString interpreterFile(const ScriptLine& line, const QString& pathVariable);

// A path that another run of the same program will not have: an AppImage is mounted under a
// new /tmp/.mount_* folder each run, and a Flatpak application's files lie under a folder
// named after its build, which an update replaces.
bool isUnstableProgramPath(const QString& path, const QString& homeFolder);

// All of the above for one typed or browsed path.
struct ProgramChoice {
    QString path;        // the real file (links resolved), or the path as given
    bool script = false; // the file is a script: a rule for it matches no process
    QString interpreter; // for a script: the real file of its interpreter, when found
    bool unstable = false;

    bool operator==(const ProgramChoice&) const = default;
};
ProgramChoice chooseProgram(const QString& path, const QString& pathVariable,
                            const QString& homeFolder);

} // namespace tarvok
