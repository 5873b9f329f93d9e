#include "shell/TrayIcon.h"

namespace tarvok {

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {
    m_icon.setObjectName(QStringLiteral("frmSysTray"));
    m_menu.setObjectName(QStringLiteral("mnuPopup"));
    m_open = m_menu.addAction(QStringLiteral("Open"));
    m_pause = m_menu.addAction(QStringLiteral("Pause Firewall"));
    m_menu.addSeparator();
    m_about = m_menu.addAction(QStringLiteral("About..."));
    m_exit = m_menu.addAction(QStringLiteral("Exit"));
    m_open->setObjectName(QStringLiteral("mnuSysTray0"));
    m_pause->setObjectName(QStringLiteral("mnuSysTray1"));
    m_about->setObjectName(QStringLiteral("mnuSysTray3"));
    m_exit->setObjectName(QStringLiteral("mnuSysTray4"));
    m_pause->setCheckable(true);
    m_menu.setDefaultAction(m_open);
    m_icon.setContextMenu(&m_menu);
    m_icon.setToolTip(QStringLiteral("Tarvok"));

    connect(m_open, &QAction::triggered, this, &TrayIcon::openRequested);
    // The check mark follows the firewall's state, which the pause command sets.
    connect(m_pause, &QAction::triggered, this, [this] {
        m_pause->setChecked(!m_pause->isChecked());
        emit pauseRequested();
    });
    connect(m_about, &QAction::triggered, this, &TrayIcon::aboutRequested);
    connect(m_exit, &QAction::triggered, this, &TrayIcon::exitRequested);
    connect(&m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick ||
                    reason == QSystemTrayIcon::Trigger)
                    emit openRequested();
            });
}

void TrayIcon::setCaptions(const QString& open, const QString& pause, const QString& about,
                           const QString& exit) {
    m_open->setText(open);
    m_pause->setText(pause);
    m_about->setText(about);
    m_exit->setText(exit);
}

void TrayIcon::setToolTip(const QString& text) { m_icon.setToolTip(text.left(MaxToolTip)); }

void TrayIcon::setIcon(const QIcon& icon) { m_icon.setIcon(icon); }

// Shown even while the desktop has no notification area: Qt adds a visible icon to one
// that appears later.
void TrayIcon::show() { m_icon.show(); }

std::function<bool()>& TrayIcon::availability() {
    static std::function<bool()> probe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return probe;
}

void TrayIcon::showBalloon(const QString& message, const QString& title, int iconType,
                           int timeoutMs) {
    const QString text = message.left(MaxBalloonText);
    const QString heading = title.left(MaxBalloonTitle);
    emit balloonRequested(text, heading, iconType, timeoutMs);
    if (!m_icon.isVisible() || !QSystemTrayIcon::supportsMessages())
        return;
    QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::Information;
    if (iconType == Notifier::Warning)
        icon = QSystemTrayIcon::Warning;
    else if (iconType == Notifier::Critical)
        icon = QSystemTrayIcon::Critical;
    m_icon.showMessage(heading, text, icon, timeoutMs);
}

} // namespace tarvok
