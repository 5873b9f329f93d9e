#pragma once
// The security level (allow all, filter by the rules, block all) and the pause switch: what
// each enforcement pass does, which timers run, and what the window and the tray show for
// it. The window binds its menu checks, status-bar panels and tray icon to this state.

#include "engine/EnforcementEngine.h"

#include <QObject>
#include <QTimer>

namespace tarvok {

class SecurityLevels : public QObject {
    Q_OBJECT
public:
    // Pictures of the first status-bar panel (the level, or paused), of the second (whether
    // the policy is in force), and of the tray icon.
    enum class Picture { LevelAllow, LevelNormal, LevelBlock, Paused, PolicyOn, PolicyOff };
    // Activity: the tray icon is animated by Timer2 from the traffic counters.
    enum class TrayImage { Activity, Allow, Paused, Block };

    // countWatcher is Timer1_IMPROVED, trayActivity is Timer2.
    SecurityLevels(EnforcementEngine& engine, QTimer& countWatcher, QTimer& trayActivity,
                   QObject* parent = nullptr);

    void setNotifier(Notifier* notifier) { m_notifier = notifier; }
    void setLocaliser(const Localiser* localiser) { m_localiser = localiser; }

    SecurityLevel level() const { return m_engine.level(); }
    bool paused() const { return m_paused; }

    // A click on level item 0, 1 or 2; any other item, or any click while paused (the items
    // are disabled then), does nothing.
    void clickLevel(int item);
    void levelAllow();
    void levelNormal();
    void levelBlock();
    // Pauses a running firewall, resumes a paused one.
    void togglePause();

    // What the window shows; they change only together with changed().
    Picture levelPicture() const;
    Picture policyPicture() const;
    TrayImage trayImage() const;
    // While running on a system where cuts cannot work, the [Main] key of the reason that the
    // first panel, the tray's tooltip and a balloon give (121 no permission, 122 a kernel
    // without socket destroy); 0 when cuts work or the firewall is paused.
    int monitorOnlyReasonKey() const;
    // The first panel's text: paused, or active with the level in words ("Firewall: Active –
    // Normal"), or monitor only with the reason. A level word missing from an older language
    // file leaves the bare state.
    QString firstPanelText() const;
    // The level's word: "Normal", "Block all" or "Allow all".
    QString levelWord() const;
    // Level items and the four display options are usable only while running.
    bool controlsEnabled() const { return !m_paused; }

signals:
    void changed();

private:
    void applyLevel(SecurityLevel level, bool announce);
    // reasonKey, when given, adds its text as a second line of the message.
    void balloon(int messageKey, int titleKey, int icon, int reasonKey = 0);

    EnforcementEngine& m_engine;
    QTimer& m_countWatcher;
    QTimer& m_trayActivity;
    Notifier* m_notifier = nullptr;
    const Localiser* m_localiser = nullptr;
    bool m_paused = false;
};

} // namespace tarvok
