#include "monitor/ConnectionMonitor.h"

#include "engine/Prompter.h"
#include "engine/ServiceNames.h"
#include "monitor/RowTexts.h"
#include "platform/SocketOwners.h"

#include <QCoreApplication>
#include <QDate>
#include <QLocale>
#include <QThread>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <utility>

#include <string>
#include <sys/stat.h>

namespace tarvok {

using monitor::isAnyAddress;
using monitor::isLoopbackOrAny;

ConnectionMonitor::ConnectionMonitor(ConnectionTables& tables, QObject* parent)
    : QObject(parent), m_tables(tables),
      m_yield([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }) {
    m_perConnection.setObjectName(QStringLiteral("ListConnectionsModel"));
    m_perApplication.setObjectName(QStringLiteral("ListConnPROCModel"));
}

QString ConnectionMonitor::viewValue() const {
    return m_view == View::PerApplication ? QStringLiteral("RefConnXP") : QStringLiteral("RefConn");
}

void ConnectionMonitor::pause() {
    if (m_sinceYield.elapsed() >= YieldBudgetMs)
        yieldNow();
}

void ConnectionMonitor::yieldNow() {
    if (m_yield)
        m_yield();
    m_sinceYield.restart();
}

QString ConnectionMonitor::timeText() const {
    return timeText(m_clock ? m_clock() : QDateTime::currentDateTime(), QLocale::system());
}

QString ConnectionMonitor::timeText(const QDateTime& moment, const QLocale& locale) {
    return locale.toString(moment.time(), QLocale::ShortFormat) + QLatin1Char('-') +
           locale.toString(moment.date(), QLocale::ShortFormat);
}

void ConnectionMonitor::notSupported() {
    // A message box runs an event loop of its own; it never opens inside a rebuild, which
    // would stay suspended until the box is answered. It comes once the rebuild is over.
    if (m_rebuilding) {
        m_notSupportedPending = true;
        return;
    }
    if (m_prompter)
        m_prompter->message(QStringLiteral("IP Helper not supported!"), 0, QStringLiteral("Tarvok"));
}

const ConnectionMonitor::Program& ConnectionMonitor::program(std::uint32_t pid) {
    auto found = m_programs.find(pid);
    if (found == m_programs.end()) {
        // The row text is the executable's file name when its path can be read, else the
        // process name (or nothing); a process without a path gets the unknown picture.
        const platform::ProcessInfo info = platform::readProcess(pid);
        Program entry;
        entry.path = QString::fromStdString(info.imagePath);
        entry.name = entry.path.isEmpty() ? QString::fromStdString(info.name)
                                          : entry.path.mid(entry.path.lastIndexOf(QLatin1Char('/')) + 1);
        entry.icon = entry.path.isEmpty() ? QLatin1String(IconSource::UnknownProgram) : entry.path;
        // The file the process runs, stat through its exe link as the program rules' owners
        // are read, so that the rule column decides the row as the pass does.
        struct stat file {};
        if (pid != 0 && !entry.path.isEmpty() &&
            ::stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &file) == 0 &&
            S_ISREG(file.st_mode))
            entry.identity = ProgramIdentity{static_cast<std::uint64_t>(file.st_dev),
                                             static_cast<std::uint64_t>(file.st_ino)};
        found = m_programs.emplace(pid, std::move(entry)).first;
    }
    return found->second;
}

void ConnectionMonitor::RefreshConnections() { runRebuild(View::PerConnection); }
void ConnectionMonitor::RefConNetworkTCP_UDP() { runRebuild(View::PerApplication); }
void ConnectionMonitor::rebuildCurrent() { runRebuild(m_view); }

void ConnectionMonitor::runRebuild(View view) {
    if (m_rebuilding) {
        // Asked for while a rebuild yields: run once more after it, from the event loop, so
        // that the user's clicks and keys come between two rebuilds however busy the tables.
        m_rebuildAgain = true;
        return;
    }
    m_rebuilding = true;
    m_rebuildAgain = false;
    m_sinceYield.start();
    if (view == View::PerConnection)
        buildPerConnection();
    else
        buildPerApplication();
    m_rebuilding = false;
    if (std::exchange(m_rebuildAgain, false) && !m_rebuildQueued) {
        m_rebuildQueued = true;
        QTimer::singleShot(0, this, [this] {
            m_rebuildQueued = false;
            rebuildCurrent();
        });
    }
    if (std::exchange(m_notSupportedPending, false))
        notSupported();
}

void ConnectionMonitor::countWatcherTick() {
    const std::uint32_t result = m_tables.readTcp(m_countRows);
    if (result == platform::ResultNotSupported) {
        notSupported();
        return;
    }
    const bool read = result == platform::ResultOk;
    const std::uint32_t count = read ? static_cast<std::uint32_t>(m_countRows.size()) : m_lastReadCount;
    if (read)
        m_lastReadCount = count;
    const bool changed = count != m_lastSeenCount;
    // A failed read forces a rebuild on the next good tick.
    m_lastSeenCount = read ? count : 0;
    if (changed)
        rebuildCurrent();
}

void ConnectionMonitor::runOffThread(const std::function<void()>& work) {
    std::atomic<bool> done{false};
    const std::unique_ptr<QThread> thread(QThread::create([&work, &done] {
        work();
        done.store(true, std::memory_order_release);
    }));
    thread->start();
    // The GUI thread keeps handling timers and painting while the kernel is read.
    while (!done.load(std::memory_order_acquire)) {
        yieldNow();
        if (!done.load(std::memory_order_acquire))
            QThread::usleep(500);
    }
    thread->wait();
}

void ConnectionMonitor::buildPerConnection() {
    std::vector<ListRow> rows;
    std::vector<TcpRow> tcp;
    std::vector<platform::UdpRow> udp;
    std::vector<platform::UdpConnectionRow> udpEnds; // for the rule column
    std::uint32_t result = 0;
    std::uint32_t udpResult = 0;
    const bool withUdp = m_showUdp;
    // Owners come from what the pass has learnt (from the program filter, or its one walk of
    // /proc per new socket): the list never walks /proc itself.
    const bool programs = m_ownerOf && m_programsMatter && m_programsMatter();
    std::vector<platform::SocketId> ids, udpIds;
    runOffThread([&] {
        result = programs ? m_diag.readTcp(tcp, ids) : m_diag.readTcp(tcp);
        if (withUdp && result != platform::ResultNotSupported)
            udpResult = m_diag.readUdp(udp, &udpEnds, programs ? &udpIds : nullptr);
    });
    if (result == platform::ResultNotSupported) {
        notSupported();
        finish(View::PerConnection, {}, false);
        return;
    }
    const QString time = timeText();
    monitor::TextCache texts;
    if (result == platform::ResultOk) {
        rows.reserve(tcp.size());
        for (std::size_t i = 0; i < tcp.size(); ++i) {
            const TcpRow& entry = tcp[i];
            const QString local = texts.local(entry);
            if (isLoopbackOrAny(local) && !m_showLocal)
                continue;
            const bool listening = entry.state == platform::StateListen;
            if (listening && !m_showListening)
                continue;
            ListRow row;
            row.tag = static_cast<int>(i + 1);
            row.connection = entry;
            if (i < ids.size())
                if (const ProgramIdentity* owner = m_ownerOf(ids[i]))
                    row.program = *owner;
            const QString state = texts.classicState(entry.state);
            const QString remotePort = texts.port(entry.remotePort);
            row.cells = {QStringLiteral("TCP"),
                         local,
                         texts.port(entry.localPort),
                         listening ? QStringLiteral("localhost") : texts.remote(entry),
                         listening ? QStringLiteral("0") : remotePort,
                         listening ? QStringLiteral("-") : serviceName(remotePort),
                         state,
                         time};
            if (entry.state == platform::StateEstablished)
                row.icon = QLatin1String(IconSource::Established);
            else if (listening)
                row.icon = QLatin1String(IconSource::Listening);
            rows.push_back(std::move(row));
            pause();
        }
    }
    if (withUdp) {
        if (udpResult == platform::ResultNotSupported) {
            notSupported();
            finish(View::PerConnection, std::move(rows), false);
            return;
        }
        for (std::size_t j = 0; j < udp.size(); ++j) {
            const QString local = texts.local(udp[j]);
            if (isLoopbackOrAny(local) && !m_showLocal)
                continue;
            ListRow row;
            row.tag = static_cast<int>(j + 1);
            row.cells = {QStringLiteral("UDP"), local, texts.port(udp[j].localPort), QString(), QString(),
                         QString(), QStringLiteral("Unknown"), time};
            row.icon = QLatin1String(IconSource::Udp);
            row.connection = monitor::udpConnection(udpEnds[j]);
            row.udp = true;
            if (j < udpIds.size())
                if (const ProgramIdentity* owner = m_ownerOf(udpIds[j]))
                    row.program = *owner;
            rows.push_back(std::move(row));
            pause();
        }
    }
    finish(View::PerConnection, std::move(rows), true);
}

void ConnectionMonitor::buildPerApplication() {
    std::vector<platform::TcpOwnerRow> tcp;
    std::vector<platform::UdpOwnerRow> udp;
    std::vector<platform::UdpConnectionRow> udpEnds;
    bool tcpRead = false;
    bool udpRead = false;
    runOffThread([&] {
        // One walk over /proc/*/fd serves both owner-aware reads; it runs beside the TCP dump,
        // which waits for it only once it needs the owners.
        std::shared_future<platform::SocketOwners> owners =
            std::async(std::launch::async, [] { return platform::SocketOwners::scan(); }).share();
        const platform::SocketOwners::Reuse reuse(owners);
        tcpRead = m_diag.readTcpOwners(tcp) == platform::ResultOk;
        udpRead = m_diag.readUdpOwners(udp, &udpEnds) == platform::ResultOk;
    });
    m_programs.clear();
    // A failed read keeps the rows of the previous one, as the record arrays always did.
    if (!tcpRead)
        tcp = m_ownerTcp;
    if (!udpRead) {
        udp = m_ownerUdp;
        udpEnds = m_ownerUdpEnds;
    }

    std::vector<ListRow> rows;
    rows.reserve(tcp.size() + (m_showUdp ? udp.size() : 0));
    monitor::TextCache texts;
    const auto programRow = [this](std::uint32_t pid, ListRow& row) {
        const Program& owner = program(pid);
        row.cells[0] = owner.name;
        row.cells[7] = owner.path;
        row.icon = owner.icon;
        row.program = owner.identity;
    };
    for (std::size_t i = 0; i < tcp.size(); ++i) {
        const platform::TcpOwnerRow& entry = tcp[i];
        const QString local = texts.local(entry);
        if (isLoopbackOrAny(local) && !m_showLocal)
            continue;
        if (!m_showListening && entry.state == platform::StateListen)
            continue;
        ListRow row;
        row.tag = static_cast<int>(i);
        row.connection = monitor::classicRow(entry);
        programRow(entry.owningPid, row);
        const QString remote = texts.remote(entry);
        const bool noRemote = isAnyAddress(remote);
        row.cells[1] = QStringLiteral("TCP");
        row.cells[2] = local;
        row.cells[3] = texts.port(entry.localPort);
        row.cells[4] = noRemote ? QStringLiteral("localhost") : remote;
        row.cells[5] = noRemote ? QStringLiteral("0") : texts.port(entry.remotePort);
        row.cells[6] = texts.ownerState(entry.state);
        const QString& path = row.cells[7];
        if (!path.isEmpty() &&
            (entry.state == platform::StateEstablished || entry.state == platform::StateSynSent) &&
            !m_known.contains(path)) {
            m_known.insert(path);
            m_knownApplications.append(path);
            emit programAnnounced(path, remote, entry.owningPid);
        }
        rows.push_back(std::move(row));
        pause();
    }
    if (m_showUdp) {
        for (std::size_t j = 0; j < udp.size(); ++j) {
            const platform::UdpOwnerRow& entry = udp[j];
            const QString local = texts.local(entry);
            if (isLoopbackOrAny(local) && !m_showLocal)
                continue;
            ListRow row;
            row.tag = static_cast<int>(j);
            programRow(entry.owningPid, row);
            row.cells[1] = QStringLiteral("UDP");
            row.cells[2] = local;
            row.cells[3] = texts.port(entry.localPort);
            row.cells[6] = QStringLiteral("Unknown");
            row.connection = monitor::udpConnection(udpEnds[j]);
            row.udp = true;
            rows.push_back(std::move(row));
            pause();
        }
    }
    // The rows and the tables their tags point into change together, with no yield between.
    m_ownerTcp = std::move(tcp);
    m_ownerUdp = std::move(udp);
    m_ownerUdpEnds = std::move(udpEnds);
    finish(View::PerApplication, std::move(rows), true);
}

void ConnectionMonitor::sortRows(View view, std::vector<ListRow>& rows) const {
    sortByColumn(view, rows);
    // Per application, rows with a program come first, so that live programs are on the first
    // screen and the ownerless ones (TIME_WAIT) after them; the sort holds within each group.
    if (view == View::PerApplication)
        std::stable_partition(rows.begin(), rows.end(),
                              [](const ListRow& row) { return !row.cells[0].isEmpty(); });
}

void ConnectionMonitor::sortByColumn(View view, std::vector<ListRow>& rows) const {
    const ListSortState& state = sortState(view);
    if (!state.sorted || state.key < 0 || state.key >= ConnectionListModel::ColumnCount)
        return;
    const auto key = static_cast<std::size_t>(state.key);
    const bool ascending = state.order == 0;
    // The order of compareListText, with each text folded once rather than at every compare:
    // a sort of 20,000 rows then takes a few milliseconds.
    std::vector<std::pair<QString, std::size_t>> keys;
    keys.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        keys.emplace_back(rows[i].cells[key].toCaseFolded(), i);
    std::stable_sort(keys.begin(), keys.end(), [&rows, key, ascending](const auto& a, const auto& b) {
        int order = QString::compare(a.first, b.first);
        if (order == 0)
            order = QString::compare(rows[a.second].cells[key], rows[b.second].cells[key]);
        return ascending ? order < 0 : order > 0;
    });
    std::vector<ListRow> sorted;
    sorted.reserve(rows.size());
    for (const auto& entry : keys)
        sorted.push_back(std::move(rows[entry.second]));
    rows = std::move(sorted);
}

int ConnectionMonitor::findSelection(const std::vector<ListRow>& rows) const {
    // Every row is compared, so with several matches the last one is chosen.
    int found = -1;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].cells == m_selection)
            found = static_cast<int>(i);
    return found;
}

void ConnectionMonitor::finish(View view, std::vector<ListRow> rows, bool sortAndReselect) {
    if (sortAndReselect) {
        ListSortState& state = view == View::PerConnection ? m_sortPerConnection : m_sortPerApplication;
        const QString& memory = view == View::PerConnection ? m_sortMemory : m_sortMemoryXP;
        SortListViewAuto(state, memory.toInt());
        sortRows(view, rows);
        pause();
    }
    const int selected = sortAndReselect ? findSelection(rows) : -1;
    model(view)->update(std::move(rows));
    emit rebuilt(view, selected);
    if (view == View::PerApplication)
        yieldNow(); // the icons are drawn as the rows are painted
}

void ConnectionMonitor::rememberRow(View view, int row) {
    const ConnectionListModel* list = model(view);
    if (row < 0 || row >= list->rowCount())
        return;
    m_selection = list->row(row).cells;
}

void ConnectionMonitor::columnClicked(View view, int section) {
    ConnectionListModel* list = model(view);
    const int column = section + 1;
    if (list->rowCount() == 0 || column < 1 || column > ConnectionListModel::ColumnCount)
        return;
    ListSortState& state = view == View::PerConnection ? m_sortPerConnection : m_sortPerApplication;
    SortListView(state, column);
    (view == View::PerConnection ? m_sortMemory : m_sortMemoryXP) = QString::number(column);
    std::vector<ListRow> rows = list->rows();
    sortRows(view, rows);
    const int selected = findSelection(rows);
    list->update(std::move(rows));
    emit rebuilt(view, selected);
}

QString ConnectionMonitor::sortMemory(View view) const {
    return view == View::PerConnection ? m_sortMemory : m_sortMemoryXP;
}

const ListSortState& ConnectionMonitor::sortState(View view) const {
    return view == View::PerConnection ? m_sortPerConnection : m_sortPerApplication;
}

} // namespace tarvok
