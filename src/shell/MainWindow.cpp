#include "shell/MainWindow.h"

#include "engine/EngineServices.h"
#include "monitor/ColumnWidths.h"
#include "monitor/ListStyle.h"
#include "shell/Resources.h"
#include "shell/MainWindowTables.h"
#include "shell/Twips.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QResizeEvent>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace tarvok {

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
    // The narrowest width the text is drawn whole in: a text a little too wide for its panel
    // ("In: 2346 KB/s") is drawn up to a fifth smaller before it is cut, so that it stays
    // readable.
    int leastWidth() const { return QFontMetrics(scaled(LeastPercent)).horizontalAdvance(m_text); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        const QRect area = contentsRect();
        for (int percent = 100; percent >= LeastPercent; percent -= 5) {
            painter.setFont(scaled(percent));
            if (painter.fontMetrics().horizontalAdvance(m_text) <= area.width())
                break;
        }
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         painter.fontMetrics().elidedText(m_text, Qt::ElideRight, area.width()));
    }

private:
    static constexpr int LeastPercent = 80;
    QFont scaled(int percent) const {
        QFont smaller = font();
        if (smaller.pointSizeF() > 0)
            smaller.setPointSizeF(smaller.pointSizeF() * percent / 100);
        return smaller;
    }

    QString m_text;
};

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

void MainWindow::layoutPanels(int windowWidth) {
    // The width a panel needs for its text at full size, or drawn up to a fifth smaller.
    const auto needed = [this](int i, bool least) {
        const Panel& p = m_panels[i];
        const QMargins margins = p.frame->layout()->contentsMargins();
        int width = (least ? p.text->leastWidth() : p.text->sizeHint().width()) + margins.left() +
                    margins.right() + 2 * static_cast<QFrame*>(p.frame)->frameWidth() + 4;
        if (!p.picture->isHidden())
            width += p.picture->width() + p.frame->layout()->spacing();
        return width;
    };
    // The last entry is the room of the strip (the window less the status bar's margins) that
    // the panels' shares leave.
    constexpr int Unused = PanelCount;
    std::array<int, PanelCount + 1> widths{}, full{}, least{};
    int unused = windowWidth - qBound(0, statusBar()->width() - m_panelStrip->width(), windowWidth);
    for (int i = 0; i < PanelCount; ++i) {
        widths[i] = qRound(windowWidth / PanelDivisors[i]);
        unused -= widths[i];
        full[i] = needed(i, false);
        least[i] = needed(i, true);
    }
    widths[Unused] = qMax(0, unused);
    // Each panel takes the width its text needs as far as the others can give way: the traffic
    // figures (panels 3 to 7) first, then whether the firewall works (1), then the policy in
    // force (2). A panel gives the room its text leaves at full size. Where a text still does
    // not fit, the others give what their texts leave drawn smaller, and lastly the policy's
    // name, free text, gives way down to a third of its panel; but only when that makes the
    // text whole. A text that does not fit is cut, and whole in its tooltip.
    constexpr int Policy = 1;
    constexpr int order[] = {2, 3, 4, 5, 6, 0, Policy};
    constexpr int givers[] = {Unused, 2, 3, 4, 5, 6, 0, Policy};
    using Widths = std::array<int, PanelCount + 1>;
    const auto share = [&widths, &order, &givers](const Widths& wanted, const Widths& floors,
                                                  bool wholeOnly) {
        for (const int taker : order) {
            int spare = 0;
            for (const int giver : givers)
                spare += giver == taker ? 0 : qMax(0, widths[giver] - floors[giver]);
            if (wholeOnly && spare < wanted[taker] - widths[taker])
                continue;
            for (const int giver : givers) {
                const int give = qMin(wanted[taker] - widths[taker], widths[giver] - floors[giver]);
                if (giver == taker || give <= 0)
                    continue;
                widths[giver] -= give;
                widths[taker] += give;
            }
        }
    };
    share(full, full, false);
    share(least, least, true);
    Widths floors = least;
    floors[Policy] = qMin(least[Policy], qRound(windowWidth / PanelDivisors[Policy] / 3));
    share(least, floors, true);
    std::array<int, PanelCount> placed{};
    std::copy_n(widths.begin(), PanelCount, placed.begin());
    m_panelStrip->setWidths(placed);
    for (int i = 0; i < PanelCount; ++i)
        m_panels[i].text->setToolTip(least[i] > widths[i] ? m_panels[i].text->text() : QString());
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
