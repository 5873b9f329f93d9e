#include "monitor/ActivityTab.h"

#include "monitor/AlertRows.h"
#include "monitor/AlertWindow.h"
#include "monitor/ConnectionActions.h"
#include "monitor/FilePropertiesDialog.h"
#include "monitor/ProgramIcons.h"
#include "monitor/ResolveWindow.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTreeView>

namespace tarvok {

ActivityTab::ActivityTab(ConnectionMonitor& monitor, ConnectionActions& actions,
                         ProgramIcons& icons, Prompter& prompter, const Localiser& language,
                         QWidget* mainWindow, QTreeView* perConnection, QTreeView* perApplication,
                         const ActionLookup& action)
    : QObject(mainWindow), m_monitor(monitor), m_actions(actions), m_prompter(prompter),
      m_language(language), m_mainWindow(mainWindow), m_perConnection(perConnection),
      m_perApplication(perApplication) {
    monitor.perConnectionModel()->setIconSource(&icons);
    monitor.perApplicationModel()->setIconSource(&icons);
    m_alertRows = new AlertRows(prompter, language, this);
    m_alertRows->setIconSource(&icons);
    m_alert = new AlertWindow(*m_alertRows, language, mainWindow);
    m_resolve = new ResolveWindow(&prompter, language, nullptr);
    wireList(View::PerConnection);
    wireList(View::PerApplication);

    connect(&monitor, &ConnectionMonitor::rebuilt, this, &ActivityTab::reselect);
    connect(&monitor, &ConnectionMonitor::programAnnounced, this,
            [this](const QString& path, const QString& remote, quint32 pid) {
                m_alertRows->add(path, remote, pid);
                m_alert->announce();
            });
    connect(m_alert, &AlertWindow::detailsRequested, this, &ActivityTab::showProperties);
    connect(m_alert, &AlertWindow::resolveRequested, this, &ActivityTab::resolve);
    const auto copy = [](const QString& text) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(text);
    };
    connect(m_alert, &AlertWindow::copyRequested, this, copy);
    connect(&actions, &ConnectionActions::copyRequested, this, copy);
    connect(&actions, &ConnectionActions::resolveRequested, this, &ActivityTab::resolve);
    connect(&actions, &ConnectionActions::propertiesRequested, this, &ActivityTab::showProperties);
    connect(m_alertRows, &AlertRows::programRuleRequested, this, &ActivityTab::programRuleRequested);
    connect(&actions, &ConnectionActions::programRuleRequested, this,
            &ActivityTab::programRuleRequested);

    // The context menus and the display options.
    const auto on = [&action, this](const char* name, auto&& slot) {
        if (QAction* item = action(QLatin1String(name)))
            QObject::connect(item, &QAction::triggered, this, slot);
    };
    const View perConn = View::PerConnection;
    const View perApp = View::PerApplication;
    on("mnuBreakConnection", [this, perConn] { m_actions.closeConnection(perConn, commandRow(perConn)); });
    on("mnuBreakConnXP", [this, perApp] { m_actions.closeConnection(perApp, commandRow(perApp)); });
    on("mnuCopyRemAdd", [this, perConn, copy] {
        if (const int row = commandRow(perConn); row >= 0)
            copy(m_actions.remoteAddress(perConn, row));
    });
    on("mnuCopyRemAddXP", [this, perApp, copy] {
        if (const int row = commandRow(perApp); row >= 0)
            copy(m_actions.remoteAddress(perApp, row));
    });
    on("mnuResolveHost", [this, perConn] { m_actions.resolveHost(perConn, commandRow(perConn)); });
    on("mnuResolveHostXP", [this, perApp] { m_actions.resolveHost(perApp, commandRow(perApp)); });
    on("mnuProcessDetails", [this, perApp] { m_actions.showDetails(perApp, commandRow(perApp)); });
    on("mnuKillProcess", [this, perApp] { m_actions.killProcess(commandRow(perApp)); });
    on("mnuBlockProgramXP", [this, perApp] { m_actions.programRule(commandRow(perApp), false); });
    on("mnuAllowProgramXP", [this, perApp] { m_actions.programRule(commandRow(perApp), true); });
    m_programRule = {action(QStringLiteral("mnuBlockProgramXP")),
                     action(QStringLiteral("mnuAllowProgramXP"))};
    for (const auto& entry : {std::pair(perConn, "mnuShowRule"), std::pair(perApp, "mnuShowRuleXP")}) {
        const View view = entry.first;
        m_showRule[static_cast<std::size_t>(view)] = action(QLatin1String(entry.second));
        on(entry.second, [this, view] {
            if (const int rule = ruleOfRow(view, commandRow(view)); rule >= 0 && showRule)
                showRule(rule);
        });
    }

    // The monitor is named outright rather than through a captured this: GCC's vptr check
    // takes a member reached through the closure for one of the closure itself.
    ConnectionMonitor* const watched = &m_monitor;
    const auto option = [&action, watched, this](const char* name, void (ConnectionMonitor::*set)(bool)) {
        QAction* item = action(QLatin1String(name));
        if (!item)
            return;
        (watched->*set)(item->isChecked());
        QObject::connect(item, &QAction::toggled, this, [watched, set](bool checked) {
            (watched->*set)(checked);
            watched->rebuildCurrent();
        });
    };
    option("mnuShowListeningPorts", &ConnectionMonitor::setShowListening);
    option("mnuDisplayUDP", &ConnectionMonitor::setShowUdp);
    option("mnuDisplay0000127001", &ConnectionMonitor::setShowLocal);
    if (QAction* display = action(QStringLiteral("mnuDisplayApp"))) {
        display->setCheckable(true);
        connect(display, &QAction::triggered, this, [this](bool checked) {
            const View view = checked ? View::PerApplication : View::PerConnection;
            m_monitor.setView(view);
            if (onViewChanged)
                onViewChanged(view);
            m_monitor.rebuildCurrent();
        });
    }
}

ActivityTab::~ActivityTab() {
    delete m_alert;
    delete m_resolve;
}

QTreeView* ActivityTab::list(View view) const {
    return view == View::PerConnection ? m_perConnection : m_perApplication;
}

int ActivityTab::selectedRow(View view) const {
    QTreeView* view_ = list(view);
    if (!view_ || !view_->selectionModel())
        return -1;
    const QModelIndexList rows = view_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void ActivityTab::wireList(View view) {
    QTreeView* widget = list(view);
    if (!widget)
        return;
    widget->installEventFilter(this);
    widget->header()->setSectionsClickable(true);
    connect(widget->header(), &QHeaderView::sectionClicked, this, [this, view](int section) {
        m_ownChange = true;
        m_monitor.columnClicked(view, section);
        m_ownChange = false;
    });
    // Every row the user makes current (a click of either button, the arrow keys) is
    // remembered; rows that the program re-selects or that a rebuild moves are not.
    connect(widget->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this, view](const QModelIndex& current) {
                if (m_ownChange || m_monitor.rebuilding() || !current.isValid())
                    return;
                m_monitor.rememberRow(view, current.row());
                m_menuRows[static_cast<std::size_t>(view)].open = false;
            });
    connect(widget, &QAbstractItemView::clicked, this,
            [this, view](const QModelIndex& index) { m_monitor.rememberRow(view, index.row()); });
    connect(widget, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& position) { menuOpened(view, position); });
    connect(widget, &QAbstractItemView::doubleClicked, this,
            [this, view](const QModelIndex& index) { m_actions.doubleClicked(view, index.row()); });
}

void ActivityTab::reselect(View view, int row) {
    QTreeView* widget = list(view);
    if (!widget || !widget->selectionModel())
        return;
    // The row that matches the selection memory is selected; the scroll position stays where
    // the user left it.
    if (row < 0) {
        widget->selectionModel()->clearSelection();
        return;
    }
    if (selectedRow(view) == row)
        return;
    // A new current row would scroll the view to it; the reader's place wins.
    const bool autoScroll = widget->hasAutoScroll();
    widget->setAutoScroll(false);
    m_ownChange = true;
    widget->selectionModel()->setCurrentIndex(
        widget->model()->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_ownChange = false;
    widget->setAutoScroll(autoScroll);
}

void ActivityTab::menuOpened(View view, const QPoint& position) {
    const QModelIndex index = list(view)->indexAt(position);
    MenuRow& menu = m_menuRows[static_cast<std::size_t>(view)];
    menu.open = true;
    menu.cells = {};
    if (index.isValid())
        menu.cells = m_monitor.model(view)->row(index.row()).cells;
    // The menu is open by now; an entry changed while it shows is drawn as it is.
    if (QAction* showRuleEntry = m_showRule[static_cast<std::size_t>(view)])
        showRuleEntry->setEnabled(ruleOfRow(view, index.isValid() ? index.row() : -1) >= 0);
    if (view == View::PerApplication)
        for (QAction* entry : m_programRule)
            if (entry)
                entry->setEnabled(m_actions.hasProgram(index.isValid() ? index.row() : -1));
}

int ActivityTab::ruleOfRow(View view, int row) const {
    const ConnectionListModel& rows = *m_monitor.model(view);
    if (row < 0 || row >= rows.rowCount() || !decidingRule || !rows.row(row).connection)
        return -1;
    const ListRow& entry = rows.row(row);
    return decidingRule(*entry.connection, entry.udp, entry.program ? &*entry.program : nullptr);
}

void ActivityTab::setRuleColumn(const ConnectionListModel::RuleColumn& column) {
    m_monitor.perConnectionModel()->setRuleColumn(column);
    m_monitor.perApplicationModel()->setRuleColumn(column);
}

void ActivityTab::rulesChanged() {
    m_monitor.perConnectionModel()->rulesChanged();
    m_monitor.perApplicationModel()->rulesChanged();
}

int ActivityTab::commandRow(View view) const {
    const MenuRow& menu = m_menuRows[static_cast<std::size_t>(view)];
    if (!menu.open)
        return selectedRow(view);
    const ConnectionListModel& rows = *m_monitor.model(view);
    for (int i = 0; i < rows.rowCount(); ++i)
        if (rows.row(i).cells == menu.cells)
            return i;
    return -1;
}

bool ActivityTab::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const View view = watched == m_perConnection ? View::PerConnection : View::PerApplication;
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool control = key->modifiers() & Qt::ControlModifier;
    int code = 0;
    if (key->matches(QKeySequence::Copy))
        code = ConnectionActions::CtrlC;
    else if (key->matches(QKeySequence::Delete))
        code = ConnectionActions::Delete;
    else if ((control && key->key() == Qt::Key_H) || key->key() == Qt::Key_Backspace)
        code = ConnectionActions::CtrlH;
    else if (control && key->key() == Qt::Key_K)
        code = ConnectionActions::CtrlK;
    if (code != 0 && m_actions.keyTyped(view, code, selectedRow(view)))
        return true;
    return QObject::eventFilter(watched, event);
}

void ActivityTab::resolve(const QString& address) { m_resolve->resolve(address); }

void ActivityTab::showProperties(const QString& path) {
    auto* dialog = new FilePropertiesDialog(path, m_language, m_alert->isVisible() ? m_alert : m_mainWindow);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

} // namespace tarvok
