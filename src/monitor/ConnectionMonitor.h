#pragma once
// The Activity tab's logic: the per-connection list (ListConnections) and the per-application
// list (ListConnPROC), the count watcher that rebuilds the visible one when the number of TCP
// entries changes, the display options, the selection and sort memories and the list of
// programs already announced in the alert window.
//
// A rebuild yields to the event loop (timers and painting only, never user input) on a time
// budget and never runs nested: a rebuild asked for while one yields runs once more after it,
// from the event loop, so user input is handled in between. The kernel's tables and the walk over /proc are read on a worker thread, through
// the monitor's own netlink socket, while the GUI thread goes on yielding: at 20,000 rows
// that read alone would hold the GUI for longer than a person notices.

#include "engine/ConnectionTables.h"
#include "engine/ProgramIdentity.h"
#include "monitor/ConnectionListModel.h"
#include "monitor/ListSorting.h"
#include "platform/Processes.h"
#include "platform/TableRows.h"

#include <QDateTime>
#include <QLocale>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tarvok {

class Localiser;
class Prompter;

class ConnectionMonitor : public QObject {
    Q_OBJECT
public:
    enum class View { PerConnection, PerApplication };
    // Longest stretch of a rebuild between two yields.
    static constexpr int YieldBudgetMs = 8;

    explicit ConnectionMonitor(ConnectionTables& tables, QObject* parent = nullptr);

    void setPrompter(Prompter* prompter) { m_prompter = prompter; }
    // Replaces the yield (by default the event loop without user input). Tests and benchmarks
    // hook in here.
    void setYield(std::function<void()> yield) { m_yield = std::move(yield); }
    // Whether the rules name a program now: while they do, the per-connection list learns the
    // program behind each TCP row too (a walk of /proc per rebuild, as the per-application
    // list makes), so that its rule column decides the row as the pass does.
    void setProgramsMatter(std::function<bool()> matter) { m_programsMatter = std::move(matter); }
    // The owner of a socket as the enforcement pass has learnt it, for the rule column.
    using OwnerLookup = std::function<const ProgramIdentity*(const platform::SocketId&)>;
    void setOwnerLookup(OwnerLookup lookup) { m_ownerOf = std::move(lookup); }
    // Replaces the clock of the rows' time texts (by default the current time).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    // The per-connection rows' time text of a moment.
    static QString timeText(const QDateTime& moment, const QLocale& locale);

    ConnectionListModel* perConnectionModel() { return &m_perConnection; }
    ConnectionListModel* perApplicationModel() { return &m_perApplication; }
    ConnectionListModel* model(View view) {
        return view == View::PerConnection ? &m_perConnection : &m_perApplication;
    }
    const ConnectionListModel* model(View view) const {
        return view == View::PerConnection ? &m_perConnection : &m_perApplication;
    }

    // The view value: "RefConnXP" per application (at start), "RefConn" per connection.
    View view() const { return m_view; }
    QString viewValue() const;
    void setView(View view) { m_view = view; }

    // The display options; setting one does not rebuild.
    bool showListening() const { return m_showListening; }
    bool showUdp() const { return m_showUdp; }
    bool showLocal() const { return m_showLocal; }
    void setShowListening(bool on) { m_showListening = on; }
    void setShowUdp(bool on) { m_showUdp = on; }
    void setShowLocal(bool on) { m_showLocal = on; }

    // Rebuilds.
    void RefreshConnections();
    void RefConNetworkTCP_UDP();
    void rebuildCurrent();
    bool rebuilding() const { return m_rebuilding; }

    // Timer1_IMPROVED: rebuilds the visible list when the TCP entry count changed.
    void countWatcherTick();

    // Selection memory: the eight texts of the row last clicked in either list.
    void rememberRow(View view, int row);
    const std::array<QString, 8>& selectionMemory() const { return m_selection; }

    // A header click (column 0-based as the view gives it) on a list with rows: flips the
    // order, sorts and remembers the column.
    void columnClicked(View view, int section);
    QString sortMemory(View view) const;
    const ListSortState& sortState(View view) const;

    // Programs already announced, in the order they were first seen.
    const QStringList& knownApplications() const { return m_knownApplications; }

    // The owner-aware rows the per-application list was built from; a row tag indexes them.
    const std::vector<platform::TcpOwnerRow>& ownerTcpRows() const { return m_ownerTcp; }
    const std::vector<platform::UdpOwnerRow>& ownerUdpRows() const { return m_ownerUdp; }

signals:
    // A program seen for the first time in an established or connecting TCP connection.
    void programAnnounced(const QString& path, const QString& remoteAddress, quint32 pid);
    // A list was rebuilt; row is the re-selected row, or -1 when no row matched the memory.
    void rebuilt(tarvok::ConnectionMonitor::View view, int row);

private:
    void runRebuild(View view);
    void buildPerConnection();
    void buildPerApplication();
    void finish(View view, std::vector<ListRow> rows, bool sortAndReselect);
    void sortRows(View view, std::vector<ListRow>& rows) const;
    void sortByColumn(View view, std::vector<ListRow>& rows) const;
    int findSelection(const std::vector<ListRow>& rows) const;
    void pause();
    void yieldNow();
    // Runs work on a thread of its own and yields until it is done.
    void runOffThread(const std::function<void()>& work);
    // A process as the rows show it: its row text, image path and icon key.
    struct Program {
        QString name;
        QString path;
        QString icon;
        std::optional<ProgramIdentity> identity; // the executable file, as the rules name it
    };
    const Program& program(std::uint32_t pid);
    QString timeText() const;
    void notSupported();

    ConnectionTables& m_tables;
    platform::SockDiag m_diag; // the rebuilds' own, used only by their worker thread
    Prompter* m_prompter = nullptr;
    std::function<void()> m_yield;
    std::function<QDateTime()> m_clock;
    std::function<bool()> m_programsMatter;
    OwnerLookup m_ownerOf;
    QElapsedTimer m_sinceYield;
    ConnectionListModel m_perConnection;
    ConnectionListModel m_perApplication;
    View m_view = View::PerApplication;
    bool m_showListening = true;
    bool m_showUdp = true;
    bool m_showLocal = true;
    bool m_rebuilding = false;
    bool m_rebuildAgain = false;
    bool m_rebuildQueued = false;
    bool m_notSupportedPending = false;

    std::uint32_t m_lastSeenCount = 0;
    std::uint32_t m_lastReadCount = 0;
    std::vector<platform::TcpRow> m_countRows; // reused by every tick

    std::array<QString, 8> m_selection;
    ListSortState m_sortPerConnection;
    ListSortState m_sortPerApplication;
    QString m_sortMemory = QStringLiteral("1");   // lblIndexSort
    QString m_sortMemoryXP = QStringLiteral("1"); // lblIndexSortXP

    QStringList m_knownApplications;
    QSet<QString> m_known;

    std::vector<platform::TcpOwnerRow> m_ownerTcp;
    std::vector<platform::UdpOwnerRow> m_ownerUdp;
    std::vector<platform::UdpConnectionRow> m_ownerUdpEnds; // the endpoints of m_ownerUdp's rows
    std::unordered_map<std::uint32_t, Program> m_programs; // read once per process and rebuild
};

} // namespace tarvok
