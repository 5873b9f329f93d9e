#include "engine/KernelTable.h"

#include "engine/SecurityLevels.h"
#include "platform/NfTables.h"

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
    // One signal for every kind of change to the rules; a burst of them makes one write.
    // One signal for every kind of change to the rules; a burst of them makes one write.
    connect(&rules, &QAbstractItemModel::dataChanged, this, &KernelTable::schedule);
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
}

KernelTable::~KernelTable() {
    // An end that skipped the orderly shutdown still leaves no table claiming a policy.
    if (!m_removed)
        remove();
}

QString KernelTable::cutsOnlyText() const {
    if (state() != EnforcementState::CutsOnly)
        return {};
    const auto text = [this](int key, const char* fallback) {
        const QString found = m_localiser ? m_localiser->text(QStringLiteral("Main"), key) : QString();
        return found.isEmpty() ? QString::fromLatin1(fallback) : found;
    };
    return text(280, "Firewall: cutting open connections only") + QStringLiteral(" \u2013 ") +
           text(281, "the kernel refused Tarvok's packet filter table") +
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

void KernelTable::schedule() {
    if (m_scheduled || m_removed)
        return;
    m_scheduled = true;
    // Queued, so that a burst of changes in one handler makes one write.
    QMetaObject::invokeMethod(this, [this] {
        m_scheduled = false;
        if (m_removed)
            return;
        writeNow();
        // What was open before the change and is blocked now is cut without waiting for a tick.
        if (!m_levels || !m_levels->paused())
            m_engine.runPass();
    }, Qt::QueuedConnection);
}

void KernelTable::writeNow() {
    const bool paused = m_levels && m_levels->paused();
    const SecurityLevel level = m_levels ? m_levels->level() : m_engine.level();
    std::string error;
    const bool ok = m_writer(kernelTableScript(m_rules, level, paused, m_options), error);
    const bool changed = ok != m_inForce || !m_tried ||
                         (!ok && m_failure != QString::fromStdString(error));
    m_tried = true;
    m_inForce = ok;
    if (ok) {
        ++m_writes;
        m_failure.clear();
        m_written = m_observer ? m_observer() : Observed{};
    } else {
        m_failure = QString::fromStdString(error);
        m_lastTry = QDateTime::currentMSecsSinceEpoch();
    }
    if (changed)
        emit stateChanged();
}

void KernelTable::check() {
    if (m_removed)
        return;
    if (!m_inForce) {
        // The kernel may accept it later (a module loaded, a capability granted).
        if (QDateTime::currentMSecsSinceEpoch() - m_lastTry >= RetryIntervalMs)
            writeNow();
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
    writeNow();
    if (m_inForce) {
        ++m_restored;
        const QString notice =
            m_localiser ? m_localiser->text(QStringLiteral("Main"), 282) : QString();
        std::fprintf(stderr, "tarvok: the nftables table inet tarvok was removed or changed by "
                             "another program and has been put back\n");
        if (m_notifier && !notice.isEmpty())
            m_notifier->showBalloon(notice, QStringLiteral("Tarvok"), Notifier::Warning, 30000);
        emit restored();
    }
}

void KernelTable::remove() {
    m_removed = true;
    m_watch.stop();
    if (!m_tried)
        return;
    std::string error;
    if (m_writer(kernelTableRemoval(), error))
        m_inForce = false;
}

} // namespace tarvok
