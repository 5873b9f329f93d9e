#include "engine/EnforcementEngine.h"

#include "engine/Prompter.h"
#include "engine/ServiceNames.h"
#include "engine/TextKeys.h"

#include <QCoreApplication>
#include <QLocale>
#include <QScopeGuard>
#include <QTime>

#include <cerrno>

namespace tarvok {
namespace {

const std::uint32_t Localhost = platform::addressField(127, 0, 0, 1);
const platform::Address6 Loopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const platform::Address6 Unspecified6 = {};
const TextHolders DesignTexts;

// Clears a flag when the scope ends, however it ends.
struct RunningGuard {
    bool& flag;
    explicit RunningGuard(bool& f) : flag(f) { flag = true; }
    ~RunningGuard() { flag = false; }
};

} // namespace

EnforcementEngine::EnforcementEngine(ConnectionTables& tables, RuleTable& rules, QObject* parent)
    : QObject(parent), m_tables(tables), m_rules(rules), m_termination(tables),
      m_yield([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }),
      m_probe([this] { return m_termination.ability(); }) {
    m_timer.setParent(this); // found by name among the engine's children
    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setInterval(TickIntervalMs);
    // Queued: the tick runs after the timer's own activation has ended. Qt never fires a
    // timer again while its timeout handler is still on the stack, so a tick run inside the
    // activation would stop Timer1 for as long as a dialog opened within it stayed open.
    connect(&m_timer, &QTimer::timeout, this, &EnforcementEngine::tick, Qt::QueuedConnection);
    m_timer.start();
}

void EnforcementEngine::tick() {
    if (m_passRunning) {
        // A tick that arrives while the pass yields is skipped. But a yield that has lasted
        // longer than a tick means that a nested event loop (a modal dialog opened by some
        // handler) holds the pass: a fresh pass takes over, so that enforcement never waits
        // for a dialog, and the stale pass stops where it is once it resumes.
        if (!m_yielding || m_yieldStarted.elapsed() < TickIntervalMs)
            return;
    }
    runFreshPass();
    yieldToUi();
    const bool popups =
        !m_settings || m_settings->value(QStringLiteral("PopupAlert")) != QLatin1String("False");
    if (popups && !m_pendingNotice.isEmpty()) {
        if (m_notifier) {
            const QString title =
                (m_localiser ? m_localiser->text(QStringLiteral("Main"), language::AlertTitle)
                             : QString()) +
                QLatin1Char(':');
            m_notifier->showBalloon(m_pendingNotice, title, Notifier::Critical,
                                    Notifier::BalloonTimeoutMs);
        }
        m_pendingNotice.clear();
    }
}

void EnforcementEngine::yieldToUi() {
    if (!m_yield)
        return;
    // A pass that takes over inside a held yield yields too; the held yield's state comes
    // back afterwards, so that every later tick still sees how long it has been held.
    const bool outerYielding = m_yielding;
    const QElapsedTimer outerStarted = m_yieldStarted;
    m_yielding = true;
    m_yieldStarted.start();
    m_yield();
    m_yielding = outerYielding;
    if (outerYielding)
        m_yieldStarted = outerStarted;
    m_sinceYield.start();
}

bool EnforcementEngine::yieldPoint(quint64 pass) {
    // Reading the clock at every matched row would cost a pass of 20,000 matches half a
    // millisecond: it is read at every 32nd point, a few tens of microseconds apart.
    if (m_yieldBudgetMs > 0 && (++m_pointsSinceClock % 32 != 0 ||
                                m_sinceYield.elapsed() < m_yieldBudgetMs))
        return true;
    countAccepted();
    yieldToUi();
    return pass == m_currentPass;
}

void EnforcementEngine::countAccepted() {
    // A memory of 20,000 connections is larger than the cache: looking each one up on its
    // own would wait for memory once per row.
    constexpr std::size_t Ahead = 8;
    for (std::size_t i = 0; i < m_accepted.size(); ++i) {
        if (i + Ahead < m_accepted.size())
            m_counted.prefetch(m_accepted[i + Ahead].print);
        if (!m_counted.seenBefore(m_accepted[i].print))
            m_rules.addHit(m_accepted[i].rule);
    }
    m_accepted.clear();
}

void EnforcementEngine::checkCutAbility() {
    if (!m_probe)
        return;
    const CutAbility ability = m_probe();
    if (ability == m_cutAbility)
        return;
    m_cutAbility = ability;
    emit cutAbilityChanged(ability);
}

void EnforcementEngine::cutFailed(std::uint32_t result) {
    // A connection that went away by itself says nothing about the ability to cut, and a
    // refusal already known needs no second look.
    const CutAbility suggested = platform::abilityFromResult(result);
    if (suggested == CutAbility::Works || suggested == m_cutAbility)
        return;
    m_cutAbility = suggested;
    emit cutAbilityChanged(suggested);
}

QString EnforcementEngine::programLabel() const {
    const QString label =
        m_localiser ? m_localiser->text(QStringLiteral("Main"), language::ProgramLabel) : QString();
    return label.isEmpty() ? QStringLiteral("Program") : label;
}

QString EnforcementEngine::text(QString TextHolders::*holder) const {
    return (m_holders ? *m_holders : DesignTexts).*holder;
}

bool EnforcementEngine::skipped(const TcpRow& row) const {
    if (row.state == platform::StateListen || row.state == platform::StateTimeWait)
        return true;
    // Comparing the address fields is the same as comparing their texts with "127.0.0.1" and
    // "0.0.0.0" (or "::1" and "::"), without building the texts.
    if (row.family == platform::Family::Inet6)
        return row.local6 == Loopback6 || row.local6 == Unspecified6;
    return row.localAddress == Localhost || row.localAddress == 0;
}

void EnforcementEngine::refreshIndex(PolicyIndex& index, std::uint8_t protocol) {
    if (m_pathsGeneration != m_rules.generation()) {
        m_pathsGeneration = m_rules.generation();
        const QStringList paths = programPaths(m_rules);
        if (paths != m_programFiles.paths())
            m_programFiles.setPaths(paths);
    }
    if (!index.isCurrentFor(m_rules, m_programFiles.generation()))
        index.rebuild(
            m_rules, protocol,
            [this](const QString& path) { return m_programFiles.identity(path); },
            m_programFiles.generation());
}

int EnforcementEngine::firstMatch(const TcpRow& row, const ProgramIdentity* owner) {
    // The table may have changed while the pass yielded; the index follows it before use.
    if (!m_index.isCurrentFor(m_rules, m_programFiles.generation()))
        refreshIndex(m_index, RuleTcp);
    const std::uint16_t port = platform::portNumber(row.remotePort);
    if (row.family == platform::Family::Inet6)
        return m_index.firstMatch(row.remote6, port, owner);
    return m_index.firstMatch(row.remoteAddress, port, owner);
}

int EnforcementEngine::udpMatch(const TcpRow& row, const ProgramIdentity* owner) {
    if (!m_udpIndex.isCurrentFor(m_rules, m_programFiles.generation()))
        refreshIndex(m_udpIndex, RuleUdp);
    const std::uint16_t port = platform::portNumber(row.remotePort);
    if (row.family == platform::Family::Inet6)
        return m_udpIndex.firstMatch(row.remote6, port, owner);
    return m_udpIndex.firstMatch(row.remoteAddress, port, owner);
}

bool EnforcementEngine::passUdp(quint64 pass) {
    if (m_level == SecurityLevel::Allow || m_cutAbility != CutAbility::Works)
        return true;
    // Unconnected sockets have no remote end to judge: the kernel table alone covers them.
    std::vector<platform::UdpConnectionRow> sockets;
    std::vector<platform::SocketId> ids;
    if (m_level == SecurityLevel::Normal)
        refreshIndex(m_udpIndex, RuleUdp);
    const bool owners = m_level == SecurityLevel::Normal && m_udpIndex.hasProgramRules();
    if ((owners ? m_tables.readConnectedUdp(sockets, ids) : m_tables.readConnectedUdp(sockets)) !=
        platform::ResultOk)
        return true;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        const platform::UdpConnectionRow& socket = sockets[i];
        const TcpRow row{platform::StateEstablished, socket.localAddress, socket.localPort,
                         socket.remoteAddress,       socket.remotePort,   socket.family,
                         socket.local6,              socket.remote6,      socket.interfaceIndex};
        if (skipped(row))
            continue;
        bool pending = false;
        const ProgramIdentity* owner =
            i < ids.size() ? m_owners.ownerOf(ids[i], &pending) : nullptr;
        if (pending)
            continue; // decided once a walk has named its program, as TCP's
        const int matched =
            m_level == SecurityLevel::Normal ? udpMatch(row, owner) : RuleIndex::NoMatch;
        if (m_level == SecurityLevel::Normal &&
            (matched == RuleIndex::NoMatch || m_rules.isAccept(matched)))
            continue;
        if (const std::uint32_t cut = m_termination.cutUdp(socket); cut != platform::ResultOk) {
            cutFailed(cut);
        } else if (matched != RuleIndex::NoMatch) { // the level's cuts go unrecorded, as TCP's
            m_rules.addHit(matched);
            countRefused(1);
            m_pendingNotice = notice(row, matched + 1);
            if (m_rules.isLogged(matched))
                record(row, QStringLiteral("BLOCKED CONNECTION"), matched + 1, true);
        }
        if (!yieldPoint(pass))
            return false;
    }
    return true;
}

EnforcementEngine::Decision EnforcementEngine::decide(const TcpRow& row, bool udp,
                                                      const ProgramIdentity* owner) {
    if (skipped(row))
        return {};
    if (m_level != SecurityLevel::Normal)
        return {Decision::Level};
    const int matched = udp ? udpMatch(row, owner) : firstMatch(row, owner);
    return matched == RuleIndex::NoMatch ? Decision{Decision::Level} : Decision{Decision::Rule, matched};
}

void EnforcementEngine::runPass() {
    if (!m_passRunning)
        runFreshPass();
}

void EnforcementEngine::runFreshPass() {
    const quint64 pass = ++m_currentPass;
    const bool outerRunning = m_passRunning;
    RunningGuard running(m_passRunning);
    // This pass's own copy of the table: a pass that takes over from a stale one must not
    // change the rows under it.
    std::vector<TcpRow> rows = std::move(m_spareRows);
    std::vector<platform::SocketId> ids = std::move(m_spareIds);
    const auto keepRows = qScopeGuard([&] {
        if (!outerRunning) {
            m_spareRows = std::move(rows);
            m_spareIds = std::move(ids);
        }
    });
    m_sinceYield.start();

    // Owners are read only while a rule names a program that exists; otherwise the pass is
    // the address-only pass it always was.
    refreshIndex(m_index, RuleTcp);
    refreshIndex(m_udpIndex, RuleUdp);
    const bool programRules = m_index.hasProgramRules() || m_udpIndex.hasProgramRules();
    if (!programRules && m_owners.size() > 0)
        m_owners.clear(); // learnt again from the start when a rule names a program again
    const bool owners = programRules && m_level == SecurityLevel::Normal;
    if (owners)
        m_owners.beginPass();
    ids.clear();
    const std::uint32_t result = m_index.hasProgramRules() && owners
                                     ? m_tables.readTcp(rows, ids)
                                     : m_tables.readTcp(rows);
    if (result == platform::ResultNotSupported) {
        // Said once per outage, after the pass: a message box inside it would hold it.
        if (!m_unsupportedShown && m_prompter) {
            m_unsupportedShown = true;
            QTimer::singleShot(0, this, [this] {
                m_prompter->message(QStringLiteral("IP Helper not supported!"), 0,
                                    QStringLiteral("Tarvok"));
            });
        }
        return;
    }
    m_unsupportedShown = false;
    if (result != platform::ResultOk)
        return; // the next tick reads again

    for (std::size_t i = 0; i < rows.size(); ++i) {
        TcpRow row = rows[i];
        if (skipped(row))
            continue;
        if (m_level == SecurityLevel::Block) {
            // While the kernel refuses every cut, no destroy request is sent.
            if (m_cutAbility != CutAbility::Works)
                break;
            // Unconditional: not counted, announced or recorded.
            if (const std::uint32_t cut = m_termination.cutRow(row); cut != platform::ResultOk)
                cutFailed(cut);
            if (!yieldPoint(pass))
                return;
        } else if (m_level == SecurityLevel::Normal) {
            bool pending = false;
            const ProgramIdentity* owner =
                i < ids.size() ? m_owners.ownerOf(ids[i], &pending) : nullptr;
            // A socket whose program a walk is about to name waits for it (a tick or two):
            // decided without it, an address rule below a rule for its program would cut a
            // connection that the kernel let through by that rule.
            if (pending)
                continue;
            const int matched = firstMatch(row, owner);
            if (matched != RuleIndex::NoMatch &&
                !handleMatch(row, {matched, m_rules.isAccept(matched), m_rules.isLogged(matched)},
                             pass))
                return;
        }
    }
    if (!passUdp(pass))
        return;
    if (owners)
        m_owners.endPass();
    // Connections that left the table are forgotten, so that they are recorded and counted
    // again when they come back.
    countAccepted();
    m_recorded.endPass();
    m_counted.endPass();
    m_rules.publishHits();
    yieldToUi();
}

bool EnforcementEngine::handleMatch(TcpRow& row, const Match& match, quint64 pass) {
    // The rule's position and switches were taken before any yield, so an edit made while
    // the pass yields cannot make it report another rule.
    const int position = match.row + 1;
    if (match.accept) {
        m_accepted.push_back({ConnectionMemory::endpointsPrint(row), match.row});
        if (match.logged)
            recordOnce(row, false, [&row] { return classicStateName(row.state); }, position);
        return yieldPoint(pass);
    }

    const TcpRow found = row;
    // While cuts cannot work the request is not sent: the refusal is known.
    const bool tried = m_cutAbility == CutAbility::Works;
    const std::uint32_t result = tried ? m_termination.cutRow(row) : std::uint32_t{EPERM};
    if (result == platform::ResultOk) {
        m_rules.addHit(match.row);
        ++m_cutCount;
        emit cutCountChanged(m_cutCount);
        m_pendingNotice = notice(row, position);
        if (match.logged)
            record(row, QStringLiteral("BLOCKED CONNECTION"), position);
    } else {
        // The connection lives on: neither counted nor announced, and the record says so.
        if (match.logged)
            recordOnce(found, true, [this] { return text(&TextHolders::unableClose); }, position);
        if (tried)
            cutFailed(result);
    }
    return yieldPoint(pass);
}

void EnforcementEngine::refused(const TcpRow& row, bool udp, const ProgramIdentity* owner,
                                const QString& program) {
    // The rule the pass would have matched; none when the policy changed meanwhile.
    int matched = RuleIndex::NoMatch;
    if (m_level == SecurityLevel::Normal)
        matched = udp ? udpMatch(row, owner) : firstMatch(row, owner);
    const int position = matched == RuleIndex::NoMatch ? 0 : matched + 1;
    countRefused(1);
    if (matched != RuleIndex::NoMatch) {
        m_rules.addHit(matched);
        m_rules.publishHits();
    }
    m_pendingNotice = notice(row, position, program);
    // At the Block level no rule decides, and every refusal is recorded; at Normal, those of
    // a rule that logs.
    if ((matched != RuleIndex::NoMatch && m_rules.isLogged(matched)) ||
        m_level == SecurityLevel::Block)
        record(row, QStringLiteral("BLOCKED CONNECTION"), position, udp, program);
}

void EnforcementEngine::countRefused(qint64 count) {
    m_cutCount += count;
    emit cutCountChanged(m_cutCount);
}

template <typename Status>
void EnforcementEngine::recordOnce(const TcpRow& row, bool failedCut, Status&& status,
                                   int position) {
    if (!m_recorded.seenBefore(row, failedCut))
        record(row, status(), position);
}

void EnforcementEngine::record(const TcpRow& row, const QString& status, int position,
                               bool udp, const QString& program) {
    if (!m_events)
        return;
    const QLocale locale = QLocale::system();
    const QString remotePort = QString::number(portNumber(row.remotePort));
    EventRecord event{
        locale.toString(QTime::currentTime(), QLocale::ShortFormat) + QStringLiteral(" - ") +
            locale.toString(QDate::currentDate(), QLocale::ShortFormat),
        udp ? QStringLiteral("UDP") : QStringLiteral("TCP"),
        localAddressText(row),
        QString::number(portNumber(row.localPort)),
        remoteAddressText(row),
        remotePort,
        serviceName(remotePort),
        status,
        QLatin1Char('(') + QString::number(position) + QLatin1Char(')'),
        program,
    };
    m_events->append(event, false);
    // Writes once the list holds a batch (cheap below that). Letting the list grow through a
    // whole pass would make the duplicate check of each new record walk thousands.
    m_events->flush();
}

QString EnforcementEngine::notice(const TcpRow& row, int position, const QString& program) const {
    const QString remotePort = QString::number(portNumber(row.remotePort));
    const QString time = QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat);
    const QChar newline = QLatin1Char('\n');
    return text(&TextHolders::hasBlocked) + newline +                                   //
           text(&TextHolders::remoteAddress) + u' ' + remoteAddressText(row) + newline +
           text(&TextHolders::localPort) + QStringLiteral(": ") +
           QString::number(portNumber(row.localPort)) + newline +                       //
           text(&TextHolders::remotePort) + u' ' + remotePort + newline +               //
           text(&TextHolders::service) + QStringLiteral(": ") + serviceName(remotePort) + newline +
           (program.isEmpty() ? QString() : programLabel() + QStringLiteral(": ") + program + newline) +
           text(&TextHolders::time) + u' ' + time + newline + newline +                 //
           text(&TextHolders::thisEvent) + QStringLiteral(" (#") + QString::number(position) +
           QLatin1Char(')');
}

} // namespace tarvok
