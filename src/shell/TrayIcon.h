#pragma once
// The icon in the notification area: tooltip, balloons and the five-entry menu (open, pause,
// about, exit). Where the desktop has no notification area the program runs on without it,
// balloons are dropped, and the icon appears once one does.

#include "engine/EngineServices.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>

namespace tarvok {

class TrayIcon : public QObject, public Notifier {
    Q_OBJECT
public:
    // The longest balloon text and title, and the longest tooltip, the icon carries.
    static constexpr int MaxBalloonText = 255;
    static constexpr int MaxBalloonTitle = 63;
    static constexpr int MaxToolTip = 127;

    explicit TrayIcon(QObject* parent = nullptr);

    // Captions of the menu entries: open, pause, about, exit.
    void setCaptions(const QString& open, const QString& pause, const QString& about,
                     const QString& exit);
    void setToolTip(const QString& text);
    QString toolTip() const { return m_icon.toolTip(); }
    void setIcon(const QIcon& icon);
    void setPauseChecked(bool checked) { m_pause->setChecked(checked); }
    void show();
    void hide() { m_icon.hide(); }
    // Whether the desktop has a notification area now.
    bool available() const { return availability()(); }
    // The question available() asks; tests replace it, since no desktop runs here.
    static std::function<bool()>& availability();

    void showBalloon(const QString& message, const QString& title, int iconType,
                     int timeoutMs) override;

    QMenu* menu() { return &m_menu; }
    QSystemTrayIcon* icon() { return &m_icon; }

signals:
    void openRequested();
    void pauseRequested();
    void aboutRequested();
    void exitRequested();
    // Every balloon asked for, shown or not (a desktop without a tray shows none).
    void balloonRequested(const QString& message, const QString& title, int iconType,
                          int timeoutMs);

private:
    QSystemTrayIcon m_icon;
    QMenu m_menu;
    QAction* m_open;
    QAction* m_pause;
    QAction* m_about;
    QAction* m_exit;
};

} // namespace tarvok
