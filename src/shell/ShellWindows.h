#pragma once
// The commands of the main window and the tray that open Tarvok's secondary windows or act on
// the Log tab: the event list's copy and clear (its "resolve host" and "create rule" belong to
// the activity tab and the rule list's controller), the log viewer, the preferences, the about
// box, the update check and the help window. Application creates one after the main window
// and keeps it for the run.

#include "engine/EngineServices.h"
#include "settings/Preferences.h"

#include "shell/UpdateCheck.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

namespace tarvok {

class EventList;
class FrmAbout;
class FrmLog;
class FrmPreferences;
class HelpWindow;
class MainWindow;
class Prompter;
class Settings;
class LanguageFile;
class TrayIcon;

class ShellWindows : public QObject {
    Q_OBJECT
public:
    struct Parts {
        QString folder;
        MainWindow* window = nullptr;
        EventList* events = nullptr;
        Settings* settings = nullptr;
        const LanguageFile* language = nullptr;
        Prompter* prompter = nullptr;
        TrayIcon* tray = nullptr;
        // Why asking before programs connect cannot work now; empty when it can.
        std::function<QString()> askUnavailable{};
    };

    explicit ShellWindows(const Parts& parts, QObject* parent = nullptr);

    // Where the update check and the about box lead; the build's configuration by default.
    static QUrl defaultVersionFile();
    static QUrl defaultHomePage();
    void setVersionFile(const QUrl& url) { m_versionFile = url; }
    void setHomePage(const QUrl& url) { m_homePage = url; }
    // Opens a web address; the desktop's browser unless a test replaces it.
    void setUrlOpener(std::function<void(const QUrl&)> opener) { m_openUrl = std::move(opener); }

    // File > Open > Log file: asks for a file, then shows it in the log viewer.
    void openLogFile();
    // Shows path in the log viewer (one viewer; a new file replaces its rows). False, after a
    // message, when the file cannot be read.
    bool showLogFile(const QString& path);
    FrmLog* logViewer() const;

    // Options > Preferences: the dialog, window-modal without a nested event loop.
    void openPreferences();
    FrmPreferences* preferences() const;

    // Help > About, the toolbar's about and the tray's: owned by the main window from the
    // window, by nobody from the tray.
    void showAbout(bool fromTray = false);
    FrmAbout* about() const;

    // Help > Check for updates: the answer comes later, as a message.
    void checkForUpdates();
    UpdateCheck* updateCheck() { return &m_updateCheck; }

    // Help and F1: the help file of the language in the help window, or the [Main] 103
    // message when it is missing or cannot be read.
    void openHelp();
    HelpWindow* helpWindow() const;

    // The selected record of the event list, or nullptr.
    const EventRecord* selectedEvent() const;

signals:
    // The preferences changed the double-click mode: "1" closes, "0" shows properties.
    void doubleClickModeChanged(const QString& mode);
    // The preferences changed what stays in force when Tarvok ends unexpectedly.
    void keepPolicyChanged(bool keep);
    // The preferences changed asking before programs without a rule connect.
    void askingChanged(const tarvok::preferences::Asking& asking);

private:
    void wireLogTab();
    void wireWindows();
    void showUpdateAnswer(UpdateCheck::Outcome outcome, const QString& text);

    Parts m_parts;
    QPointer<FrmLog> m_logViewer;
    QPointer<FrmPreferences> m_preferences;
    QPointer<FrmAbout> m_about;
    QPointer<HelpWindow> m_help;
    UpdateCheck m_updateCheck;
    QUrl m_versionFile = defaultVersionFile();
    QUrl m_homePage = defaultHomePage();
    std::function<void(const QUrl&)> m_openUrl;
};

} // namespace tarvok
