#include "shell/MainWindow.h"

#include "fakes/EngineFakes.h"
#include "fakes/FakeLocaliser.h"
#include "monitor/ConnectionMonitor.h"
#include "records/EventList.h"
#include "settings/LanguageFile.h"
#include "shell/Resources.h"
#include "shell/Twips.h"

#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <QTreeView>

#include <gtest/gtest.h>

using namespace tarvok;

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() : rules(2, 8), log(0, 9), history(0, 6) {
        window.setModels(&rules, &log, &history);
    }
    void showAt(int width, int height) {
        window.resize(width, height);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        QCoreApplication::processEvents();
    }
    QTreeView* list(const char* name) { return window.list(QLatin1String(name)); }

    QStandardItemModel rules, log, history;
    MainWindow window;
};

TEST_F(MainWindowTest, HoldsEveryNamedControlInItsPlace) {
    ASSERT_EQ(window.tabStrip()->count(), 4);
    // Both connection lists share the first page; each other list has its own, and only the
    // history removes several rows at once.
    const char* all[] = {"ListConnections", "ListConnPROC", "ListRules", "ListLog", "ListHistory"};
    for (int i = 0; i < 5; ++i) {
        const int page = i ? i - 1 : 0;
        ASSERT_TRUE(list(all[i])) << all[i];
        EXPECT_EQ(list(all[i])->parentWidget(), window.tabStrip()->widget(page)) << all[i];
        EXPECT_EQ(list(all[i])->selectionMode(), page == 3 ? QAbstractItemView::ExtendedSelection
                                                           : QAbstractItemView::SingleSelection);
    }

    // The menu bar ("") and its menus, in order, as buildMenus() makes them by hand. The toolbar
    // and the context menus are MainWindowTables.h's lists, made by a loop.
    const std::pair<const char*, QStringList> bars[] = {
        {"", {"mnuFile", "mnuSecurity", "mnuOptions", "mnuHelp"}},
        {"mnuFile", {"mnuNew", "mnuOpen", "mnuSave", "mnuSaveAs", "-", "mnuShutdown"}},
        {"mnuOpen", {"mnuPolicyFile", "mnuOpenLogFile"}},
        {"mnuSecurity", {"mnuLevel0", "mnuLevel1", "mnuLevel2", "-", "mnuPauseFirewall"}},
        {"mnuOptions",
         {"mnuPreferences", "-", "mnuDisplayApp", "mnuShowListeningPorts", "mnuDisplayUDP",
          "mnuDisplay0000127001"}},
        {"mnuHelp", {"mnuHelpF1", "mnuCheckUpdate", "-", "mnuAbout"}},
    };
    for (const auto& [name, entries] : bars) {
        const QWidget* bar = *name ? window.findChild<QWidget*>(name) : window.menuBar();
        ASSERT_TRUE(bar) << name;
        QStringList shown;
        for (const QAction* action : bar->actions())
            shown.append(action->isSeparator() ? QStringLiteral("-") : action->objectName());
        EXPECT_EQ(shown, entries) << name;
    }
    for (QAction* action : window.findChild<QToolBar*>("Toolbar1")->actions())
        EXPECT_TRUE(action->isSeparator() || !action->icon().isNull())
            << action->objectName().toStdString();

    // The connection lists take Delete to close and Ctrl+C to copy; their menus show the keys.
    for (const char* name : {"mnuBreakConnection", "mnuBreakConnXP"})
        EXPECT_EQ(window.action(name)->shortcut(), QKeySequence(QKeySequence::Delete)) << name;
    for (const char* name : {"mnuCopyRemAdd", "mnuCopyRemAddXP"})
        EXPECT_EQ(window.action(name)->shortcut(), QKeySequence(QKeySequence::Copy)) << name;
}

TEST_F(MainWindowTest, SnapsToTheMinimumSizeAndColumnsAndPanelsFollowEveryResize) {
    const auto x = [this](int twips) { return twips::toPixels(twips, window.logicalDpiX()); };
    const auto y = [this](int twips) { return twips::toPixels(twips, window.logicalDpiY()); };
    const int protocolWidth = list("ListRules")->header()->sectionSize(7);
    const int ruleWidth = list("ListLog")->header()->sectionSize(8);
    const double divisors[] = {6, 5, 8, 6.5, 7.5, 10.5, 10};
    // Every header whole; the empty connection lists have no horizontal scroll bar.
    const auto expectReadable = [](QTreeView* view) {
        const QHeaderView* header = view->header();
        for (int column = 0; column < header->count(); ++column)
            EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column))
                << view->objectName().toStdString() << " column " << column;
        if (view->objectName().startsWith(QLatin1String("ListConn"))) {
            EXPECT_LE(header->length(), view->viewport()->width());
            EXPECT_FALSE(view->horizontalScrollBar()->isVisible()) << view->objectName().toStdString();
        }
    };
    for (const QSize size : {QSize(x(9000), y(8000)), QSize(1200, 900), QSize(x(12000), y(8000))}) {
        showAt(size.width(), size.height());
        EXPECT_EQ(window.size(), size.expandedTo(QSize(x(10095), y(8945))));
        // Each panel its share, but at the smallest size "Received: 0.00 MB" takes what it
        // needs from its neighbours: every text whole.
        for (int panel = 1; panel <= 7; ++panel) {
            EXPECT_TRUE(window.width() == x(10095) ||
                        window.panel(panel)->width() == qRound(window.width() / divisors[panel - 1]))
                << panel << " at " << window.width();
            const auto* text = window.panel(panel)->findChild<QWidget*>(QStringLiteral("Panel%1Text").arg(panel));
            EXPECT_EQ(text->toolTip(), QString()) << panel << " at " << window.width();
        }
        for (auto view : {MainWindow::ConnectionView::PerConnection,
                          MainWindow::ConnectionView::PerApplication}) {
            window.setConnectionView(view);
            for (int tab = 0; tab < 4; ++tab) {
                window.tabStrip()->setCurrentIndex(tab);
                QCoreApplication::processEvents();
                for (QTreeView* shown : window.page(tab)->findChildren<QTreeView*>())
                    if (shown->isVisible())
                        expectReadable(shown);
            }
        }
        EXPECT_GT(window.page(0)->width(), window.width() - 60);
        // With room to spare, each column takes its share of the page; the time column more
        // where its widest text needs it.
        const double fractions[] = {0.06, 0.10, 0.09, 0.12, 0.09, 0.08, 0.13, 0.10};
        for (int column = 0; column < 8 && window.width() >= 1200; ++column) {
            const int size = list("ListConnections")->header()->sectionSize(column);
            const int share = qRound(fractions[column] * window.page(0)->width());
            EXPECT_TRUE(size == share || (column == 7 && size > share)) << column;
        }
        EXPECT_EQ(list("ListRules")->header()->sectionSize(7), protocolWidth);
        EXPECT_EQ(list("ListLog")->header()->sectionSize(8), ruleWidth);
    }
    // A model that arrives later gets the same widths.
    const int sessionWidth = list("ListHistory")->header()->sectionSize(1);
    QStandardItemModel later(0, 6);
    window.setModels(&rules, &log, &later);
    EXPECT_EQ(list("ListHistory")->header()->sectionSize(1), sessionWidth);
}

TEST_F(MainWindowTest, TakesEveryTextFromTheLanguage) {
    window.applyLanguage(test::FakeLocaliser());
    // Which key captions what is MainWindowTables.h; here, that no caption keeps a built-in
    // text: menus and entries, toolbar tips, tabs, panels and their tips (1 and 2 have none),
    // list headers. A context menu itself has no caption.
    QStringList captions;
    const QRegularExpression named(QStringLiteral("^(tb|mnu(?!List))"));
    for (QAction* action : window.findChildren<QAction*>())
        if (named.match(action->objectName()).hasMatch())
            captions << action->toolTip(); // a toolbar button's, else its text
    for (QMenu* menu : window.findChildren<QMenu*>())
        if (named.match(menu->objectName()).hasMatch())
            captions << menu->title();
    for (int tab = 0; tab < 4; ++tab)
        captions << window.tabStrip()->tabText(tab);
    for (int panel = 1; panel <= MainWindow::PanelCount; ++panel) {
        captions << window.panelText(panel);
        if (panel > 2)
            captions << window.panel(panel)->toolTip();
        else
            EXPECT_EQ(window.panel(panel)->toolTip(), QString()) << panel;
    }
    // The headers belong to the window: a model set later shows them too.
    QStandardItemModel otherRules(0, 8);
    window.setModels(&otherRules, &log, &history);
    for (const QTreeView* view : window.findChildren<QTreeView*>())
        for (int i = 0; i < view->model()->columnCount(); ++i)
            captions << view->model()->headerData(i, Qt::Horizontal).toString();
    const QRegularExpression key(QStringLiteral("^(Main|Add)/\\d+$"));
    for (const QString& caption : captions)
        EXPECT_TRUE(key.match(caption).hasMatch()) << caption.toStdString();

    // A key the language lacks leaves an empty caption.
    test::MapLocaliser sparse;
    sparse.texts[QStringLiteral("Main/45")] = QStringLiteral("Regeln");
    window.applyLanguage(sparse);
    EXPECT_EQ(window.tabStrip()->tabText(0), QString());
    EXPECT_EQ(window.tabStrip()->tabText(1), "Regeln");
}

TEST_F(MainWindowTest, RightClickOpensTheListsMenuAndTheOthersOnlyWithRowsAndCloseOnlyHides) {
    showAt(800, 640);
    // Each list's menu is "mnu" and its name, but the per-application list's is mnuListConnXP.
    const auto rightClick = [this](const char* name) {
        QMenu* menu = window.menu(qstrcmp(name, "ListConnPROC") ? "mnu" + QLatin1String(name)
                                                                : QStringLiteral("mnuListConnXP"));
        emit list(name)->customContextMenuRequested(QPoint(10, 10));
        const bool shown = menu->isVisible();
        menu->hide();
        return shown;
    };
    const char* all[] = {"ListRules", "ListLog", "ListHistory", "ListConnPROC", "ListConnections"};
    for (const char* name : all) // the rules' menu, empty or not
        EXPECT_EQ(rightClick(name), name == all[0]) << name;
    log.appendRow(new QStandardItem(QStringLiteral("09:15 - 01/03/2024")));
    history.appendRow(new QStandardItem(QStringLiteral("01/03/2024")));
    QStandardItemModel perConnection(1, 8), perApplication(1, 8);
    window.setConnectionModels(&perConnection, &perApplication);
    for (const char* name : all)
        EXPECT_TRUE(rightClick(name)) << name;
    history.removeRow(0);
    EXPECT_FALSE(rightClick("ListHistory"));

    // The close box only hides the window (Application.* checks that it runs on), unless the
    // program is closing for good.
    EXPECT_FALSE(window.close());
    window.show();
    window.setClosingForGood(true);
    EXPECT_TRUE(window.close());
}

// At the size a new configuration gives the window, in every shipped language and the
// system's formats: no state, time, date, status, port or program name is cut, nor a header,
// and the status bar's state text and traffic figures are whole. (Addresses, paths and
// services are free text.)
TEST_F(MainWindowTest, ShortKnownTextsAreNotCutAtTheDefaultSizeInAnyLanguage) {
    const QLocale locale = QLocale::system();
    const QDateTime evening(QDate(2026, 12, 28), QTime(22, 58, 58));
    const QString time = locale.toString(evening.time(), QLocale::ShortFormat);
    const auto row = [](const QStringList& texts, const QIcon& icon = {}) {
        QList<QStandardItem*> items;
        for (const QString& text : texts)
            items.append(new QStandardItem(text));
        items[0]->setIcon(icon);
        return items;
    };
    QStandardItemModel perConnection(0, 9), perApplication(0, 9);
    const QIcon icon = pictureIcon(Picture::App);
    for (const char* state : {"ESTABLISHED", "TIME_WAIT", "CLOSE_WAIT", "LISTENING"}) {
        perConnection.appendRow(row({"TCP", "10.0.0.2", "65535", "10.0.0.3", "65535", "http", state,
                                     ConnectionMonitor::timeText(evening, locale), "#12 accept"}, icon));
        perApplication.appendRow(row({"systemd-resolved", "UDP", "10.0.0.2", "65535", "10.0.0.3",
                                      "65535", state, "/usr/bin/resolved", "#1 block"}, icon));
    }
    window.setConnectionModels(&perConnection, &perApplication);
    history.appendRow(row({locale.toString(evening.date(), QLocale::ShortFormat), time + " - " + time,
                           "12345.67 (KB)", "345.00 (KB)", "12690.67 (KB)", "3"}));
    const std::pair<const char*, std::vector<int>> known[] = {{"ListConnections", {0, 2, 4, 6, 7}},
                                                              {"ListConnPROC", {0, 1, 3, 5, 6}},
                                                              {"ListLog", {0, 1, 3, 5, 7}},
                                                              {"ListHistory", {0, 1}}};
    for (const char* name : {"English", "Japanese", "Russian"}) {
        const LanguageFile language(QStringLiteral(TARVOK_TEST_LANGUAGE_DIR "/%1.lng").arg(name));
        const auto text = [&language](int key) { return language.text(QStringLiteral("Main"), key); };
        log.removeRows(0, log.rowCount());
        for (const QString& status : {QStringLiteral("BLOCKED CONNECTION"), text(88), text(90)})
            log.appendRow(row({EventList::eventTime(evening, locale), "TCP", "10.0.0.2", "65535",
                               "10.0.0.3", "65535", "https", status, "(12)"}));
        window.applyLanguage(language);
        showAt(twips::toPixels(11460, window.logicalDpiX()), twips::toPixels(8945, window.logicalDpiY()));
        for (const auto& [listName, columns] : known) {
            QTreeView* view = list(listName);
            window.setConnectionView(qstrcmp(listName, "ListConnections") ? MainWindow::ConnectionView::PerApplication
                                                                         : MainWindow::ConnectionView::PerConnection);
            window.tabStrip()->setCurrentWidget(view->parentWidget());
            QCoreApplication::processEvents();
            const QHeaderView* header = view->header();
            for (int column = 0; column < header->count(); ++column)
                EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column))
                    << name << " " << listName << " header " << column;
            for (int r = 0; r < view->model()->rowCount(); ++r)
                for (const int column : columns) {
                    const QModelIndex index = view->model()->index(r, column);
                    EXPECT_LE(view->sizeHintForIndex(index).width(), header->sectionSize(column))
                        << name << " " << listName << " " << index.data().toString().toStdString() << " ("
                        << view->fontMetrics().horizontalAdvance(index.data().toString()) << " wide)";
                }
        }
        window.setPanelText(2, text(70) + QStringLiteral(" NORMAL.RLSP"));
        window.setPanelText(3, text(71) + QStringLiteral(" 123"));
        window.setPanelText(4, text(65) + QStringLiteral(": 1234.56 MB"));
        window.setPanelText(5, text(66) + QStringLiteral(": 123.45 MB"));
        window.setPanelText(6, text(72) + QStringLiteral(" 2346 KB/s"));
        window.setPanelText(7, text(73) + QStringLiteral(" 123 KB/s"));
        for (const QString& state : {text(69) + " \u2013 " + text(200), text(69) + " \u2013 " + text(201),
                                     text(69) + " \u2013 " + text(202), text(79)}) {
            window.setPanelText(1, state);
            for (int panel : {1, 3, 4, 5, 6, 7})
                EXPECT_EQ(window.panel(panel)->findChild<QWidget*>(QStringLiteral("Panel%1Text").arg(panel))->toolTip(),
                          QString()) << name << " panel " << panel << " with " << state.toStdString();
        }
    }
}

TEST_F(MainWindowTest, StatusPanelsShowTheirPictureAndText) {
    auto* picture = window.panel(3)->findChild<QLabel*>(QStringLiteral("Panel3Picture"));
    EXPECT_TRUE(window.panel(1)->findChild<QLabel*>("Panel1Picture")->isVisibleTo(&window));
    EXPECT_FALSE(picture->isVisibleTo(&window));
    window.setPanelPicture(3, Picture::PolicyOff);
    EXPECT_TRUE(picture->isVisibleTo(&window));
    EXPECT_FALSE(picture->pixmap().isNull());
    window.setPanelPicture(3, QIcon());
    EXPECT_FALSE(picture->isVisibleTo(&window));
    window.setPanelText(8, QStringLiteral("x")); // out of range: ignored
    EXPECT_EQ(window.panelText(8), QString());

    // Panels one and two take the width their text needs where the others can give it.
    const auto figure = [this](int panel) {
        return window.panel(panel)->findChild<QWidget*>(QStringLiteral("Panel%1Text").arg(panel));
    };
    showAt(1000, 640);
    const int panel3Before = window.panel(3)->width();
    const QString state = QStringLiteral("Брандмауэр: активен (только наблюдение)");
    window.setPanelText(1, state);
    window.setPanelText(2, QStringLiteral("Политика: NORMAL.RLSP"));
    for (int panel : {1, 2})
        EXPECT_GE(figure(panel)->width(), figure(panel)->sizeHint().width()) << panel;
    EXPECT_TRUE(figure(1)->toolTip().isEmpty());
    EXPECT_LT(window.panel(3)->width(), panel3Before); // the others give way
    int total = 0;
    for (int panel = 1; panel <= MainWindow::PanelCount; ++panel)
        total += window.panel(panel)->width();
    EXPECT_LE(total, window.width());

    // At the default window size a long first text is shortened, whole in its tooltip; the
    // traffic panels give it no room their figures need.
    showAt(twips::toPixels(11460, window.logicalDpiX()), 0);
    const QString figures[] = {"Received: 12.34 MB", "Sent: 1.25 MB", "In: 234 KB/s", "Out: 12 KB/s"};
    std::array<int, 8> before{};
    for (int panel = 4; panel <= 7; ++panel) {
        window.setPanelText(panel, figures[panel - 4]);
        before[panel] = figure(panel)->width();
    }
    const QString monitorOnly = state.repeated(3);
    window.setPanelText(1, monitorOnly);
    EXPECT_EQ(figure(1)->toolTip(), monitorOnly);
    for (int panel = 4; panel <= 7; ++panel)
        EXPECT_GE(figure(panel)->width(), qMin(before[panel], figure(panel)->sizeHint().width()))
            << panel;
    EXPECT_EQ(list("ListLog")->model()->headerData(0, Qt::Horizontal, Qt::ToolTipRole),
              list("ListLog")->model()->headerData(0, Qt::Horizontal, Qt::DisplayRole));
}

} // namespace

TEST(TwipsTest, ConvertsToTheNearestPixelAndBack) {
    // Twips, dots per inch, pixels, and back. A screen with no resolution counts as 96 dpi.
    const int cases[][4] = {{1440, 96, 96, 1440},   {15, 96, 1, 15},        {8945, 96, 596, 8940},
                            {8945, 120, 745, 8940}, {1440, 144, 144, 1440}, {-30, 96, -2, -30},
                            {1440, 0, 96, 1440},    {10095, 96, 673, 10095}};
    for (const auto& [length, dpi, pixels, back] : cases) {
        EXPECT_EQ(twips::toPixels(length, dpi), pixels) << length << " at " << dpi;
        EXPECT_EQ(twips::fromPixels(pixels, dpi), back) << pixels << " at " << dpi;
    }
}

TEST(ResourcesTest, EveryPictureDrawsThroughTheIconEngine) {
    initResources();
    for (int i = 0; i < PictureCount; ++i) {
        const QString path = picturePath(static_cast<Picture>(i));
        const QImage image = pictureIcon(static_cast<Picture>(i)).pixmap(16, 16).toImage();
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                opaque += qAlpha(image.pixel(x, y)) > 0;
        EXPECT_GT(opaque, 40) << path.toStdString() << " draws almost nothing";
    }
}
