#include "monitor/ConnectionActions.h"

#include "engine/EngineServices.h"
#include "engine/Prompter.h"
#include "engine/ServiceNames.h"
#include "monitor/ProgramRules.h"
#include "monitor/RowTexts.h"

#include <QDate>

#include <cerrno>
#include <QLocale>
#include <QTime>

namespace tarvok {

namespace {
constexpr int KeyConfirmClose = 89;
constexpr int KeyNoPath = 91;
constexpr int KeyConfirmKill = 92;
constexpr int KeyKillTitle = 93;
constexpr int KeyUnableKill = 94;
constexpr int KeyCloseTitle = 25;
const QString Tcp = QStringLiteral("TCP");
const QString Udp = QStringLiteral("UDP");
} // namespace

ConnectionActions::ConnectionActions(ConnectionMonitor& monitor, ConnectionTables& tables,
                                     Prompter& prompter, const Localiser& language,
                                     QObject* parent)
    : QObject(parent), m_monitor(monitor), m_tables(tables), m_termination(tables),
      m_prompter(prompter), m_language(language),
      m_doubleClickMode([] { return QStringLiteral("1"); }) {}

QString ConnectionActions::text(int key) const { return m_language.text(QStringLiteral("Main"), key); }

bool ConnectionActions::confirmClose() const {
    return m_settings && m_settings->value(QStringLiteral("CloseConManually")) == QLatin1String("True");
}

void ConnectionActions::record(const QString& protocol, const QString& localAddress,
                               const QString& localPort, const QString& remoteAddress,
                               const QString& remotePort, const QString& service,
                               const QString& status) {
    if (!m_events)
        return;
    const QLocale locale = QLocale::system();
    EventRecord event;
    event.time = locale.toString(QTime::currentTime(), QLocale::ShortFormat) +
                 QStringLiteral(" - ") + locale.toString(QDate::currentDate(), QLocale::ShortFormat);
    event.protocol = protocol;
    event.localAddress = localAddress;
    event.localPort = localPort;
    event.remoteAddress = remoteAddress;
    event.remotePort = remotePort;
    event.service = service;
    event.status = status;
    m_events->append(event, true);
}

void ConnectionActions::closeConnection(View view, int row) {
    if (view == View::PerConnection)
        closePerConnection(row);
    else
        closePerApplication(row);
}

void ConnectionActions::closePerConnection(int row) {
    const ConnectionListModel& list = *m_monitor.perConnectionModel();
    if (row >= 0 && row < list.rowCount()) {
        const ListRow selected = list.row(row);
        const auto& cell = selected.cells;
        if (cell[0] == Udp) {
            m_prompter.message(text(KeyUnableClose) + QStringLiteral(": \n") + Udp +
                                   QStringLiteral(" [") + cell[2] + QLatin1Char(']'),
                               Prompter::Exclamation, text(KeyCloseTitle));
            record(Udp, cell[1], cell[2], QString(), QString(), QStringLiteral("-"),
                   text(KeyUnableClose));
        } else {
            const QString endpoints = QLatin1Char('[') + cell[1] + QLatin1Char(':') + cell[2] +
                                      QLatin1Char(':') + cell[3] + QLatin1Char(']');
            const bool go = !confirmClose() ||
                            m_prompter.message(text(KeyConfirmClose) + QStringLiteral(": \n") + endpoints,
                                               Prompter::Question, text(KeyCloseTitle)) == Prompter::Yes;
            if (go) {
                // The connection is found again by the row's own endpoints in a fresh read:
                // the table's order may have changed since the list was built.
                std::vector<TcpRow> rows;
                std::uint32_t result = m_tables.readTcp(rows);
                bool found = false;
                if (result == platform::ResultOk) {
                    result = ENOENT;
                    for (TcpRow& entry : rows) {
                        if (entry.state == platform::StateListen ||
                            monitor::localText(entry) != cell[1] ||
                            QString::number(portNumber(entry.localPort)) != cell[2] ||
                            monitor::remoteText(entry) != cell[3] ||
                            QString::number(portNumber(entry.remotePort)) != cell[4])
                            continue;
                        found = true;
                        result = m_termination.cutRow(entry);
                        break;
                    }
                }
                if (found && result == platform::ResultOk) {
                    record(Tcp, cell[1], cell[2], cell[3], cell[4], cell[5], text(KeyClosed));
                } else {
                    m_prompter.message(text(KeyUnableClose) + QStringLiteral(":\n") + endpoints,
                                       Prompter::Exclamation, text(KeyCloseTitle));
                    record(Tcp, cell[1], cell[2], cell[3], cell[4], cell[5], text(KeyUnableClose));
                }
            }
        }
    }
    m_monitor.RefreshConnections();
}

void ConnectionActions::closePerApplication(int row) {
    const ConnectionListModel& list = *m_monitor.perApplicationModel();
    if (row < 0 || row >= list.rowCount())
        return;
    const ListRow selected = list.row(row);
    const auto& cell = selected.cells;
    const QString& name = cell[0];
    if (cell[1] == Udp) {
        m_prompter.message(text(KeyUnableClose) + QStringLiteral(": \n") + name + QStringLiteral(" [") +
                               cell[3] + QLatin1Char(']'),
                           Prompter::Exclamation, text(KeyCloseTitle));
        record(Udp, cell[2], cell[3], QString(), QString(), QStringLiteral("-"), text(KeyUnableClose));
        return;
    }
    // Taken before any question: a rebuild may replace the rows while a dialog is open.
    const auto& owners = m_monitor.ownerTcpRows();
    const bool known = selected.tag >= 0 && static_cast<std::size_t>(selected.tag) < owners.size();
    TcpRow entry = known ? monitor::classicRow(owners[static_cast<std::size_t>(selected.tag)]) : TcpRow{};
    const QString endpoints = name + QStringLiteral(" [") + cell[3] + QLatin1Char(':') + cell[4] +
                              QLatin1Char(':') + cell[5] + QLatin1Char(']');
    if (confirmClose() &&
        m_prompter.message(text(KeyConfirmClose) + QStringLiteral(": \n") + endpoints,
                           Prompter::Question, text(KeyCloseTitle)) != Prompter::Yes)
        return;
    // The tag indexed the owner-aware rows this very list was built from.
    const bool cut = known && m_termination.cutRow(entry) == platform::ResultOk;
    if (cut) {
        record(Tcp, cell[2], cell[3], cell[4], cell[5], serviceName(cell[5]), text(KeyClosed));
        if (m_termination.tcpCountChanged())
            m_monitor.RefConNetworkTCP_UDP();
    } else {
        m_prompter.message(text(KeyUnableClose) + QStringLiteral(": \n") + endpoints,
                           Prompter::Exclamation, text(KeyCloseTitle));
        record(Tcp, cell[2], cell[3], cell[4], cell[5], serviceName(cell[5]), text(KeyUnableClose));
    }
}

void ConnectionActions::killProcess(int row) {
    const ConnectionListModel& list = *m_monitor.perApplicationModel();
    if (row < 0 || row >= list.rowCount())
        return;
    const ListRow selected = list.row(row);
    const QString& name = selected.cells[0];
    // The process id is taken before the question: a rebuild may replace the rows meanwhile.
    const auto tag = static_cast<std::size_t>(std::max(selected.tag, 0));
    const bool known = (selected.cells[1] == Tcp && tag < m_monitor.ownerTcpRows().size()) ||
                       (selected.cells[1] == Udp && tag < m_monitor.ownerUdpRows().size());
    const std::uint32_t pid = ownerPid(selected);
    if (m_prompter.message(text(KeyConfirmKill) + QStringLiteral(": (") + name + QLatin1Char(')'),
                           Prompter::ExclamationYesNo, text(KeyKillTitle)) != Prompter::Yes)
        return;
    if (!known)
        return;
    // The row's program, when its path could be read, is the only one the signal may reach.
    if (!platform::endProcess(pid, selected.cells[7].toStdString()))
        m_prompter.message(text(KeyUnableKill) + QStringLiteral(": ") + name, Prompter::Critical,
                           text(KeyKillTitle));
}

std::uint32_t ConnectionActions::ownerPid(const ListRow& row) const {
    const auto tag = static_cast<std::size_t>(std::max(row.tag, 0));
    if (row.cells[1] == Tcp && tag < m_monitor.ownerTcpRows().size())
        return m_monitor.ownerTcpRows()[tag].owningPid;
    if (row.cells[1] == Udp && tag < m_monitor.ownerUdpRows().size())
        return m_monitor.ownerUdpRows()[tag].owningPid;
    return 0;
}

bool ConnectionActions::hasProgram(int row) const {
    const ConnectionListModel& list = *m_monitor.perApplicationModel();
    return row >= 0 && row < list.rowCount() && list.cell(row, 7).startsWith(QLatin1Char('/'));
}

void ConnectionActions::programRule(int row, bool accept) {
    if (!hasProgram(row))
        return;
    const ListRow& selected = m_monitor.perApplicationModel()->row(row);
    // The path was read from the owner's exe link when the list was built.
    const monitor::ProgramFile file = monitor::programFileOf(ownerPid(selected), selected.cells[7]);
    emit programRuleRequested(file.path, accept,
                              monitor::programRuleDescription(m_language, file, accept));
}

void ConnectionActions::showDetails(View view, int row) {
    const ConnectionListModel& list = *m_monitor.model(view);
    if (view != View::PerApplication || row < 0 || row >= list.rowCount())
        return;
    const QString path = list.cell(row, 7);
    if (!path.isEmpty())
        emit propertiesRequested(path);
    else
        m_prompter.message(text(KeyNoPath) + QLatin1Char(' ') + list.cell(row, 0), Prompter::Critical,
                           m_language.text(QStringLiteral("Add"), 23));
}

QString ConnectionActions::remoteAddress(View view, int row) const {
    return m_monitor.model(view)->cell(row, view == View::PerConnection ? 3 : 4);
}

void ConnectionActions::resolveHost(View view, int row) {
    if (row < 0 || row >= m_monitor.model(view)->rowCount())
        return;
    emit resolveRequested(remoteAddress(view, row));
}

void ConnectionActions::doubleClicked(View view, int row) {
    if (m_doubleClickMode() == QLatin1String("1"))
        closeConnection(view, row);
    else if (view == View::PerApplication)
        showDetails(view, row);
}

bool ConnectionActions::keyTyped(View view, int code, int row) {
    if (m_monitor.model(view)->rowCount() == 0)
        return false;
    switch (code) {
    case CtrlC:
        if (row >= 0 && row < m_monitor.model(view)->rowCount())
            emit copyRequested(remoteAddress(view, row));
        return true;
    case Delete:
        closeConnection(view, row);
        return true;
    case CtrlH:
        resolveHost(view, row);
        return true;
    case CtrlK:
        if (view != View::PerApplication)
            return false;
        killProcess(row);
        return true;
    default:
        return false;
    }
}

} // namespace tarvok
