#include "shell/StatusDisplay.h"

#include "engine/KernelTable.h"
#include "engine/SecurityLevels.h"
#include "shell/MainWindow.h"
#include "shell/Resources.h"
#include "shell/TrayIcon.h"
#include "stats/TrafficDisplay.h"

#include <QAction>

namespace tarvok {

namespace {

Picture pictureOf(SecurityLevels::Picture picture) {
    switch (picture) {
    case SecurityLevels::Picture::LevelAllow: return Picture::LevelAllow;
    case SecurityLevels::Picture::LevelBlock: return Picture::LevelBlock;
    case SecurityLevels::Picture::Paused: return Picture::Paused;
    case SecurityLevels::Picture::PolicyOn: return Picture::PolicyOn;
    case SecurityLevels::Picture::PolicyOff: return Picture::PolicyOff;
    case SecurityLevels::Picture::LevelNormal: break;
    }
    return Picture::LevelNormal;
}

} // namespace

StatusDisplay::StatusDisplay(const Parts& parts, QObject* parent)
    : QObject(parent), m_parts(parts) {}

void StatusDisplay::showLevelState() {
    MainWindow& window = m_parts.window;
    SecurityLevels& levels = m_parts.levels;
    TrayIcon& tray = m_parts.tray;
    const SecurityLevel level = levels.level();
    const bool running = levels.controlsEnabled();
    for (int item = 0; item < 3; ++item) {
        if (QAction* action = window.action(QStringLiteral("mnuLevel%1").arg(item))) {
            action->setChecked(static_cast<int>(level) == item);
            action->setEnabled(running);
        }
    }
    for (const char* option :
         {"mnuDisplayApp", "mnuShowListeningPorts", "mnuDisplayUDP", "mnuDisplay0000127001"})
        if (QAction* action = window.action(QLatin1String(option)))
            action->setEnabled(running);
    if (QAction* pause = window.action(QStringLiteral("mnuPauseFirewall")))
        pause->setChecked(levels.paused());
    tray.setPauseChecked(levels.paused());

    // A firewall that cannot cut says so where the user looks, instead of "Active", and its
    // Block level's picture is given without its meaning, "Block All Traffic".
    const bool monitorOnly = levels.monitorOnlyReasonKey() != 0;
    if (monitorOnly && level == SecurityLevel::Block)
        window.setPanelPicture(1, pictureIcon(Picture::LevelBlock));
    else
        window.setPanelPicture(1, pictureOf(levels.levelPicture()));
    window.setPanelPicture(2, pictureOf(levels.policyPicture()));
    // A firewall that cannot cut, or whose table the kernel refused, says so where the user
    // looks, instead of "Active"; the long text is whole in the tooltips.
    const QString cutsOnly =
        !monitorOnly && !levels.paused() ? m_parts.kernel.cutsOnlyText() : QString();
    // Program rules the kernel cannot decide are cut after connect: said, never claimed.
    const QString programs = !monitorOnly && !levels.paused() && level == SecurityLevel::Normal
                                 ? m_parts.kernel.programRulesText()
                                 : QString();
    QString shown = cutsOnly.isEmpty() ? levels.firstPanelText() : cutsOnly;
    if (!programs.isEmpty())
        shown += QStringLiteral("; ") + programs;
    window.setPanelText(1, shown);
    const bool limited = monitorOnly || !cutsOnly.isEmpty() || !programs.isEmpty();
    m_levelToolTip = limited ? shown : QString();
    tray.setToolTip(limited ? QStringLiteral("Tarvok\n") + shown : QStringLiteral("Tarvok"));
    showPanelOneToolTip();
    switch (levels.trayImage()) {
    case SecurityLevels::TrayImage::Allow: tray.setIcon(pictureIcon(Picture::TrayAllow)); break;
    case SecurityLevels::TrayImage::Paused: tray.setIcon(pictureIcon(Picture::TrayPause)); break;
    case SecurityLevels::TrayImage::Block: tray.setIcon(pictureIcon(Picture::TrayBlock)); break;
    case SecurityLevels::TrayImage::Activity: tray.setIcon(pictureIcon(Picture::TrayIdle)); break;
    }
    m_activityShown = 0; // the picture was just set here: the next activity tick sets its own
}

void StatusDisplay::showActivity() {
    const int image = m_parts.traffic.activityTick();
    if (image == m_activityShown)
        return;
    m_activityShown = image;
    TrayIcon& tray = m_parts.tray;
    switch (image) {
    case TrafficDisplay::Both: tray.setIcon(pictureIcon(Picture::TrayBoth)); break;
    case TrafficDisplay::Sending: tray.setIcon(pictureIcon(Picture::TraySending)); break;
    case TrafficDisplay::Receiving: tray.setIcon(pictureIcon(Picture::TrayReceiving)); break;
    default: tray.setIcon(pictureIcon(Picture::TrayIdle)); break;
    }
}

void StatusDisplay::setLogFailure(const QString& line) {
    m_logFailure = line;
    showPanelOneToolTip();
}

void StatusDisplay::setNeverMatching(const QString& line) {
    m_neverMatching = line;
    showPanelOneToolTip();
}

void StatusDisplay::showPanelOneToolTip() {
    QStringList lines;
    for (const QString& line : {m_levelToolTip, m_logFailure, m_neverMatching})
        if (!line.isEmpty())
            lines.append(line);
    m_parts.window.panel(1)->setToolTip(lines.join(QLatin1Char('\n')));
}

} // namespace tarvok
