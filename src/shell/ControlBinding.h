#pragma once
// The running program as the control socket sees it: each command acts through the same menu
// entry or object a click would use, with its balloons and texts. Made by the Application once
// everything the commands act on is in place; it listens at once.

#include "control/ControlledProgram.h"

#include <QObject>

namespace tarvok {

class Application;
class ControlServer;
class Localiser;

class ControlBinding : public QObject, public ControlledProgram {
    Q_OBJECT
public:
    ControlBinding(Application& application, const QString& programFolder,
                   const Localiser& language, QObject* parent = nullptr);

    ControlServer* server() const { return m_server; }

    control::Status status() const override;
    bool passRunning() const override;
    bool paused() const override;
    bool unsavedChanges() const override;
    SecurityLevel setLevel(SecurityLevel level) override;
    bool setPaused(bool pause) override;
    Outcome reload() override;
    void raiseWindow() override;
    void exit(bool discardUnsaved) override;

private:
    Application& m_application;
    const Localiser& m_language;
    ControlServer* m_server = nullptr;
};

} // namespace tarvok
