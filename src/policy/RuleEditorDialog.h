#pragma once
// The rule editor frmAdd: composes one rule and appends it to the rule table (add mode) or
// rewrites the rule it was opened on (modify mode). It stays open after each success so that
// several rules can be entered; Cancel, Escape and the close box close it. It is window-modal
// over its owner and shown without a nested event loop, so the main window cannot be used
// while it is open and the timers of the firewall keep running.

#include "policy/RuleEditor.h"

#include <QDialog>
#include <QIcon>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tarvok {

class Localiser;
class PolicyCommands;
class Prompter;
struct TextHolders;

class RuleEditorDialog : public QDialog {
    Q_OBJECT
public:
    RuleEditorDialog(QWidget* owner, RuleTable& table, PolicyCommands& policy,
                     const Localiser& language, Prompter& prompter);

    // Add mode with the given fields (blank, or proposed from a connection).
    void openAdd(const EditorFields& fields);
    // Modify mode on a row of the table.
    void openModify(int row);

    bool modifyMode() const { return m_modifyRow >= 0; }
    EditorFields fields() const;

    // The picture of a program, by its path, in the list of running programs: the shell gives
    // the one the per-application list shows; without it, the theme's executable icon.
    using ProgramIcon = std::function<QIcon(const QString& path)>;
    static void setProgramIcons(ProgramIcon icons);

signals:
    // A rule was added or modified.
    void ruleWritten();

private:
    void build();
    void applyLanguage();
    void setFields(const EditorFields& fields);
    void showOpened();
    void addressChoiceChanged();
    void portChoiceChanged();
    void logChoiceChanged();
    void stateChoiceChanged();
    void browseProgram();
    void runningProgramChosen(int index);
    void fillRunningPrograms();
    // Puts a path the user chose into the program field, links resolved, and says what the
    // rule will match.
    void chooseProgramPath(const QString& path);
    // A path typed since the last look is resolved and looked at.
    void settleTypedProgram();
    void showProgramNote(const QString& path);
    void useInterpreter();
    bool check();
    void addClicked();
    void modifyClicked();
    QString add(int key) const;

    RuleTable& m_table;
    PolicyCommands& m_policy;
    const Localiser& m_language;
    Prompter& m_prompter;
    int m_modifyRow = -1;

    QRadioButton* m_accept = nullptr; // Option1
    QRadioButton* m_block = nullptr;  // Option2
    QLabel* m_actionCaption = nullptr;
    QComboBox* m_addressChoice = nullptr;   // Combo1
    QLineEdit* m_address = nullptr;         // txtRemA
    QComboBox* m_portChoice = nullptr;      // Combo3
    QLineEdit* m_port = nullptr;            // txtRemP
    QComboBox* m_logChoice = nullptr;       // Combo4
    QComboBox* m_stateChoice = nullptr;     // Combo5
    QLineEdit* m_description = nullptr;     // txtDescript
    QLabel* m_programCaption = nullptr;
    QLineEdit* m_program = nullptr;
    QPushButton* m_browse = nullptr;
    QComboBox* m_running = nullptr;         // the programs running now
    QLabel* m_programNote = nullptr;        // a script, an unstable path
    QPushButton* m_useInterpreter = nullptr;
    QString m_interpreter;                  // what m_useInterpreter puts in the field
    QLabel* m_addressCaption = nullptr;     // lblRA
    QLabel* m_portCaption = nullptr;        // lblRP
    QLabel* m_logCaption = nullptr;         // lblLogEvent
    QLabel* m_stateCaption = nullptr;       // lblEnabled
    QLabel* m_protocolCaption = nullptr;
    QComboBox* m_protocolChoice = nullptr;
    QLabel* m_descriptionCaption = nullptr; // lblDescript
    QPushButton* m_add = nullptr;           // cmdAdd
    QPushButton* m_modify = nullptr;        // cmdModify
    QPushButton* m_cancel = nullptr;        // cmdCancel
};

} // namespace tarvok
