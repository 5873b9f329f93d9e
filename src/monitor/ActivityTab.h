#pragma once
// Wires the Activity tab's two lists, their menus and the display options of the Options menu
// to the connection monitor and its actions, and owns the windows the actions open: the alert
// window, the host-resolution window and the file-properties dialog.

#include "monitor/ConnectionMonitor.h"

#include <QObject>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QTreeView;
class QWidget;

namespace tarvok {

class AlertRows;
class AlertWindow;
class ConnectionActions;
class Localiser;
class ProgramIcons;
class Prompter;
class ResolveWindow;

class ActivityTab : public QObject {
    Q_OBJECT
public:
    using View = ConnectionMonitor::View;
    using ActionLookup = std::function<QAction*(const QString& objectName)>;

    // mainWindow is disabled while the alert window is open; action finds the menu entries.
    ActivityTab(ConnectionMonitor& monitor, ConnectionActions& actions, ProgramIcons& icons,
                Prompter& prompter, const Localiser& language, QWidget* mainWindow,
                QTreeView* perConnection, QTreeView* perApplication, const ActionLookup& action);
    ~ActivityTab() override;

    // Called when the view switch changes the visible list (the caller shows and hides them).
    std::function<void(View)> onViewChanged;
    // "Show the rule" of both lists: the 0-based row of the rule that decides a connection
    // now (-1 for none; udp for a connected UDP socket), and what selects that rule on the
    // Policy tab.
    std::function<int(const platform::TcpRow&, bool udp, const ProgramIdentity* owner)> decidingRule;
    std::function<void(int rule)> showRule;
    // The rule column of both lists (see ConnectionListModel::setRuleColumn), and the news
    // that its texts may have changed.
    void setRuleColumn(const ConnectionListModel::RuleColumn& column);
    void rulesChanged();

    int selectedRow(View view) const;
    // The row a context-menu command acts on: the row under the menu when it opened (found
    // again by its texts if the list was rebuilt meanwhile, -1 when it has gone), else the
    // selected row.
    int commandRow(View view) const;
    AlertWindow* alertWindow() const { return m_alert; }
    AlertRows* alertRows() const { return m_alertRows; }
    ResolveWindow* resolveWindow() const { return m_resolve; }
    // The address a resolve command is given, also for the log list.
    void resolve(const QString& address);
    void showProperties(const QString& path);

signals:
    // A rule for the program at path (accept, or block) is wanted at the top of the policy:
    // the alert's Block, or the per-application list's "Block this program" and "Allow this
    // program".
    void programRuleRequested(const QString& path, bool accept, const QString& description);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QTreeView* list(View view) const;
    void wireList(View view);
    void reselect(View view, int row);
    void menuOpened(View view, const QPoint& position);
    // The rule that decides the connection of a row, or -1.
    int ruleOfRow(View view, int row) const;

    struct MenuRow {
        bool open = false;
        std::array<QString, 8> cells;
    };

    ConnectionMonitor& m_monitor;
    ConnectionActions& m_actions;
    Prompter& m_prompter;
    const Localiser& m_language;
    QWidget* m_mainWindow;
    QTreeView* m_perConnection;
    QTreeView* m_perApplication;
    AlertRows* m_alertRows;
    AlertWindow* m_alert;
    ResolveWindow* m_resolve;
    std::array<MenuRow, 2> m_menuRows;
    std::array<QAction*, 2> m_showRule{}; // "Show the rule" of each list's menu
    std::array<QAction*, 2> m_programRule{}; // "Block this program", "Allow this program"
    bool m_ownChange = false; // the selection is being set by the program, not the user
};

} // namespace tarvok
