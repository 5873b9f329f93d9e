#pragma once
// A binary with file capabilities runs in the kernel's secure-execution mode (AT_SECURE). The
// dynamic loader then ignores LD_* on its own, but Qt and the libraries its plugins pull in
// still read paths and plugin names from the environment and the command line. Before Qt
// starts, main() removes every such way to make the capabilities run a user's own code.

namespace tarvok::platform {

// True when the kernel started this process in secure-execution mode.
bool secureExecution();

// Whether the variable must go in secure-execution mode: every QT_*, QML*, QV4_* variable
// except a few that only scale or select among the system's own platform plugins, and the
// module and driver paths of GTK, GIO, GDK-Pixbuf, libproxy, Mesa and libglvnd.
bool unsafeVariable(const char* name);

// Clears every capability the process holds (effective, permitted, inheritable and ambient);
// true when none is left. Call before any other thread exists: the sets are per thread.
bool dropAllCapabilities();

// Removes the unsafe variables from the environment.
void dropUnsafeEnvironment();

// Removes -platformpluginpath and -plugin (with their values, in either "-x v", "-x=v" or
// "--x" form) from argv; returns the new argc. argv[argc] stays a null pointer.
int dropUnsafeArguments(int argc, char** argv);

} // namespace tarvok::platform
