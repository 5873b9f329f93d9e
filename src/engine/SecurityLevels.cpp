#include "engine/SecurityLevels.h"

#include "engine/TextKeys.h"

namespace tarvok {

namespace keys = language::level;

SecurityLevels::SecurityLevels(EnforcementEngine& engine, QTimer& countWatcher,
                               QTimer& trayActivity, QObject* parent)
    : QObject(parent), m_engine(engine), m_countWatcher(countWatcher),
      m_trayActivity(trayActivity) {}

void SecurityLevels::balloon(int messageKey, int titleKey, int icon, int reasonKey) {
    if (!m_notifier)
        return;
    const auto text = [this](int key) {
        return m_localiser ? m_localiser->text(QStringLiteral("Main"), key) : QString();
    };
    QString message = text(messageKey);
    if (reasonKey)
        message += QLatin1Char('\n') + text(reasonKey);
    m_notifier->showBalloon(message, text(titleKey), icon, Notifier::BalloonTimeoutMs);
}

void SecurityLevels::clickLevel(int item) {
    if (m_paused)
        return;
    switch (item) {
    case 0: levelAllow(); break;
    case 1: levelNormal(); break;
    case 2: levelBlock(); break;
    default: break;
    }
}

void SecurityLevels::levelAllow() { applyLevel(SecurityLevel::Allow, true); }
void SecurityLevels::levelNormal() { applyLevel(SecurityLevel::Normal, true); }
void SecurityLevels::levelBlock() { applyLevel(SecurityLevel::Block, true); }

void SecurityLevels::applyLevel(SecurityLevel level, bool announce) {
    m_engine.setLevel(level);
    // Only the filtering level animates the tray icon from the traffic counters.
    if (level == SecurityLevel::Normal)
        m_trayActivity.start();
    else
        m_trayActivity.stop();
    if (announce) {
        switch (level) {
        case SecurityLevel::Allow:
            balloon(keys::AllowNotice, keys::AllowTitle, Notifier::Warning);
            break;
        case SecurityLevel::Normal:
            balloon(keys::NormalNotice, keys::NormalTitle, Notifier::Information);
            break;
        case SecurityLevel::Block:
            // "All traffic is blocked" would be untrue while no connection can be cut.
            if (const int reason = monitorOnlyReasonKey())
                balloon(keys::BlockUnheeded, keys::MonitorOnly, Notifier::Warning, reason);
            else
                balloon(keys::BlockNotice, keys::BlockTitle, Notifier::Critical);
            break;
        }
    }
    emit changed();
}

void SecurityLevels::togglePause() {
    if (!m_paused) {
        m_engine.timer()->stop();
        m_countWatcher.stop();
        m_trayActivity.stop();
        m_paused = true;
        balloon(keys::PausedNotice, keys::Paused, Notifier::Warning);
        emit changed();
        return;
    }
    m_engine.timer()->start();
    m_countWatcher.start();
    m_paused = false;
    balloon(keys::Resumed, keys::Active, Notifier::Information);
    // The level kept through the pause is in force again, with its tray icon and Timer2.
    applyLevel(m_engine.level(), false);
}

SecurityLevels::Picture SecurityLevels::levelPicture() const {
    if (m_paused)
        return Picture::Paused;
    switch (m_engine.level()) {
    case SecurityLevel::Allow: return Picture::LevelAllow;
    case SecurityLevel::Block: return Picture::LevelBlock;
    case SecurityLevel::Normal: break;
    }
    return Picture::LevelNormal;
}

SecurityLevels::Picture SecurityLevels::policyPicture() const {
    return m_engine.level() == SecurityLevel::Normal ? Picture::PolicyOn : Picture::PolicyOff;
}

SecurityLevels::TrayImage SecurityLevels::trayImage() const {
    if (m_paused)
        return TrayImage::Paused;
    switch (m_engine.level()) {
    case SecurityLevel::Allow: return TrayImage::Allow;
    case SecurityLevel::Block: return TrayImage::Block;
    case SecurityLevel::Normal: break;
    }
    return TrayImage::Activity;
}

int SecurityLevels::monitorOnlyReasonKey() const {
    if (m_paused)
        return 0;
    switch (m_engine.cutAbility()) {
    case CutAbility::NoPermission: return keys::NoPermission;
    case CutAbility::NotSupported: return keys::NotSupported;
    case CutAbility::NoEnforcer: return keys::NoEnforcer;
    case CutAbility::Works: break;
    }
    return 0;
}

QString SecurityLevels::levelWord() const {
    if (!m_localiser)
        return {};
    const SecurityLevel level = m_engine.level();
    const int key = level == SecurityLevel::Normal ? keys::NormalWord
                    : level == SecurityLevel::Block ? keys::BlockWord
                                                    : keys::AllowWord;
    return m_localiser->text(QStringLiteral("Main"), key);
}

QString SecurityLevels::firstPanelText() const {
    const auto text = [this](int key) {
        return m_localiser ? m_localiser->text(QStringLiteral("Main"), key) : QString();
    };
    if (m_paused)
        return text(keys::Paused);
    QString state = text(keys::MonitorOnly), detail;
    if (const int reason = monitorOnlyReasonKey()) {
        detail = text(reason);
    } else {
        state = text(keys::Active);
        detail = levelWord();
    }
    return detail.isEmpty() ? state : state + QStringLiteral(" \u2013 ") + detail;
}

} // namespace tarvok
