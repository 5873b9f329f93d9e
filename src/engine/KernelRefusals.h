#pragma once
// Connections that the kernel table refused, as the enforcer passes them on from its log
// group: each is counted, announced and recorded as a cut is. A flood cannot drown the
// program: beyond RecordsPerSecond in a second they are only counted, and a summary says how
// many were not recorded.

#include "engine/EnforcementEngine.h"
#include "engine/EnforcerLink.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace tarvok {

class KernelRefusals : public QObject {
    Q_OBJECT
public:
    static constexpr int RecordsPerSecond = 50;

    KernelRefusals(EnforcementEngine& engine, EnforcerLink& enforcer, QObject* parent = nullptr);

    void setNotifier(Notifier* notifier) { m_notifier = notifier; }
    void setLocaliser(const Localiser* localiser) { m_localiser = localiser; }

    // Refusals reported since start, recorded or not.
    qint64 count() const { return m_count; }

private:
    // The path of the file a program filter refusal names; empty when it cannot be told.
    QString programPath(const enforcer::Refusal& refusal) const;
    void take(const enforcer::Refusal& refusal);
    void countLost(quint32 lost);
    void summarise();

    EnforcementEngine& m_engine;
    Notifier* m_notifier = nullptr;
    const Localiser* m_localiser = nullptr;
    QElapsedTimer m_window;   // the current second
    int m_inWindow = 0;       // recorded in it
    qint64 m_unrecorded = 0;  // counted only, since the last summary
    QTimer m_summary;
    qint64 m_count = 0;
};

} // namespace tarvok
