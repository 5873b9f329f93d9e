#pragma once
// Starts a helper program with one end of a connected Unix stream socket as its descriptor 3,
// in a session of its own (a terminal's Ctrl+C reaches the window, not the helper, which then
// ends in order when the window says so).

#include <sys/types.h>

namespace tarvok::platform {

struct Spawned {
    pid_t pid = -1;
    int socket = -1; // our end, close-on-exec
    int error = 0;   // an errno value when the start failed
};

Spawned spawnWithSocket(const char* program);

// Waits up to timeoutMs for the child to end and reaps it; false when it still runs.
bool reapChild(pid_t pid, int timeoutMs);

} // namespace tarvok::platform
