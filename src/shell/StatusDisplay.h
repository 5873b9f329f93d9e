#pragma once
// What the window and the tray show of the firewall's state: the level menu's checks, the
// first two status-bar panels with their pictures, panel 1's tooltip, and the tray's icon and
// tooltip, which shows the traffic between changes of the level. Application makes one once
// the levels, the kernel table and the tray exist, and tells it of every change.

#include <QObject>
#include <QString>

namespace tarvok {

class KernelTable;
class MainWindow;
class SecurityLevels;
class TrafficDisplay;
class TrayIcon;

class StatusDisplay : public QObject {
    Q_OBJECT
public:
    struct Parts {
        MainWindow& window;
        TrayIcon& tray;
        SecurityLevels& levels;
        KernelTable& kernel;
        TrafficDisplay& traffic;
    };
    explicit StatusDisplay(const Parts& parts, QObject* parent = nullptr);

    // The level, the pause, whether the firewall can cut and whether the kernel took its
    // table, everywhere they show.
    void showLevelState();
    // Timer2: the tray's picture of the traffic, set only when it changes.
    void showActivity();

    // Lines of panel 1's tooltip besides the level's: an event log that cannot be written
    // and the rules that never match. Empty removes the line.
    void setLogFailure(const QString& line);
    void setNeverMatching(const QString& line);

private:
    void showPanelOneToolTip();

    Parts m_parts;
    QString m_levelToolTip; // why the firewall only monitors or only cuts, when it does
    QString m_logFailure;
    QString m_neverMatching;
    int m_activityShown = 0; // the tray's activity picture now shown; 0 when another shows
};

} // namespace tarvok
