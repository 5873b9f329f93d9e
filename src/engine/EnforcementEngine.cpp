#include "engine/EnforcementEngine.h"

#include "engine/ServiceNames.h"
#include "engine/Prompter.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTime>

namespace tarvok {
namespace {

const std::uint32_t Localhost = platform::addressField(127, 0, 0, 1);
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
      m_yield([] { QCoreApplication::processEvents(); }) {
    m_timer.setParent(this); // found by name among the engine's children
    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setInterval(TickIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &EnforcementEngine::tick);
    m_timer.start();
}

void EnforcementEngine::tick() {
    if (m_passRunning)
        return; // a tick that arrives while the pass yields is skipped
    runPass();
    yieldToUi();
    const bool popups =
        !m_settings || m_settings->value(QStringLiteral("PopupAlert")) != QLatin1String("False");
    if (popups && !m_pendingNotice.isEmpty()) {
        if (m_notifier) {
            const QString title =
                (m_localiser ? m_localiser->text(QStringLiteral("Main"), 83) : QString()) +
                QLatin1Char(':');
            m_notifier->showBalloon(m_pendingNotice, title, Notifier::Critical, 30000);
        }
        m_pendingNotice.clear();
    }
}

void EnforcementEngine::yieldToUi() {
    if (m_yield)
        m_yield();
}

QString EnforcementEngine::text(QString TextHolders::*holder) const {
    return (m_holders ? *m_holders : DesignTexts).*holder;
}

bool EnforcementEngine::skipped(const TcpRow& row) const {
    // Comparing the address fields is the same as comparing their texts with "127.0.0.1" and
    // "0.0.0.0", without building the texts.
    return row.localAddress == Localhost || row.localAddress == 0 ||
           row.state == platform::StateListen || row.state == platform::StateTimeWait;
}

int EnforcementEngine::firstMatch(const TcpRow& row) {
    // The table may have changed while the pass yielded; the index follows it before use.
    if (!m_index.isCurrentFor(m_rules))
        m_index.rebuild(m_rules);
    return m_index.firstMatch(row.remoteAddress, platform::portNumber(row.remotePort));
}

void EnforcementEngine::runPass() {
    if (m_passRunning)
        return;
    RunningGuard running(m_passRunning);

    const std::uint32_t result = m_tables.readTcp(m_rows);
    if (result == platform::ResultNotSupported) {
        // Said once per outage: a message on every tick would make the program unusable.
        if (!m_unsupportedShown && m_prompter) {
            m_unsupportedShown = true;
            m_prompter->message(QStringLiteral("IP Helper not supported!"), 0,
                                QStringLiteral("Tarvok"));
        }
        return;
    }
    m_unsupportedShown = false;
    if (result != platform::ResultOk)
        return; // the previous snapshot stays as it was

    const std::size_t count = m_rows.size();
    for (std::size_t i = 1; i <= count; ++i) {
        TcpRow row = m_rows[i - 1];
        if (!skipped(row)) {
            if (m_level == SecurityLevel::Block) {
                m_termination.cutRow(row); // unconditional: not counted, announced or recorded
                yieldToUi();
            } else if (m_level == SecurityLevel::Normal) {
                const int matched = firstMatch(row);
                if (matched != RuleIndex::NoMatch)
                    handleMatch(row, {matched, m_rules.isAccept(matched),
                                      m_rules.isLogged(matched)});
            }
        }
        // Row i of this pass at index i; other readers of the snapshot may have resized it
        // while the pass yielded, so it is sized again for every row.
        std::vector<TcpRow>& snapshot = m_tables.snapshot();
        snapshot.resize(i + 1);
        snapshot[i] = row;
    }
    yieldToUi();
}

void EnforcementEngine::handleMatch(TcpRow& row, const Match& match) {
    // The rule's position and switches were taken before any yield, so an edit made while
    // the pass yields cannot make it report another rule.
    const int position = match.row + 1;
    if (match.accept) {
        if (match.logged)
            record(row, classicStateName(row.state), position);
        if (m_events)
            m_events->flush();
        yieldToUi();
        return;
    }

    const std::uint32_t result = m_termination.cutRow(row);
    yieldToUi();
    if (result == platform::ResultOk) {
        ++m_cutCount;
        emit cutCountChanged(m_cutCount);
        m_pendingNotice = notice(row, position);
        if (match.logged)
            record(row, QStringLiteral("BLOCKED CONNECTION"), position);
    } else {
        // The connection lives on: neither counted nor announced, and the record says so.
        if (match.logged)
            record(row, text(&TextHolders::unableClose), position);
    }
    if (m_events)
        m_events->flush();
    yieldToUi();
}

void EnforcementEngine::record(const TcpRow& row, const QString& status, int position) {
    if (!m_events)
        return;
    const QLocale locale = QLocale::system();
    const QString remotePort = QString::number(portNumber(row.remotePort));
    EventRecord event{
        locale.toString(QTime::currentTime(), QLocale::ShortFormat) + QStringLiteral(" - ") +
            locale.toString(QDate::currentDate(), QLocale::ShortFormat),
        QStringLiteral("TCP"),
        addressText(row.localAddress),
        QString::number(portNumber(row.localPort)),
        addressText(row.remoteAddress),
        remotePort,
        serviceName(remotePort),
        status,
        QLatin1Char('(') + QString::number(position) + QLatin1Char(')'),
    };
    m_events->append(event, false);
}

QString EnforcementEngine::notice(const TcpRow& row, int position) const {
    const QString remotePort = QString::number(portNumber(row.remotePort));
    const QString time = QLocale::system().toString(QTime::currentTime(), QLocale::ShortFormat);
    const QChar newline = QLatin1Char('\n');
    return text(&TextHolders::hasBlocked) + newline +                                   //
           text(&TextHolders::remoteAddress) + u' ' + addressText(row.remoteAddress) + newline +
           text(&TextHolders::localPort) + QStringLiteral(": ") +
           QString::number(portNumber(row.localPort)) + newline +                       //
           text(&TextHolders::remotePort) + u' ' + remotePort + newline +               //
           text(&TextHolders::service) + QStringLiteral(": ") + serviceName(remotePort) + newline +
           text(&TextHolders::time) + u' ' + time + newline + newline +                 //
           text(&TextHolders::thisEvent) + QStringLiteral(" (#") + QString::number(position) +
           QLatin1Char(')');
}

} // namespace tarvok
