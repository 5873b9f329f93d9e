#pragma once
// frmAlert: the programs seen on the network for the first time since start-up, with Trust,
// Block (a rule for the whole program), File Details and Kill Process!, and a row menu to copy or resolve the remote address. It
// stays above other windows, and the main window's own widgets are unusable exactly while it is
// open; a dialog already open over the main window stays usable, and the firewall and the tray
// go on meanwhile. Escape hides it and keeps its rows, which come back with the next program.
// Above them, while asking is on, the programs held at their first connection: Allow once,
// Block once, Allow always and Block always answer the selected one; Trust (allow once),
// Block (always), File Details and Kill (which blocks once) act on the list last used. Closing
// or hiding the window answers nothing: the questions' deadlines still run.

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
class QuestionRows;

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

    // Shows the programs waiting for an answer above the announced ones; the window owns
    // neither list's rows.
    void setQuestions(QuestionRows& questions);
    QTreeView* questionList() const { return m_questionList; }
    int selectedQuestion() const;

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
    void showQuestionPart();
    // Whether Trust, Block, File Details and Kill act on a question row.
    bool questionsActive() const;
    void trust();
    void block();
    void kill();
    void details();

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
    QuestionRows* m_questions = nullptr;
    QLabel* m_questionHeading = nullptr;
    QTreeView* m_questionList = nullptr;
    QWidget* m_answers = nullptr; // the four answer buttons
    QPushButton* m_allowOnce = nullptr;
    QPushButton* m_blockOnce = nullptr;
    QPushButton* m_allowAlways = nullptr;
    QPushButton* m_blockAlways = nullptr;
    bool m_questionsLastUsed = false;
    std::vector<QPointer<QWidget>> m_held;
    bool m_keepRows = false;
};

} // namespace tarvok
