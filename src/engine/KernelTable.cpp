#include "engine/KernelTable.h"

#include "engine/SecurityLevels.h"
#include "platform/NfTables.h"

#include <QDateTime>

namespace tarvok {

struct KernelTable::Native {
    platform::NftScripts scripts;
    platform::NftWatch watch;
};

KernelTable::KernelTable(RuleTable& rules, EnforcementEngine& engine, SecurityLevels* levels,
                         QObject* parent)
    : QObject(parent), m_rules(rules), m_engine(engine), m_levels(levels),
      m_native(std::make_unique<Native>()) {
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

KernelTable::~KernelTable() = default;

EnforcementState KernelTable::state() const {
    if (m_engine.cutAbility() != CutAbility::Works)
        return EnforcementState::MonitorOnly;
    return m_inForce ? EnforcementState::TableAndCuts : EnforcementState::CutsOnly;
}

void KernelTable::update() {
    m_removed = false;
    writeNow();
    m_watch.start();
}

void KernelTable::schedule() {
    if (m_scheduled || m_removed)
        return;
    m_scheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_scheduled = false;
        if (m_removed)
            return;
        writeNow();
        // What was open before the change and is blocked now is cut without waiting for a tick.
        if (!m_levels || !m_levels->paused())
            m_engine.runPass();
    });
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
