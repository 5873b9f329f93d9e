#pragma once
// frmAlert: the programs seen on the network for the first time since start-up, with Trust,
// Block (a rule for the whole program), File Details and Kill Process!, and a row menu to copy or resolve the remote address. It
// stays above other windows, and the main window's own widgets are unusable exactly while it is
// open; a dialog already open over the main window stays usable, and the firewall and the tray
// go on meanwhile. Escape hides it and keeps its rows, which come back with the next program.

#include <QPointer>
#include <QWidget>

#include <vector>

class QLabel;
class QMenu;
class QPushButton;
class QTreeView;

namespace tarvok {

class AlertRows;
class Localiser;

class AlertWindow : public QWidget {
    Q_OBJECT
public:
    AlertWindow(AlertRows& rows, const Localiser& language, QWidget* mainWindow);

    // After a row was added: show (or keep showing) the window on top, hold the main window
    // back, and take the texts of the language in use.
    void announce();
    // Whether the main window's own widgets are held back.
    bool holdsMainWindow() const { return !m_held.empty(); }
    int selectedRow() const;
    QTreeView* list() const { return m_list; }

signals:
    void detailsRequested(const QString& path);
    void resolveRequested(const QString& address);
    void copyRequested(const QString& text);

protected:
    void hideEvent(QHideEvent* event) override;

private:
    void applyTexts();
    // Disables the main window's widgets, never the windows it owns (an open file dialog or
    // message box stays answerable); releasing enables what was disabled here.
    void holdMainWindow();
    void releaseMainWindow();
    void hideKeepingRows();

    AlertRows& m_rows;
    const Localiser& m_language;
    QWidget* m_mainWindow;
    QLabel* m_heading;
    QTreeView* m_list;
    QPushButton* m_trust;
    QPushButton* m_block;
    QPushButton* m_details;
    QPushButton* m_kill;
    QMenu* m_menu;
    QAction* m_resolve;
    QAction* m_copy;
    std::vector<QPointer<QWidget>> m_held;
    bool m_keepRows = false;
};

} // namespace tarvok
