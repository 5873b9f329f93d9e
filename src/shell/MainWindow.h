#pragma once
// The main window FrmMain: four tab pages of lists, the toolbar, the menu bar, the lists'
// context menus and the seven-panel status bar. It is a view only; what the commands do is
// wired in by the code that owns the window.
//
// Finding things. Every widget, menu and action carries its control name as objectName:
//   action("mnuSave"), action("tbNew")   the QActions of the menus, context menus and toolbar.
//                                        A menu's menuAction() carries the menu's name too, so
//                                        action("mnuSecurity") enables or disables a whole menu.
//   menu("mnuFile"), menu("mnuOpen"),    the QMenus: the four of the menu bar, the Open submenu
//   menu("mnuListRules")                 and the five context menus of the lists
//   list("ListRules")                    the five QTreeViews: ListConnections, ListConnPROC,
//                                        ListRules, ListLog, ListHistory
//   page(0) .. page(3)                   the tab pages "Pic0" .. "Pic3" of the QTabWidget
//                                        "TabStrip1", in tab order Activity, Policy, Log, History
//   panel(1) .. panel(7)                 the status-bar panels "Panel1" .. "Panel7" of "StatusBar1"
//   "Toolbar1"                           the QToolBar; its actions hold their key ("new",
//                                        "open", ..., "help") as data()
//   "mnuLevel"                           the exclusive QActionGroup of mnuLevel0 .. mnuLevel2
//
// A context menu pops up on a right click over its list (the history menu only while the
// history holds a row); its aboutToShow() signal is the place to enable or check entries first.
//
// The lists show their models through a proxy that supplies the localised column headers: a
// view's model() is that proxy, with the same rows and columns as the model given here, so row
// and column numbers of its indexes are those of the source model.

#include "shell/StatusPanels.h"

#include <QMainWindow>
#include <QStringList>

#include <array>
#include <vector>

class QAbstractItemModel;
class QIcon;
class QMenu;
class QTabWidget;
class QTreeView;

namespace tarvok {

class Localiser;
enum class Picture;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    enum Page { ActivityPage, PolicyPage, LogPage, HistoryPage, PageCount };
    // Which of the two connection lists the Activity page shows.
    enum class ConnectionView { PerConnection, PerApplication };
    static constexpr int PanelCount = StatusPanels::Count;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The rule table, the event list and the history; the window does not take ownership.
    void setModels(QAbstractItemModel* rules, QAbstractItemModel* log, QAbstractItemModel* history);
    // The models of ListConnections and ListConnPROC; until set, both are empty.
    void setConnectionModels(QAbstractItemModel* perConnection, QAbstractItemModel* perApplication);

    // Shows ListConnPROC (per application, the view at start) or ListConnections, hiding the
    // other one.
    void setConnectionView(ConnectionView view);
    ConnectionView connectionView() const { return m_connectionView; }

    // Every caption, tab title, tooltip, column header and status-bar text from the language.
    // A missing key gives an empty text. Until this is called the built-in English texts show.
    void applyLanguage(const Localiser& language);

    // Panels are numbered 1 to 7 from the left; other numbers are ignored.
    void setPanelText(int panel, const QString& text);
    QString panelText(int panel) const;
    // What the panel's picture stands for ("Filter Traffic", "Policy in force"); empty when it
    // shows none. Each panel's accessible name is its text followed by this in brackets.
    QString panelMeaning(int panel) const;
    // A null icon removes the panel's picture.
    void setPanelPicture(int panel, const QIcon& picture);
    void setPanelPicture(int panel, const QString& resourceName);
    void setPanelPicture(int panel, Picture picture);

    // The close box only hides the window (minimises it without a tray); the shutdown code sets
    // this before it closes the window for good.
    void setClosingForGood(bool closing) { m_closingForGood = closing; }
    bool closingForGood() const { return m_closingForGood; }

    QAction* action(const QString& objectName) const;
    QMenu* menu(const QString& objectName) const;
    QTreeView* list(const QString& objectName) const;
    QTabWidget* tabStrip() const { return m_tabs; }
    QWidget* page(int index) const;
    QWidget* panel(int panel) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildPages();
    QTreeView* addList(QWidget* page, const char* name, bool multiSelect);
    void buildMenus();
    void buildToolbar();
    void buildContextMenus();
    void buildStatusBar();
    // Sets every caption from lookup(section, key, design text).
    template <typename Lookup> void setTexts(const Lookup& lookup);
    // The lists' column widths (MainWindowColumns.cpp): fitted again when the page is resized,
    // a model comes or the headers change, and for a list sized to its rows, when they change.
    void wireColumnWidths(QTreeView* list, QWidget* page);
    void applyColumnWidths(QTreeView* list, int pageWidth);
    void applyColumnWidths(QWidget* page);
    // The widest texts of each kind of column, in this language and the system's formats.
    void measureColumnTexts(const Localiser* language);
    void layoutPanels(int windowWidth);
    void showContextMenu(QTreeView* list, const QPoint& position);

    QTabWidget* m_tabs = nullptr;
    std::array<QWidget*, PageCount> m_pages{};
    StatusPanels* m_statusPanels = nullptr; // the status bar's seven panels
    std::vector<QStringList> m_columnTexts; // by mainwindow::Content
    ConnectionView m_connectionView = ConnectionView::PerApplication;
    bool m_closingForGood = false;
};

} // namespace tarvok
