#pragma once
// What the control socket asks of the running program. The shell implements it over its
// windows and menus, so that a command acts as the same click would; the control folder
// itself knows nothing of them.

#include "control/ControlProtocol.h"

#include <QString>

namespace tarvok {

class ControlledProgram {
public:
    // A reload done, with what to tell the client, or refused, with the reason.
    struct Outcome {
        bool done = true;
        QString text;
    };

    virtual ~ControlledProgram() = default;

    // What `--status` reports now.
    virtual control::Status status() const = 0;
    // True while an enforcement pass runs: a change then waits for its end, since a pass is
    // never re-entered from a client's request.
    virtual bool passRunning() const = 0;
    virtual bool paused() const = 0;
    virtual bool unsavedChanges() const = 0;

    // As the Security menu, Pause Firewall and File > Open of the current file do; each
    // returns what is in force afterwards.
    virtual SecurityLevel setLevel(SecurityLevel level) = 0;
    virtual bool setPaused(bool pause) = 0;
    virtual Outcome reload() = 0;
    // Brings the main window to the front, out of the tray or the task bar.
    virtual void raiseWindow() = 0;
    // The orderly end that nobody is asked about, once back in the event loop. With
    // discardUnsaved, unsaved rules are dropped rather than kept for the next start.
    virtual void exit(bool discardUnsaved) = 0;
};

} // namespace tarvok
