#include "shell/MainWindow.h"

#include "engine/EngineServices.h"
#include "monitor/ColumnWidths.h"
#include "monitor/ListStyle.h"
#include "shell/Resources.h"
#include "shell/MainWindowTables.h"
#include "shell/StatusPanels.h"
#include "shell/TrayIcon.h"
#include "shell/Twips.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QHeaderView>
#include <QMenuBar>
#include <QResizeEvent>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

namespace tarvok {

namespace {

using namespace mainwindow;

QMenu* addMenu(QWidget* owner, QMenuBar* bar, const char* name) {
    auto* menu = new QMenu(owner);
    menu->setObjectName(QLatin1String(name));
    menu->menuAction()->setObjectName(QLatin1String(name));
    if (bar)
        bar->addMenu(menu);
    return menu;
}

QAction* addEntry(QMenu* menu, const char* name, bool checkable = false) {
    QAction* action = menu->addAction(QString());
    action->setObjectName(QLatin1String(name));
    action->setCheckable(checkable);
    return action;
}

HeaderLabels* proxyOf(const QTreeView* list) {
    return list ? qobject_cast<HeaderLabels*>(list->model()) : nullptr;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    initResources();
    setObjectName(QStringLiteral("FrmMain"));
    setWindowTitle(QStringLiteral("Tarvok"));
    setWindowIcon(pictureIcon(Picture::App));

    measureColumnTexts(nullptr);
    buildMenus();
    buildToolbar();
    buildPages();
    buildContextMenus();
    buildStatusBar();

    setTexts([](const char*, int, const char* design) { return QString::fromUtf8(design); });
    setConnectionView(ConnectionView::PerApplication);
    // The design state: Normal level, the policy in force.
    setPanelPicture(1, Picture::LevelNormal);
    setPanelPicture(2, Picture::PolicyOn);

    setMinimumSize(twips::toPixels(MinimumWidthTwips, logicalDpiX()),
                   twips::toPixels(MinimumHeightTwips, logicalDpiY()));
    resize(minimumSize());
}

MainWindow::~MainWindow() {
    // The children outlive this part of the object: their last signals and events must not
    // reach it.
    for (QTreeView* view : findChildren<QTreeView*>()) {
        view->header()->disconnect(this);
        view->model()->disconnect(this);
    }
    for (QWidget* page : m_pages)
        page->removeEventFilter(this);
}

void MainWindow::buildMenus() {
    QMenuBar* bar = menuBar();

    QMenu* file = addMenu(this, bar, "mnuFile");
    addEntry(file, "mnuNew");
    QMenu* open = addMenu(this, nullptr, "mnuOpen");
    file->addMenu(open);
    addEntry(open, "mnuPolicyFile");
    addEntry(open, "mnuOpenLogFile");
    addEntry(file, "mnuSave");
    addEntry(file, "mnuSaveAs");
    file->addSeparator();
    addEntry(file, "mnuShutdown");

    QMenu* security = addMenu(this, bar, "mnuSecurity");
    auto* levels = new QActionGroup(this);
    levels->setObjectName(QStringLiteral("mnuLevel"));
    levels->setExclusive(true);
    for (const char* name : {"mnuLevel0", "mnuLevel1", "mnuLevel2"})
        levels->addAction(addEntry(security, name, true));
    levels->actions().at(1)->setChecked(true);
    security->addSeparator();
    addEntry(security, "mnuPauseFirewall", true);

    QMenu* options = addMenu(this, bar, "mnuOptions");
    addEntry(options, "mnuPreferences");
    options->addSeparator();
    addEntry(options, "mnuDisplayApp", true)->setChecked(true);
    addEntry(options, "mnuShowListeningPorts", true);
    addEntry(options, "mnuDisplayUDP", true);
    addEntry(options, "mnuDisplay0000127001", true);

    QMenu* help = addMenu(this, bar, "mnuHelp");
    addEntry(help, "mnuHelpF1")->setShortcut(QKeySequence::HelpContents);
    addEntry(help, "mnuCheckUpdate");
    help->addSeparator();
    addEntry(help, "mnuAbout");
}

void MainWindow::buildToolbar() {
    auto* toolbar = new QToolBar(this);
    toolbar->setObjectName(QStringLiteral("Toolbar1"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setIconSize(QSize(24, 24));
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar->toggleViewAction()->setEnabled(false);
    for (const ToolButton& button : ToolButtons) {
        if (!button.name) {
            toolbar->addSeparator();
            continue;
        }
        QAction* action = toolbar->addAction(pictureIcon(button.picture), QString());
        action->setObjectName(QLatin1String(button.name));
        action->setData(QLatin1String(button.key));
    }
    addToolBar(Qt::TopToolBarArea, toolbar);
}

void MainWindow::buildPages() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    const int side = twips::toPixels(SideMarginTwips, logicalDpiX());
    layout->setContentsMargins(side, side / 2, side, side / 2);

    m_tabs = new QTabWidget(central);
    m_tabs->setObjectName(QStringLiteral("TabStrip1"));
    m_tabs->setDocumentMode(false);
    layout->addWidget(m_tabs);
    setCentralWidget(central);

    for (int i = 0; i < PageCount; ++i) {
        auto* page = new QWidget(m_tabs);
        page->setObjectName(QStringLiteral("Pic%1").arg(i));
        auto* pageLayout = new QVBoxLayout(page);
        pageLayout->setContentsMargins(0, 0, 0, 0);
        pageLayout->setSpacing(0);
        page->installEventFilter(this);
        m_pages[i] = page;
        m_tabs->addTab(page, QString());
    }

    // The connection lists stay empty until the connection monitor gives them models.
    QTreeView* perConnection = addList(m_pages[ActivityPage], "ListConnections", false);
    QTreeView* perApplication = addList(m_pages[ActivityPage], "ListConnPROC", false);
    proxyOf(perConnection)->setSourceModel(new QStandardItemModel(0, 8, perConnection));
    proxyOf(perApplication)->setSourceModel(new QStandardItemModel(0, 8, perApplication));
    addList(m_pages[PolicyPage], "ListRules", false);
    addList(m_pages[LogPage], "ListLog", false);
    addList(m_pages[HistoryPage], "ListHistory", true);
}

QTreeView* MainWindow::addList(QWidget* page, const char* name, bool multiSelect) {
    auto* list = new QTreeView(page);
    list->setObjectName(QLatin1String(name));
    applyListStyle(list, multiSelect ? QAbstractItemView::ExtendedSelection
                                     : QAbstractItemView::SingleSelection);
    list->setHeader(new ListHeader(list));
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
    list->setModel(new HeaderLabels(list));
    wireColumnWidths(list, page);
    connect(list, &QWidget::customContextMenuRequested, this,
            [this, list](const QPoint& position) { showContextMenu(list, position); });
    page->layout()->addWidget(list);
    return list;
}

void MainWindow::buildContextMenus() {
    for (const ContextMenu& entry : contextMenus()) {
        QMenu* menu = addMenu(this, nullptr, entry.menu);
        for (const char* name : entry.entries) {
            if (!name) {
                menu->addSeparator();
                continue;
            }
            QAction* action =
                addEntry(menu, name, QLatin1String(name) == QLatin1String("mnuEnabledRule"));
            // The keys the connection lists take (the lists handle them; the menus show them).
            if (qstrcmp(entry.list, "ListConnections") == 0 ||
                qstrcmp(entry.list, "ListConnPROC") == 0) {
                const QString entryName = action->objectName();
                if (entryName.startsWith(QLatin1String("mnuBreakConn")))
                    action->setShortcut(QKeySequence::Delete);
                else if (entryName.startsWith(QLatin1String("mnuCopyRemAdd")))
                    action->setShortcut(QKeySequence::Copy);
            }
        }
    }
}

void MainWindow::buildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    m_statusPanels = new StatusPanels(bar);
    bar->addWidget(m_statusPanels, 1);
}

template <typename Lookup> void MainWindow::setTexts(const Lookup& lookup) {
    auto textOf = [&lookup](const Text& text) {
        return lookup(text.section, text.key, text.design);
    };
    for (const Text& text : MenuTexts) {
        if (QMenu* target = menu(QLatin1String(text.name)))
            target->setTitle(textOf(text));
        else if (QAction* target = action(QLatin1String(text.name)))
            target->setText(textOf(text));
    }
    for (const ToolButton& button : ToolButtons) {
        if (!button.name)
            continue;
        if (QAction* target = action(QLatin1String(button.name))) {
            target->setText(textOf(button.tip));
            target->setToolTip(textOf(button.tip));
        }
    }
    for (int i = 0; i < PageCount; ++i)
        m_tabs->setTabText(i, textOf(TabTexts[i]));
    for (int i = 0; i < PanelCount; ++i)
        m_statusPanels->setCaption(i + 1, textOf(PanelCaptions[i]),
                                   PanelTips[i].key ? textOf(PanelTips[i]) : QString());
    QHash<int, QString> meanings;
    for (const PictureMeaning& meaning : PictureMeanings)
        meanings.insert(static_cast<int>(meaning.picture), textOf(meaning.text));
    m_statusPanels->setMeanings(meanings);
    for (const Text& name : ListNames)
        list(QLatin1String(name.name))->setAccessibleName(textOf(name));
    for (const ListColumns& entry : listColumns()) {
        QStringList labels;
        for (const Column& column : entry.columns)
            labels.append(lookup("Main", column.key, column.design));
        if (HeaderLabels* proxy = proxyOf(list(QLatin1String(entry.list))))
            proxy->setLabels(labels);
    }
}

void MainWindow::applyLanguage(const Localiser& language) {
    setTexts([&language](const char* section, int key, const char*) {
        return language.text(QLatin1String(section), key);
    });
    measureColumnTexts(&language);
    // The columns make room for the new headers and texts.
    for (QWidget* page : m_pages)
        applyColumnWidths(page);
    layoutPanels(width());
}

void MainWindow::setModels(QAbstractItemModel* rules, QAbstractItemModel* log,
                           QAbstractItemModel* history) {
    proxyOf(list(QStringLiteral("ListRules")))->setSourceModel(rules);
    proxyOf(list(QStringLiteral("ListLog")))->setSourceModel(log);
    proxyOf(list(QStringLiteral("ListHistory")))->setSourceModel(history);
    for (int i = PolicyPage; i < PageCount; ++i)
        applyColumnWidths(m_pages[i]);
}

void MainWindow::setConnectionModels(QAbstractItemModel* perConnection,
                                     QAbstractItemModel* perApplication) {
    proxyOf(list(QStringLiteral("ListConnections")))->setSourceModel(perConnection);
    proxyOf(list(QStringLiteral("ListConnPROC")))->setSourceModel(perApplication);
    applyColumnWidths(m_pages[ActivityPage]);
}

void MainWindow::setConnectionView(ConnectionView view) {
    m_connectionView = view;
    const bool perApplication = view == ConnectionView::PerApplication;
    list(QStringLiteral("ListConnPROC"))->setVisible(perApplication);
    list(QStringLiteral("ListConnections"))->setVisible(!perApplication);
}

void MainWindow::setPanelText(int panel, const QString& text) {
    m_statusPanels->setText(panel, text);
}

QString MainWindow::panelMeaning(int panel) const { return m_statusPanels->meaning(panel); }

QString MainWindow::panelText(int panel) const { return m_statusPanels->text(panel); }

void MainWindow::setPanelPicture(int panel, const QIcon& picture) {
    // A picture given without its kind has no meaning to read out.
    m_statusPanels->setPicture(panel, picture);
}

void MainWindow::setPanelPicture(int panel, const QString& resourceName) {
    setPanelPicture(panel, resourceName.isEmpty() ? QIcon() : QIcon(resourceName));
}

void MainWindow::setPanelPicture(int panel, Picture picture) {
    m_statusPanels->setPicture(panel, pictureIcon(picture), static_cast<int>(picture));
}

QAction* MainWindow::action(const QString& objectName) const {
    return findChild<QAction*>(objectName);
}

QMenu* MainWindow::menu(const QString& objectName) const {
    return findChild<QMenu*>(objectName);
}

QTreeView* MainWindow::list(const QString& objectName) const {
    return findChild<QTreeView*>(objectName);
}

QWidget* MainWindow::page(int index) const {
    return index >= 0 && index < PageCount ? m_pages[index] : nullptr;
}

QWidget* MainWindow::panel(int panel) const { return m_statusPanels->panel(panel); }

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_closingForGood) {
        QMainWindow::closeEvent(event);
        return;
    }
    // The program goes on in the notification area. Without one, a hidden window could never
    // be reached again: it is only minimised.
    if (TrayIcon::availability()())
        hide();
    else
        showMinimized();
    event->ignore();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    layoutPanels(event->size().width());
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize) {
        for (QWidget* page : m_pages) {
            if (watched == page)
                applyColumnWidths(page);
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::layoutPanels(int windowWidth) { m_statusPanels->layoutFor(windowWidth); }

void MainWindow::showContextMenu(QTreeView* view, const QPoint& position) {
    QMenu* contextMenu = nullptr;
    for (const ContextMenu& entry : contextMenus()) {
        if (view->objectName() == QLatin1String(entry.list))
            contextMenu = menu(QLatin1String(entry.menu));
    }
    if (!contextMenu)
        return;
    // Removing or clearing history or log rows, or acting on a connection, means nothing
    // without rows.
    const QString name = view->objectName();
    if ((name == QLatin1String("ListHistory") || name == QLatin1String("ListLog") ||
         name == QLatin1String("ListConnections") || name == QLatin1String("ListConnPROC")) &&
        view->model()->rowCount() == 0)
        return;
    contextMenu->popup(view->viewport()->mapToGlobal(position));
}

} // namespace tarvok
