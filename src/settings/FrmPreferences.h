#pragma once
// The preferences dialog frmPreferences. Its check boxes change their setting the moment they
// are clicked (start at login writes or removes the autostart entry at once); the log size and
// the language are taken over by OK. Escape closes it without taking them over.

#include "settings/Preferences.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace tarvok {

class Localiser;
class Prompter;
class SettingsStore;

class FrmPreferences : public QDialog {
    Q_OBJECT
public:
    // programFolder holds Language/ and Logs/; programPath is what the autostart entry starts.
    FrmPreferences(const QString& programFolder, const QString& programPath,
                   SettingsStore& settings, const Localiser& language, Prompter& prompter,
                   QWidget* parent = nullptr);

    QCheckBox* box(const char* name) const;
    // Asking needs the program filter: without it (reason says why) its controls are greyed
    // out, the reason beside them, and the stored choice stays as it is.
    void setAskAvailable(bool available, const QString& reason);

signals:
    // ChkPopup clicked: balloons on or off.
    void popupChanged(bool on);
    // The main window's double-click mode: "1" closes the connection, "0" shows properties.
    void doubleClickModeChanged(const QString& mode);
    // ChkKeepPolicy clicked: what stays in force when Tarvok ends unexpectedly.
    void keepPolicyChanged(bool keep);
    // Asking before programs without a rule connect, its time-out or its default changed.
    void askingChanged(const tarvok::preferences::Asking& asking);

private:
    void build();
    void applyLanguage(const Localiser& language);
    void load();
    void setDoubleClick(bool closes);
    void startUpClicked(bool on);
    void logSizeEdited(const QString& text);
    void previewLanguage(const QString& name);
    void ok();
    void askEdited();
    void enableAsking();

    QString m_folder;
    QString m_programPath;
    SettingsStore& m_settings;
    Prompter& m_prompter;
    QString m_changeMessage, m_changeTitle; // of the language picked in the list
    QString m_startUpFailure;               // [Preferences] 40
    QString m_emptySizeMessage;             // [Preferences] 13

    QCheckBox* m_startUp = nullptr;
    QCheckBox* m_minimized = nullptr;
    QCheckBox* m_popup = nullptr;
    QCheckBox* m_manuallyClose = nullptr;
    QCheckBox* m_dbClick = nullptr;
    QCheckBox* m_filePropertiesDbClick = nullptr;
    QCheckBox* m_journal = nullptr; // event records also to the systemd journal
    QCheckBox* m_keepPolicy = nullptr; // the policy stays in force when the window dies
    QCheckBox* m_ask = nullptr;        // asking before programs without a rule connect
    QLabel* m_askTimeoutLabel = nullptr;
    QSpinBox* m_askTimeout = nullptr;
    QLabel* m_askDefaultLabel = nullptr;
    QComboBox* m_askDefault = nullptr; // block once, allow once
    QLabel* m_askExplained = nullptr;  // what asking does
    QLabel* m_askReason = nullptr;     // why asking is not available
    QString m_unavailableText;         // [Preferences] asking::Unavailable
    bool m_askAvailable = true;
    QTabWidget* m_tabs = nullptr;
    QLabel* m_logSizeLabel = nullptr;
    QLineEdit* m_size = nullptr;
    QLabel* m_folderLabel = nullptr;
    QLineEdit* m_logPath = nullptr;
    QLabel* m_select = nullptr;
    QComboBox* m_language = nullptr;
    QLabel* m_translatorName = nullptr;
    QLabel* m_translatorEmail = nullptr;
    QLabel* m_translatorWeb = nullptr;
    QPushButton* m_ok = nullptr;
};

} // namespace tarvok
