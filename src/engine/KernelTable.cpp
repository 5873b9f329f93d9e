#include "engine/KernelTable.h"

#include "engine/ProgramFiles.h"
#include "engine/RuleIndex.h"

#include "engine/SecurityLevels.h"
#include "engine/TextKeys.h"
#include "engine/TypedPolicy.h"

#include <QCoreApplication>
#include <QPointer>

namespace tarvok {

KernelTable::KernelTable(RuleTable& rules, EnforcementEngine& engine, SecurityLevels* levels,
                         EnforcerLink& enforcer, QObject* parent)
    : QObject(parent), m_rules(rules), m_engine(engine), m_levels(levels), m_enforcer(enforcer),
      m_refusals(engine, enforcer) {
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
    // A program rule's file replaced (an upgrade) or appearing: the filter follows it.
    connect(&engine.programFiles(), &ProgramFiles::changed, this, &KernelTable::schedule);
    // The filter records who connected each socket: the pass asks it before walking /proc.
    // Either may end first: the engine asks only while this table is there.
    engine.programOwners().setSource([table = QPointer<KernelTable>(this)](
                                         const std::vector<std::uint64_t>& cookies) {
        std::vector<std::pair<std::uint64_t, ProgramIdentity>> found;
        if (!table)
            return found;
        for (const enforcer::SocketOwner& owner : table->m_enforcer.owners(cookies))
            found.emplace_back(owner.cookie,
                               ProgramIdentity{owner.program.device, owner.program.inode});
        return found;
    });
    connect(&enforcer, &EnforcerLink::policyWritten, this, &KernelTable::onWritten);
    connect(&enforcer, &EnforcerLink::gone, this, &KernelTable::enforcerGone);
    m_retry.setParent(this); // found by name among the table's children
    m_retry.setObjectName(QStringLiteral("TimerKernelTable"));
    m_retry.setInterval(RetryIntervalMs);
    connect(&m_retry, &QTimer::timeout, this, &KernelTable::retry);
}

KernelTable::~KernelTable() {
    // An end that skipped the orderly shutdown still leaves no table claiming a policy.
    if (!m_removed)
        remove();
}

void KernelTable::setNotifier(Notifier* notifier) {
    m_notifier = notifier;
    m_refusals.setNotifier(notifier);
}

void KernelTable::setLocaliser(const Localiser* localiser) {
    m_localiser = localiser;
    m_refusals.setLocaliser(localiser);
}

void KernelTable::setAllowAllOnCrash(bool allowAll) {
    if (allowAll == m_allowAllOnCrash)
        return;
    m_allowAllOnCrash = allowAll;
    schedule();
}

void KernelTable::setAsking(bool ask, bool defaultAllow) {
    if (ask == m_ask && defaultAllow == m_askDefaultAllow)
        return;
    m_ask = ask;
    m_askDefaultAllow = defaultAllow;
    schedule();
}

QString KernelTable::text(int key, const char* fallback) const {
    const QString found = m_localiser ? m_localiser->text(QStringLiteral("Main"), key) : QString();
    return found.isEmpty() ? QString::fromLatin1(fallback) : found;
}

QString KernelTable::cutsOnlyText() const {
    if (state() != EnforcementState::CutsOnly)
        return {};
    return text(language::kernel::CutsOnly, "Firewall: cutting open connections only") +
           QStringLiteral(" \u2013 ") +
           text(language::kernel::TableRefused, "the kernel refused Tarvok's packet filter table") +
           QStringLiteral(": ") + m_failure;
}

bool KernelTable::filterInForce() const {
    return m_inForce && m_enforcer.filterInForce() && m_filterFailure.isEmpty();
}

QString KernelTable::programRulesReason() const {
    if (state() == EnforcementState::MonitorOnly || filterInForce())
        return {};
    bool named = false;
    for (int row = 0; row < m_rules.count() && !named; ++row)
        named = m_rules.isEnabled(row) && !m_rules.rule(row).program.isEmpty();
    if (!named)
        return {};
    if (!m_filterFailure.isEmpty())
        return m_filterFailure;
    if (!m_enforcer.filterReason().isEmpty())
        return m_enforcer.filterReason();
    if (!m_inForce && !m_failure.isEmpty())
        return m_failure;
    return text(language::kernel::FilterNotLoaded, "the program filter is not loaded");
}

QString KernelTable::programRulesText() const {
    const QString reason = programRulesReason();
    if (reason.isEmpty())
        return {};
    return text(language::kernel::ProgramRulesCutOnly, "Program rules: cut after connect") +
           QStringLiteral(" \u2013 ") + reason;
}

EnforcementState KernelTable::state() const {
    if (m_engine.cutAbility() != CutAbility::Works)
        return EnforcementState::MonitorOnly;
    return m_inForce ? EnforcementState::TableAndCuts : EnforcementState::CutsOnly;
}

void KernelTable::update() {
    m_removed = false;
    submit(false);
    waitForWrite(EnforcerLink::AnswerTimeoutMs);
    m_retry.start();
}

void KernelTable::cellsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                               const QList<int>& roles) {
    const auto spans = [&](int column) {
        return topLeft.column() <= column && column <= bottomRight.column();
    };
    const bool compiled = spans(RuleTable::Action) || spans(RuleTable::Enabled) ||
                          spans(RuleTable::Address) || spans(RuleTable::Port) ||
                          spans(RuleTable::Protocol) || spans(RuleTable::Program);
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
            submit(true);
    }, Qt::QueuedConnection);
}

void KernelTable::submit(bool runPass) {
    m_passAfter = m_passAfter || runPass;
    if (!m_enforcer.isRunning()) {
        apply(false, m_enforcer.failure());
        return;
    }
    if (m_inFlight) {
        m_changedSince = true; // written once the one in flight is answered
        return;
    }
    m_inFlight = true;
    m_changedSince = false;
    const bool paused = m_levels && m_levels->paused();
    const SecurityLevel level = m_levels ? m_levels->level() : m_engine.level();
    ProgramFiles& files = m_engine.programFiles();
    if (const QStringList paths = programPaths(m_rules); paths != files.paths())
        files.setPaths(paths);
    enforcer::SetPolicy policy = typedPolicy(
        m_rules, level, paused, [&files](const QString& path) { return files.identity(path); });
    policy.allowAllOnCrash = m_allowAllOnCrash;
    // Only the Normal level decides by rules, and only an enforcer with the program filter
    // and its queue can hold a connection at its first packet.
    policy.ask = m_ask && policy.level == enforcer::Level::Normal && !policy.paused &&
                 m_enforcer.canAsk();
    policy.askDefaultAllow = m_askDefaultAllow;
    m_enforcer.setPolicy(policy);
}

bool KernelTable::waitForWrite(int timeoutMs) {
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall); // a change scheduled, not sent
    // A write answered may ask for one more: each is waited for in turn.
    for (int round = 0; m_inFlight && round < 4; ++round)
        if (!m_enforcer.settle(timeoutMs))
            return false;
    return !m_inFlight;
}

void KernelTable::onWritten(int error, const QString& reason) {
    m_inFlight = false;
    if (m_removed)
        return;
    // A table written with a reason is in force without the filter: outgoing connections are
    // the table's, and program rules are left to the pass.
    m_filterFailure = error == 0 ? reason : QString();
    apply(error == 0, error == 0 ? QString() : reason);
    // Rules naming a program added or removed change what panel 1 says, with no other change.
    if (QString programText = programRulesText(); programText != m_programText) {
        m_programText = std::move(programText);
        emit stateChanged();
    }
    if (m_changedSince) {
        submit(false);
    } else if (m_passAfter) {
        // What was open before the change and is blocked now is cut without waiting for a
        // tick, once the last write of a burst is in force.
        m_passAfter = false;
        if (!m_levels || !m_levels->paused())
            m_engine.runPass();
    }
    emit written();
}

void KernelTable::apply(bool ok, const QString& error) {
    const bool changed = ok != m_inForce || !m_tried || (!ok && m_failure != error);
    m_tried = true;
    m_inForce = ok;
    if (ok) {
        ++m_writes;
        m_failure.clear();
    } else {
        m_failure = error;
    }
    if (changed)
        emit stateChanged();
}

void KernelTable::retry() {
    if (m_removed || m_inForce || m_inFlight)
        return;
    // An enforcer that ended unasked is started again; the kernel may accept the table later
    // (a module loaded, a capability granted).
    if (!m_enforcer.isRunning()) {
        if (!m_enforcer.restart())
            return;
        m_engine.checkCutAbility();
    }
    submit(true);
}

void KernelTable::enforcerGone(const QString& reason) {
    m_inFlight = false;
    m_filterFailure.clear();
    apply(false, reason);
    m_engine.checkCutAbility();
}

void KernelTable::remove() {
    m_removed = true;
    m_retry.stop();
    if (m_enforcer.isRunning())
        m_enforcer.goodbye();
    m_inForce = false;
}

} // namespace tarvok
