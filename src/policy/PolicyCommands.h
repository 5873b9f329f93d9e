#pragma once
// The commands on policy files: the load at start-up, File > New, File > Open > Policy file,
// File > Save and Save As, the unsaved-edit question at exit, the unsaved-changes flag
// SaveChanges, the rules kept unsaved by an end nobody could answer, and the status text that
// names the current policy. Questions and file dialogs go through the Prompter; nothing here
// shows a window.

#include "engine/Prompter.h"
#include "policy/PolicyFile.h"

#include <QObject>
#include <QString>

#include <functional>

namespace tarvok {

class Localiser;
class RuleTable;
class SettingsStore;
struct TextHolders;

class PolicyCommands : public QObject {
    Q_OBJECT
public:
    // The current policy file name is the settings' RuleFile value, a name in programFolder.
    PolicyCommands(const QString& programFolder, RuleTable& table, SettingsStore& settings,
                   const Localiser& localiser, const TextHolders& texts, Prompter& prompter,
                   QObject* parent = nullptr);

    // At start-up, with the table still empty: reads the current policy, or writes an empty
    // one under that name when it does not exist. A name that is not a plain file name in
    // the program folder is replaced by "New.rlsp", which is not written. A file that exists
    // but cannot be read or is no policy is reported and the table stays empty; saving then
    // asks for a new name rather than write over that file.
    void LoadPolicy();
    // Mode 0 writes the current policy file, mode 1 a copy to a file the user picks; other
    // modes do nothing. Returns true when a file was written. A write that fails is reported
    // and leaves the table, SaveChanges and the file as they were.
    bool SavePolicy(int mode);
    // Starts an empty policy in a file the user picks. Nothing changes until one is picked
    // and written.
    void NewPolicy();
    // Replaces the table with the rules of a policy file the user picks; a file that is no
    // policy is reported and changes nothing.
    void OpenPolicy();
    // Replaces the table with the rules of the policy file at path and clears SaveChanges, in
    // one step: a file that cannot be read or is no policy leaves everything as it was. The
    // current file name stays. Open and the terminal's --reload use it.
    PolicyRead replaceRules(const QString& path);
    // Early in shutdown: offers to save unsaved edits. The exit cannot be cancelled here. No
    // discards them, and the rules kept by an earlier end with them.
    void AskSaveAtExit();

    // Rules kept unsaved. An end nobody can answer (a signal, the session's end) keeps the
    // unsaved table beside the policy, in "<name>.unsaved.rlsp" (the policy's name without
    // ".rlsp"), and never writes over the policy itself. The file goes once the user saves or
    // discards the changes.
    QString unsavedFilePath() const;
    // Writes the unsaved table there, atomically and readable by the user alone, asking
    // nothing. A failure is reported; false when nothing was kept.
    bool keepUnsaved();
    // At start-up, once the passes run: when rules were kept beside the current policy, asks
    // whether to restore them. Yes loads them as unsaved changes of that policy (SaveChanges
    // true, its file as it is); No deletes the kept file. When answered() is false after the
    // question (the program is ending and nobody answered), the file stays for the next start.
    void offerKeptUnsaved(const std::function<bool()>& answered = {});
    // The user throws the unsaved changes away: SaveChanges false, the kept file deleted.
    void discardChanges();

    // The unsaved-changes flag: true when the table differs from the current policy file.
    bool SaveChanges() const { return m_saveChanges; }
    void setSaveChanges(bool changed);

    QString currentFileName() const;
    QString currentFilePath() const;
    // Status bar panel 2: the policy caption, a blank and the file name in upper case.
    QString statusText() const;

    // True when path names an existing file (not a folder); any error counts as false.
    static bool FileExists(const QString& path);
    // A name without "/", "..", or NUL: a file in the program folder, never one elsewhere.
    static bool isPlainFileName(const QString& name);

signals:
    void statusTextChanged(const QString& text);
    void saveChangesChanged(bool changed);

private:
    Prompter::Answer askYesNo(int key);
    bool writePolicy(const QString& path, const QByteArray& text);
    void setCurrentFileName(const QString& name);
    void report(const QString& text);

    QString m_programFolder;
    RuleTable& m_table;
    SettingsStore& m_settings;
    const Localiser& m_localiser;
    const TextHolders& m_texts;
    Prompter& m_prompter;
    bool m_saveChanges = false;
    bool m_unreadable = false; // the current file exists but could not be read at start-up
};

} // namespace tarvok
