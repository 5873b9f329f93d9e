#pragma once
// What a person can do with a row of the connection lists: close its connection, copy its
// remote address, resolve it to a host name, show the program's file properties, block or allow
// the program and end its process; with the confirmations, messages and event records of each. The lists'
// menus, keys and double clicks all arrive here.

#include "engine/Termination.h"
#include "monitor/ConnectionMonitor.h"

#include <QObject>

#include <functional>

namespace tarvok {

class EventSink;
class Localiser;
class Prompter;
class SettingsStore;

class ConnectionActions : public QObject {
    Q_OBJECT
public:
    using View = ConnectionMonitor::View;

    // Key codes the lists act on, as the characters the keys give: Ctrl+C copies the remote
    // address, Delete closes the connection.
    enum Key { CtrlC = 3, Backspace = 8, CtrlH = 8, CtrlK = 11, CtrlR = 18, Delete = 127 };
    // The [Main] texts a manual close records as its status: failed, done.
    static constexpr int KeyUnableClose = 88;
    static constexpr int KeyClosed = 90;

    ConnectionActions(ConnectionMonitor& monitor, ConnectionTables& tables, Prompter& prompter,
                      const Localiser& language, QObject* parent = nullptr);

    void setEventSink(EventSink* events) { m_events = events; }
    void setSettings(const SettingsStore* settings) { m_settings = settings; }
    // "1": a double click closes the connection; "0": it shows the file properties (per
    // application) or does nothing (per connection).
    void setDoubleClickMode(std::function<QString()> mode) { m_doubleClickMode = std::move(mode); }

    // row is a row of the view's model, -1 when none is selected.
    void closeConnection(View view, int row);
    void killProcess(int row);
    // "Block this program" and "Allow this program" of the per-application list: asks for a
    // rule for the row's program at the top of the policy. A row whose program is not known
    // (another user's process, or none) asks for nothing.
    void programRule(int row, bool accept);
    // Whether the per-application row names a program such a rule can be made for.
    bool hasProgram(int row) const;
    void showDetails(View view, int row);
    void resolveHost(View view, int row);
    // The remote address of row, empty when there is no row.
    QString remoteAddress(View view, int row) const;
    void doubleClicked(View view, int row);
    // A key code typed on a list; true when it was one of the list's shortcuts. Nothing
    // happens on an empty list. Ctrl+R (rules from connections) is not handled here.
    bool keyTyped(View view, int code, int row);

signals:
    void copyRequested(const QString& text);
    void resolveRequested(const QString& address);
    void propertiesRequested(const QString& path);
    void programRuleRequested(const QString& path, bool accept, const QString& description);

private:
    void closePerConnection(int row);
    void closePerApplication(int row);
    void record(const QString& protocol, const QString& localAddress, const QString& localPort,
                const QString& remoteAddress, const QString& remotePort, const QString& service,
                const QString& status);
    QString text(int key) const;
    bool confirmClose() const;
    // The process id behind a per-application row, 0 when it is not known.
    std::uint32_t ownerPid(const ListRow& row) const;

    ConnectionMonitor& m_monitor;
    ConnectionTables& m_tables;
    Termination m_termination;
    Prompter& m_prompter;
    const Localiser& m_language;
    EventSink* m_events = nullptr;
    const SettingsStore* m_settings = nullptr;
    std::function<QString()> m_doubleClickMode;
};

} // namespace tarvok
