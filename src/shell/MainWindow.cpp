#include "shell/MainWindow.h"

#include "engine/EngineServices.h"
#include "monitor/ListStyle.h"
#include "shell/Resources.h"
#include "shell/Twips.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QResizeEvent>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

namespace tarvok {

// Gives a list its column headers, whatever model it shows.
class HeaderProxy : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    void setLabels(const QStringList& labels) {
        m_labels = labels;
        if (columnCount() > 0)
            emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        // The tooltip shows a header whole when its column is too narrow for it.
        if (orientation == Qt::Horizontal &&
            (role == Qt::DisplayRole || role == Qt::ToolTipRole) && section >= 0 &&
            section < m_labels.size())
            return m_labels.at(section);
        return QIdentityProxyModel::headerData(section, orientation, role);
    }

private:
    QStringList m_labels;
};

// Places the status-bar panels side by side at the widths the window gives them. The strip
// claims no minimum width, so the panels never hold the window wider than its own minimum.
class PanelStrip : public QWidget {
public:
    using QWidget::QWidget;

    void setPanels(const std::array<QWidget*, MainWindow::PanelCount>& panels) {
        m_panels = panels;
    }
    void setWidths(const std::array<int, MainWindow::PanelCount>& widths) {
        m_widths = widths;
        place();
    }

protected:
    void resizeEvent(QResizeEvent*) override { place(); }

private:
    void place() {
        int x = 0;
        for (int i = 0; i < MainWindow::PanelCount; ++i) {
            if (!m_panels[i])
                continue;
            m_panels[i]->setGeometry(x, 0, m_widths[i], height());
            x += m_widths[i];
        }
    }

    std::array<QWidget*, MainWindow::PanelCount> m_panels{};
    std::array<int, MainWindow::PanelCount> m_widths{};
};

// A panel's text. A text wider than its panel ends in an ellipsis, so that a cut shows as one.
class PanelText : public QWidget {
public:
    using QWidget::QWidget;

    QString text() const { return m_text; }
    void setText(const QString& text) {
        if (text == m_text)
            return;
        m_text = text;
        // The text is painted, not held by a label: assistive technology reads it here.
        setAccessibleName(text);
        updateGeometry();
        update();
    }
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(m_text), fontMetrics().height()};
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        const QRect area = contentsRect();
        // A figure a little too wide for its narrow panel ("In: 2346 KB/s") is drawn up to a
        // fifth smaller before it is cut, so that the number stays readable.
        QFont smaller = font();
        if (QFontMetrics(smaller).horizontalAdvance(m_text) > area.width() &&
            smaller.pointSizeF() > 0) {
            const qreal size = smaller.pointSizeF();
            for (qreal scale = 0.95; scale >= 0.8; scale -= 0.05) {
                smaller.setPointSizeF(size * scale);
                if (QFontMetrics(smaller).horizontalAdvance(m_text) <= area.width())
                    break;
            }
            painter.setFont(smaller);
        }
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         painter.fontMetrics().elidedText(m_text, Qt::ElideRight, area.width()));
    }

private:
    QString m_text;
};

namespace {

// Window size limits, in twips.
constexpr int MinimumWidthTwips = 10095;
constexpr int MinimumHeightTwips = 8945;
// The tab strip is 250 twips narrower than the window.
constexpr int SideMarginTwips = 125;

// Status-bar panel widths: the window width divided by these, panels 1 to 7.
constexpr std::array<double, MainWindow::PanelCount> PanelDivisors = {6, 5, 8, 6.5, 7.5, 10.5, 10};

// A list column: its header text and its width as a fraction of the page width (0: the column
// keeps its width).
struct Column {
    int key;
    const char* design;
    double fraction;
};
struct ListColumns {
    const char* list;
    std::initializer_list<Column> columns;
};

const std::array<ListColumns, 5>& listColumns() {
    static const std::array<ListColumns, 5> lists = {{
        {"ListConnections",
         {{48, "Protocol", 0.06},
          {49, "Local Address", 0.10},
          {50, "Local Port", 0.12},
          {51, "Remote Address", 0.12},
          {52, "Remote Port", 0.12},
          {53, "Service", 0.12},
          {54, "Status", 0.12},
          {55, "Time - Date", 0.20}}},
        {"ListConnPROC",
         {{56, "Process", 0.14},
          {48, "Protocol", 0.06},
          {49, "Local Address", 0.13},
          {50, "Local Port", 0.09},
          {51, "Remote Address", 0.13},
          {52, "Remote Port", 0.09},
          {54, "Status", 0.12},
          {57, "Path", 0.35}}},
        {"ListRules",
         {{58, "Action", 0.10},
          {59, "Rule #", 0.04},
          {60, "Enabled", 0.08},
          {51, "Remote Address", 0.13},
          {52, "Remote Port", 0.10},
          {61, "Log Events", 0.08},
          {62, "Description", 0.25},
          {48, "Protocol", 0}}},
        {"ListLog",
         {{55, "Time - Date", 0.14},
          {48, "Protocol", 0.06},
          {49, "Local Address", 0.11},
          {50, "Local Port", 0.11},
          {51, "Remote Address", 0.11},
          {52, "Remote Port", 0.09},
          {53, "Service", 0.10},
          {54, "Status", 0.15},
          {59, "Rule #", 0}}},
        {"ListHistory",
         {{63, "Date", 0.10},
          {64, "Session", 0.17},
          {65, "Received", 0.135},
          {66, "Sent", 0.135},
          {67, "Total", 0.14},
          {68, "Blocked Attempts", 0.12}}},
    }};
    return lists;
}

const ListColumns* columnsOf(const QString& list) {
    for (const ListColumns& entry : listColumns())
        if (list == QLatin1String(entry.list))
            return &entry;
    return nullptr;
}

// A localised text: the object it captions, where the language keeps it, the built-in text.
struct Text {
    const char* name;
    const char* section;
    int key;
    const char* design;
};

// Captions of menus and menu entries.
constexpr Text MenuTexts[] = {
    {"mnuFile", "Main", 1, "&File"},
    {"mnuNew", "Main", 2, "New Policy file"},
    {"mnuOpen", "Main", 3, "Open"},
    {"mnuPolicyFile", "Main", 4, "Policy file..."},
    {"mnuOpenLogFile", "Main", 5, "Log file..."},
    {"mnuSave", "Main", 6, "Save Policy"},
    {"mnuSaveAs", "Main", 7, "Save Policy As..."},
    {"mnuShutdown", "Main", 8, "Exit"},
    {"mnuSecurity", "Main", 9, "&Security"},
    {"mnuLevel0", "Main", 10, "Allow All Traffic"},
    {"mnuLevel1", "Main", 11, "Filter Traffic"},
    {"mnuLevel2", "Main", 12, "Block All Traffic"},
    {"mnuPauseFirewall", "Main", 13, "Pause Firewall"},
    {"mnuOptions", "Main", 14, "&Options"},
    {"mnuPreferences", "Main", 15, "Preferences..."},
    {"mnuDisplayApp", "Main", 16, "Display Applications"},
    {"mnuShowListeningPorts", "Main", 17, "Display Listening Connections"},
    {"mnuDisplayUDP", "Main", 18, "Display UDP Protocol"},
    {"mnuDisplay0000127001", "Main", 19, "Display 0.0.0.0 and 127.0.0.1"},
    {"mnuHelp", "Main", 20, "&Help"},
    {"mnuHelpF1", "Main", 20, "Help..."},
    {"mnuCheckUpdate", "Main", 21, "Check for updates..."},
    {"mnuAbout", "Main", 24, "About..."},
    {"mnuBreakConnection", "Main", 25, "Close Connection"},
    {"mnuReject", "Main", 26, "Create a New Rule..."},
    {"mnuCopyRemAdd", "Main", 27, "Copy Remote Address"},
    {"mnuResolveHost", "Main", 28, "Resolve Host"},
    {"mnuAddRule", "Main", 29, "Add a New Rule..."},
    {"mnuEditRule", "Main", 30, "Edit Selected Rule..."},
    {"mnuDeleteRule", "Main", 31, "Delete Selected Rule"},
    {"mnuEnabledRule", "Main", 32, "Enabled"},
    {"mnuCreateRuleLog", "Main", 26, "Create a New Rule..."},
    {"mnuCopyText", "Main", 33, "Copy Text"},
    {"mnuResolveHostLog", "Main", 28, "Resolve Host"},
    {"mnuClearLogWindow", "Main", 34, "Clear Log Window"},
    {"mnuClearSelectionHistory", "Main", 35, "Remove Selection"},
    {"mnuClearAllHistory", "Main", 36, "Clear All History"},
    {"mnuBreakConnXP", "Main", 25, "Close Connection"},
    {"mnuRejectXP", "Main", 26, "Create a New Rule..."},
    {"mnuCopyRemAddXP", "Main", 27, "Copy Remote Address"},
    {"mnuResolveHostXP", "Main", 28, "Resolve Host"},
    {"mnuProcessDetails", "Main", 37, "Process Details..."},
    {"mnuKillProcess", "Main", 38, "Kill Process!"},
};

// Toolbar buttons in order (nullptr: a separator), with their key, picture and tooltip.
struct ToolButton {
    const char* name;
    const char* key;
    Picture picture;
    Text tip;
};
constexpr ToolButton ToolButtons[] = {
    {nullptr, nullptr, Picture::App, {}},
    {"tbNew", "new", Picture::New, {"tbNew", "Main", 39, "New policy file"}},
    {"tbOpen", "open", Picture::Open, {"tbOpen", "Main", 40, "Open policy file..."}},
    {"tbSave", "save", Picture::Save, {"tbSave", "Main", 41, "Save policy file"}},
    {"tbAdd", "add", Picture::Add, {"tbAdd", "Add", 1, "Create a new rule..."}},
    {"tbEdit", "edit", Picture::Edit, {"tbEdit", "Add", 33, "Edit selected rule..."}},
    {"tbDelete", "delete", Picture::Delete, {"tbDelete", "Main", 31, "Delete selected rule..."}},
    {"tbUp", "up", Picture::Up, {"tbUp", "Main", 42, "Move up selected rule"}},
    {"tbDown", "down", Picture::Down, {"tbDown", "Main", 43, "Move down selected rule"}},
    {nullptr, nullptr, Picture::App, {}},
    {"tbPreferences",
     "preferences",
     Picture::Preferences,
     {"tbPreferences", "Main", 15, "Preferences..."}},
    {"tbAbout", "about", Picture::About, {"tbAbout", "Main", 24, "About"}},
    {"tbHelp", "help", Picture::Help, {"tbHelp", "Main", 20, "Help"}},
};

constexpr Text TabTexts[] = {
    {"Pic0", "Main", 44, "Activity"},
    {"Pic1", "Main", 45, "Policy"},
    {"Pic2", "Main", 46, "Log"},
    {"Pic3", "Main", 47, "History"},
};

constexpr Text PanelCaptions[MainWindow::PanelCount] = {
    {"Panel1", "Main", 69, "Firewall: Active"},
    {"Panel2", "Main", 70, "Policy:"},
    {"Panel3", "Main", 71, "Established:"},
    {"Panel4", "Main", 65, "Received: 0.00 MB"},
    {"Panel5", "Main", 66, "Sent: 0.00 MB"},
    {"Panel6", "Main", 72, "In: "},
    {"Panel7", "Main", 73, "Out:"},
};

// Panels 1 and 2 have no tooltip (key 0).
constexpr Text PanelTips[MainWindow::PanelCount] = {
    {"Panel1", "Main", 0, ""},
    {"Panel2", "Main", 0, ""},
    {"Panel3", "Main", 74, "Total established connections"},
    {"Panel4", "Main", 75, "Traffic received"},
    {"Panel5", "Main", 76, "Traffic sent"},
    {"Panel6", "Main", 77, "Download speed"},
    {"Panel7", "Main", 78, "Upload speed"},
};

// What the pictures of panels 1 and 2 mean, read out with the panel's text.
struct PictureMeaning {
    Picture picture;
    Text text;
};
constexpr PictureMeaning PictureMeanings[] = {
    {Picture::LevelAllow, {"", "Main", 10, "Allow All Traffic"}},
    {Picture::LevelNormal, {"", "Main", 11, "Filter Traffic"}},
    {Picture::LevelBlock, {"", "Main", 12, "Block All Traffic"}},
    {Picture::Paused, {"", "Main", 79, "Firewall: Paused"}},
    {Picture::PolicyOn, {"", "Main", 150, "Policy in force"}},
    {Picture::PolicyOff, {"", "Main", 151, "Policy not in force"}},
};

// Which list shows which context menu.
struct ContextMenu {
    const char* list;
    const char* menu;
    std::initializer_list<const char*> entries; // nullptr: a separator
};
const std::array<ContextMenu, 5>& contextMenus() {
    static const std::array<ContextMenu, 5> menus = {{
        {"ListConnections",
         "mnuListConnections",
         {"mnuBreakConnection", "mnuReject", "mnuCopyRemAdd", nullptr, "mnuResolveHost"}},
        {"ListRules",
         "mnuListRules",
         {"mnuAddRule", "mnuEditRule", "mnuDeleteRule", nullptr, "mnuEnabledRule"}},
        {"ListLog",
         "mnuListLog",
         {"mnuCreateRuleLog", "mnuCopyText", "mnuResolveHostLog", nullptr, "mnuClearLogWindow"}},
        {"ListHistory",
         "mnuListHistory",
         {"mnuClearSelectionHistory", nullptr, "mnuClearAllHistory"}},
        {"ListConnPROC",
         "mnuListConnXP",
         {"mnuBreakConnXP", "mnuRejectXP", "mnuCopyRemAddXP", "mnuResolveHostXP", nullptr,
          "mnuProcessDetails", "mnuKillProcess"}},
    }};
    return menus;
}

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

HeaderProxy* proxyOf(const QTreeView* list) {
    return list ? dynamic_cast<HeaderProxy*>(list->model()) : nullptr;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    initResources();
    setObjectName(QStringLiteral("FrmMain"));
    setWindowTitle(QStringLiteral("Tarvok"));
    setWindowIcon(pictureIcon(Picture::App));

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
    for (QTreeView* view : findChildren<QTreeView*>())
        view->header()->disconnect(this);
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
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
    list->setModel(new HeaderProxy(list));

    // A new model brings new sections at default widths: size them again.
    connect(list->header(), &QHeaderView::sectionCountChanged, this,
            [this, list, page] { applyColumnWidths(list, page->width()); });
    connect(list, &QWidget::customContextMenuRequested, this,
            [this, list](const QPoint& position) { showContextMenu(list, position); });
    page->layout()->addWidget(list);
    return list;
}

void MainWindow::buildContextMenus() {
    for (const ContextMenu& entry : contextMenus()) {
        QMenu* menu = addMenu(this, nullptr, entry.menu);
        for (const char* name : entry.entries) {
            if (name)
                addEntry(menu, name, QLatin1String(name) == QLatin1String("mnuEnabledRule"));
            else
                menu->addSeparator();
        }
    }
}

void MainWindow::buildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);

    m_panelStrip = new PanelStrip(bar);
    m_panelStrip->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Status-bar text is a little smaller than the window's, as status bars are on most
    // desktops; it lets the first panel's texts fit at the smallest window size.
    QFont small = m_panelStrip->font();
    if (small.pointSizeF() > 0) {
        small.setPointSizeF(small.pointSizeF() * 0.9);
        m_panelStrip->setFont(small);
    }
    std::array<QWidget*, PanelCount> frames{};
    for (int i = 0; i < PanelCount; ++i) {
        auto* frame = new QFrame(m_panelStrip);
        frame->setObjectName(QStringLiteral("Panel%1").arg(i + 1));
        frame->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
        auto* layout = new QHBoxLayout(frame);
        // The strip sets each panel's width; the panel's contents must not resist it.
        layout->setSizeConstraint(QLayout::SetNoConstraint);
        layout->setContentsMargins(2, 1, 2, 1);
        layout->setSpacing(2);

        auto* picture = new QLabel(frame);
        picture->setObjectName(frame->objectName() + QLatin1String("Picture"));
        picture->setFixedSize(16, 16);
        picture->hide();
        auto* text = new PanelText(frame);
        text->setObjectName(frame->objectName() + QLatin1String("Text"));
        text->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        layout->addWidget(picture);
        layout->addWidget(text, 1);

        m_panels[i] = {frame, picture, text, -1, QString()};
        frames[i] = frame;
    }
    m_panelStrip->setPanels(frames);
    m_panelStrip->setMinimumHeight(m_panels[0].frame->sizeHint().height());
    bar->addWidget(m_panelStrip, 1);
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
    for (int i = 0; i < PanelCount; ++i) {
        m_panels[i].text->setText(textOf(PanelCaptions[i]));
        m_panels[i].frame->setToolTip(PanelTips[i].key ? textOf(PanelTips[i]) : QString());
    }
    m_pictureMeanings.clear();
    for (const PictureMeaning& meaning : PictureMeanings)
        m_pictureMeanings.insert(static_cast<int>(meaning.picture), textOf(meaning.text));
    for (int i = 1; i <= PanelCount; ++i)
        updatePanelName(i);
    for (const ListColumns& entry : listColumns()) {
        QStringList labels;
        for (const Column& column : entry.columns)
            labels.append(lookup("Main", column.key, column.design));
        if (HeaderProxy* proxy = proxyOf(list(QLatin1String(entry.list))))
            proxy->setLabels(labels);
    }
}

void MainWindow::applyLanguage(const Localiser& language) {
    setTexts([&language](const char* section, int key, const char*) {
        return language.text(QLatin1String(section), key);
    });
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
    if (panel < 1 || panel > PanelCount || m_panels[panel - 1].text->text() == text)
        return;
    m_panels[panel - 1].text->setText(text);
    updatePanelName(panel);
    layoutPanels(width());
}

QString MainWindow::panelMeaning(int panel) const {
    return panel >= 1 && panel <= PanelCount ? m_panels[panel - 1].meaning : QString();
}

void MainWindow::updatePanelName(int panel) {
    Panel& target = m_panels[panel - 1];
    target.meaning = target.picture->isHidden() ? QString()
                                                : m_pictureMeanings.value(target.pictureKind);
    target.picture->setAccessibleName(target.meaning);
    const QString text = target.text->text();
    const QString name = target.meaning.isEmpty() || target.meaning == text
                             ? text
                             : text + QStringLiteral(" (") + target.meaning + QLatin1Char(')');
    // setAccessibleName also tells assistive technology that the name changed.
    if (target.frame->accessibleName() != name)
        target.frame->setAccessibleName(name);
}

QString MainWindow::panelText(int panel) const {
    return panel >= 1 && panel <= PanelCount ? m_panels[panel - 1].text->text() : QString();
}

void MainWindow::setPanelPicture(int panel, const QIcon& picture) {
    if (panel < 1 || panel > PanelCount)
        return;
    QLabel* label = m_panels[panel - 1].picture;
    label->setPixmap(picture.isNull() ? QPixmap() : picture.pixmap(label->size()));
    label->setVisible(!picture.isNull());
    // A picture given without its kind has no meaning to read out.
    m_panels[panel - 1].pictureKind = -1;
    updatePanelName(panel);
    layoutPanels(width());
}

void MainWindow::setPanelPicture(int panel, const QString& resourceName) {
    setPanelPicture(panel, resourceName.isEmpty() ? QIcon() : QIcon(resourceName));
}

void MainWindow::setPanelPicture(int panel, Picture picture) {
    setPanelPicture(panel, pictureIcon(picture));
    if (panel < 1 || panel > PanelCount)
        return;
    m_panels[panel - 1].pictureKind = static_cast<int>(picture);
    updatePanelName(panel);
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

QWidget* MainWindow::panel(int panel) const {
    return panel >= 1 && panel <= PanelCount ? m_panels[panel - 1].frame : nullptr;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_closingForGood) {
        QMainWindow::closeEvent(event);
        return;
    }
    // The program goes on in the notification area.
    hide();
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

void MainWindow::applyColumnWidths(QWidget* page) {
    for (QTreeView* view : page->findChildren<QTreeView*>(Qt::FindDirectChildrenOnly))
        applyColumnWidths(view, page->width());
}

void MainWindow::applyColumnWidths(QTreeView* view, int pageWidth) {
    const ListColumns* columns = columnsOf(view->objectName());
    if (!columns)
        return;
    int section = 0;
    for (const Column& column : columns->columns) {
        if (column.fraction > 0 && section < view->header()->count())
            view->header()->resizeSection(section, qRound(column.fraction * pageWidth));
        ++section;
    }
}

void MainWindow::layoutPanels(int windowWidth) {
    std::array<int, PanelCount> widths{};
    for (int i = 0; i < PanelCount; ++i)
        widths[i] = qRound(windowWidth / PanelDivisors[i]);
    // Panels 1 and 2 (whether the firewall works, the policy in force) take the width their
    // text needs; the other panels give way, each in proportion to its share.
    const auto needed = [this](int i) {
        const Panel& p = m_panels[i];
        const QMargins margins = p.frame->layout()->contentsMargins();
        int width = p.text->sizeHint().width() + margins.left() + margins.right() +
                    2 * static_cast<QFrame*>(p.frame)->frameWidth() + 4;
        if (!p.picture->isHidden())
            width += p.picture->width() + p.frame->layout()->spacing();
        return width;
    };
    int grown = 0;
    for (int i = 0; i < 2; ++i) {
        const int need = qMin(needed(i), windowWidth);
        grown += qMax(0, need - widths[i]);
        widths[i] = qMax(widths[i], need);
    }
    if (grown > 0) {
        int others = 0;
        for (int i = 2; i < PanelCount; ++i)
            others += widths[i];
        const double keep = others > 0 ? qMax(0.0, 1.0 - double(grown) / others) : 0.0;
        for (int i = 2; i < PanelCount; ++i)
            widths[i] = qRound(widths[i] * keep);
    }
    m_panelStrip->setWidths(widths);
    // A text that still does not fit is shown whole in its tooltip.
    for (int i = 0; i < PanelCount; ++i)
        m_panels[i].text->setToolTip(needed(i) > widths[i] ? m_panels[i].text->text() : QString());
}

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
