#pragma once
// `tarvok --status` and its siblings: sends one command to the instance that runs from this
// program folder, prints its answer and ends. It never starts an instance and never opens a
// window, so it runs without a display.

#include <QString>

namespace tarvok {

// True when the command line asks a running instance for a command (see
// control::isControlArguments). Reads argv only, so main() can ask before any Qt object exists.
bool isControlCommand(int argc, char** argv);

// Runs the command and returns the process's exit code (see control::ExitCode).
int runControlClient(int argc, char** argv);

// A second start's request to the instance of programFolder to bring its window to the front.
// False when no instance took it.
bool askToShowWindow(const QString& programFolder);

} // namespace tarvok
