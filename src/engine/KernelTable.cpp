#include "engine/KernelTable.h"

#include "engine/SecurityLevels.h"
#include "engine/TextKeys.h"
#include "platform/NfTables.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

namespace tarvok {

struct KernelTable::Native {
    platform::NftScripts scripts;
    platform::NftWatch watch;
};

KernelTable::KernelTable(RuleTable& rules, EnforcementEngine& engine, SecurityLevels* levels,
                         QObject* parent)
    : QObject(parent), m_rules(rules), m_engine(engine), m_levels(levels),
      m_refusals(engine), m_native(std::make_unique<Native>()) {
    m_writer = [this](const std::string& script, std::string& error) {
        const bool ok = m_native->scripts.run(script);
        error = m_native->scripts.error();
        return ok;
    };
    m_observer = [this] {
        Observed observed;
        observed.generation = m_native->watch.generation();
        platform::NftTableState table;
        if (m_native->watch.table(KernelTableName, table) == 0)
            observed.table = table.handle * 65599 + table.use;
        return observed;
    };
    // One signal for every kind of change to the rules; a burst of them makes one write. Of
    // the cells, only those the table is compiled from count: a hit count, an icon or a
    // description changes nothing in the kernel.
    connect(&rules, &QAbstractItemModel::dataChanged, this, &KernelTable::cellsChanged);
    connect(&rules, &QAbstractItemModel::rowsInserted, this, &KernelTable::schedule);
    connect(&rules, &QAbstractItemModel::rowsRemoved, this, &KernelTable::schedule);
    connect(&rules, &QAbstractItemModel::rowsMoved, this, &KernelTable::schedule);
    connect(&rules, &QAbstractItemModel::modelReset, this, &KernelTable::schedule);
    connect(&rules, &QAbstractItemModel::layoutChanged, this, &KernelTable::schedule);
    connect(&rules, &RuleTable::wordsChanged, this, &KernelTable::schedule);
    if (levels)
        connect(levels, &SecurityLevels::changed, this, &KernelTable::schedule);
    connect(&engine, &EnforcementEngine::cutAbilityChanged, this, &KernelTable::stateChanged);
    m_watch.setObjectName(QStringLiteral("TimerKernelTable"));
    m_watch.setInterval(CheckIntervalMs);
    connect(&m_watch, &QTimer::timeout, this, &KernelTable::check);
    m_worker = std::thread([this] { work(); });
}

KernelTable::~KernelTable() {
    // An end that skipped the orderly shutdown still leaves no table claiming a policy.
    if (!m_removed)
        remove();
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_worker.join();
}

void KernelTable::setWriter(Writer writer) {
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return !m_busy; });
    m_writer = std::move(writer);
}

QString KernelTable::cutsOnlyText() const {
    if (state() != EnforcementState::CutsOnly)
        return {};
    const auto text = [this](int key, const char* fallback) {
        const QString found = m_localiser ? m_localiser->text(QStringLiteral("Main"), key) : QString();
        return found.isEmpty() ? QString::fromLatin1(fallback) : found;
    };
    return text(language::kernel::CutsOnly, "Firewall: cutting open connections only") +
           QStringLiteral(" \u2013 ") +
           text(language::kernel::TableRefused, "the kernel refused Tarvok's packet filter table") +
           QStringLiteral(": ") + m_failure;
}

EnforcementState KernelTable::state() const {
    if (m_engine.cutAbility() != CutAbility::Works)
        return EnforcementState::MonitorOnly;
    return m_inForce ? EnforcementState::TableAndCuts : EnforcementState::CutsOnly;
}

void KernelTable::setNotifier(Notifier* notifier) {
    m_notifier = notifier;
    m_refusals.setNotifier(notifier);
}

void KernelTable::setLocaliser(const Localiser* localiser) {
    m_localiser = localiser;
    m_refusals.setLocaliser(localiser);
}

void KernelTable::update() {
    m_removed = false;
    // Refusals are logged only while someone listens; another instance may hold the group.
    if (!m_refusals.isOpen() && m_options.logGroup == 0 &&
        m_refusals.open(KernelRefusals::DefaultGroup) == 0)
        m_options.logGroup = KernelRefusals::DefaultGroup;
    writeNow();
    m_watch.start();
}

void KernelTable::cellsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                               const QList<int>& roles) {
    const auto spans = [&](int column) {
        return topLeft.column() <= column && column <= bottomRight.column();
    };
    const bool compiled = spans(RuleTable::Action) || spans(RuleTable::Enabled) ||
                          spans(RuleTable::Address) || spans(RuleTable::Port);
    const bool text =
        roles.isEmpty() || roles.contains(Qt::DisplayRole) || roles.contains(Qt::EditRole);
    if (compiled && text)
        schedule();
}

void KernelTable::schedule() {
    if (m_scheduled || m_removed)
        return;
    m_scheduled = true;
    // Queued, so that a burst of changes in one handler makes one write.
    QMetaObject::invokeMethod(this, [this] {
        m_scheduled = false;
        if (!m_removed)
            submit(RunPass);
    }, Qt::QueuedConnection);
}

std::string KernelTable::script() const {
    const bool paused = m_levels && m_levels->paused();
    const SecurityLevel level = m_levels ? m_levels->level() : m_engine.level();
    return kernelTableScript(m_rules, level, paused, m_options);
}

void KernelTable::quiesce() {
    std::unique_lock lock(m_mutex);
    m_hasPending = false;
    m_pending.clear();
    m_pendingAfter = Nothing;
    m_wake.wait(lock, [this] { return !m_busy; });
    // Outcomes of earlier writes still on their way are stale once this thread writes.
    ++m_epoch;
}

void KernelTable::writeNow() {
    quiesce();
    std::string error;
    const bool ok = m_writer(script(), error);
    apply(ok, error);
    if (ok)
        m_written = m_observer ? m_observer() : Observed{};
}

void KernelTable::submit(int after) {
    std::string next = script();
    {
        const std::lock_guard lock(m_mutex);
        m_pending = std::move(next); // supersedes one that has not started
        m_hasPending = true;
        m_pendingAfter |= after;
    }
    m_wake.notify_all();
}

void KernelTable::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || m_hasPending; });
        if (m_stop)
            return;
        const std::string script = std::move(m_pending);
        const int after = m_pendingAfter, epoch = m_epoch;
        const Writer writer = m_writer;
        m_pending.clear();
        m_hasPending = false;
        m_pendingAfter = Nothing;
        m_busy = true;
        lock.unlock();
        std::string error;
        const bool ok = writer(script, error);
        lock.lock();
        m_busy = false;
        QMetaObject::invokeMethod(this, [this, ok, error, after, epoch] {
            if (epoch == m_epoch)
                finished(ok, error, after);
            emit written();
        }, Qt::QueuedConnection);
        m_wake.notify_all();
    }
}

bool KernelTable::writing() const {
    const std::lock_guard lock(m_mutex);
    return m_busy || m_hasPending;
}

bool KernelTable::waitForWrite(int timeoutMs) {
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall); // a change scheduled but not handed over
    {
        std::unique_lock lock(m_mutex);
        if (!m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return !m_busy && !m_hasPending; }))
            return false;
    }
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    return true;
}

void KernelTable::finished(bool ok, const std::string& error, int after) {
    if (m_removed)
        return;
    apply(ok, error);
    // A newer write on its way will look at the kernel once it is done.
    if (ok && !writing())
        m_written = m_observer ? m_observer() : Observed{};
    if ((after & Restore) && ok) {
        ++m_restored;
        const QString notice =
            m_localiser ? m_localiser->text(QStringLiteral("Main"), language::kernel::TableRestored)
                        : QString();
        std::fprintf(stderr,
                     "tarvok: the nftables table %s %s was removed or changed by another "
                     "program and has been put back\n",
                     KernelTableFamily, KernelTableName);
        if (m_notifier && !notice.isEmpty())
            m_notifier->showBalloon(notice, QStringLiteral("Tarvok"), Notifier::Warning,
                                    Notifier::BalloonTimeoutMs);
        emit restored();
    }
    // What was open before the change and is blocked now is cut without waiting for a tick.
    if ((after & RunPass) && (!m_levels || !m_levels->paused()))
        m_engine.runPass();
}

void KernelTable::apply(bool ok, const std::string& error) {
    const bool changed = ok != m_inForce || !m_tried ||
                         (!ok && m_failure != QString::fromStdString(error));
    m_tried = true;
    m_inForce = ok;
    if (ok) {
        ++m_writes;
        m_failure.clear();
    } else {
        m_failure = QString::fromStdString(error);
        m_lastTry = QDateTime::currentMSecsSinceEpoch();
    }
    if (changed)
        emit stateChanged();
}

void KernelTable::check() {
    if (m_removed || writing())
        return; // the write on its way looks at the kernel when it is done
    if (!m_inForce) {
        // The kernel may accept it later (a module loaded, a capability granted).
        if (QDateTime::currentMSecsSinceEpoch() - m_lastTry >= RetryIntervalMs)
            submit(Nothing);
        return;
    }
    if (!m_observer)
        return;
    const Observed now = m_observer();
    if (now.generation == m_written.generation)
        return;
    if (now.table == m_written.table) {
        m_written.generation = now.generation; // someone else's change elsewhere
        return;
    }
    submit(Restore);
}

void KernelTable::remove() {
    m_removed = true;
    m_watch.stop();
    quiesce();
    if (!m_tried)
        return;
    std::string error;
    if (m_writer(kernelTableRemoval(), error))
        m_inForce = false;
}

} // namespace tarvok
