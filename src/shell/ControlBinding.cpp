#include "shell/ControlBinding.h"

#include "control/ControlServer.h"
#include "engine/EnforcementEngine.h"
#include "engine/SecurityLevels.h"
#include "policy/PolicyCommands.h"
#include "policy/PolicyFile.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "shell/UpdateCheck.h"

#include <QAction>
#include <QFile>

namespace tarvok {

ControlBinding::ControlBinding(Application& application, const QString& programFolder,
                               const Localiser& language, QObject* parent)
    : QObject(parent), m_application(application), m_language(language) {
    m_server = new ControlServer(*this, programFolder, this);
}

control::Status ControlBinding::status() const {
    Application& app = m_application;
    control::Status s;
    s.level = app.engine()->level();
    s.paused = app.levels()->paused();
    s.enforcement = control::enforcementInForce(*app.engine(), app.kernelTable(), m_language);
    s.policyFile = app.policy()->currentFilePath();
    s.unsavedChanges = app.policy()->SaveChanges();
    control::countRules(app.rules(), s);
    if (app.kernelTable() && s.level == SecurityLevel::Normal && !s.paused)
        s.programRulesCutOnly = app.kernelTable()->programRulesReason();
    s.blocked = app.engine()->cutCount();
    s.version = programVersionText();
    return s;
}

bool ControlBinding::passRunning() const {
    return m_application.engine()->passRunning();
}

bool ControlBinding::paused() const {
    return m_application.levels()->paused();
}

bool ControlBinding::unsavedChanges() const {
    return m_application.policy()->SaveChanges();
}

SecurityLevel ControlBinding::setLevel(SecurityLevel level) {
    SecurityLevels* levels = m_application.levels();
    // The Security menu's own command, with its balloon and texts.
    const int item = static_cast<int>(level);
    QAction* action = m_application.window()->action(QStringLiteral("mnuLevel%1").arg(item));
    if (action && action->isEnabled())
        action->trigger();
    else
        levels->clickLevel(item);
    return levels->level();
}

bool ControlBinding::setPaused(bool pause) {
    SecurityLevels* levels = m_application.levels();
    if (levels->paused() != pause) {
        if (QAction* action = m_application.window()->action(QStringLiteral("mnuPauseFirewall")))
            action->trigger();
        else
            levels->togglePause();
    }
    return levels->paused();
}

ControlledProgram::Outcome ControlBinding::reload() {
    PolicyCommands* policy = m_application.policy();
    const QString path = policy->currentFilePath();
    // Read and checked in one step, as File > Open does: a file that is no policy keeps the
    // rules in force.
    const PolicyRead read = policy->replaceRules(path);
    if (!read.ok())
        return {false, QStringLiteral("the policy %1 could not be read: %2")
                           .arg(path, policyReadFailure(read, nullptr))};
    return {true,
            QStringLiteral("Read %1 rules from %2").arg(m_application.rules().count()).arg(path)};
}

void ControlBinding::raiseWindow() {
    m_application.showWindow();
}

void ControlBinding::exit(bool discardUnsaved) {
    // Without unsaved changes, the shutdown keeps nothing back for the next start.
    if (discardUnsaved)
        m_application.policy()->discardChanges();
    QMetaObject::invokeMethod(&m_application, &Application::requestExit, Qt::QueuedConnection);
}

} // namespace tarvok
