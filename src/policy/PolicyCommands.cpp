#include "policy/PolicyCommands.h"

#include "engine/EngineServices.h"
#include "engine/RuleTable.h"
#include "policy/PolicyFile.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"
#include "settings/SaveFile.h"
#include "settings/TextHolders.h"

#include <QFileInfo>
#include <QSaveFile>

#include <utility>

namespace tarvok {
namespace {

const QString Title = QStringLiteral("Tarvok");
const QString RuleFileKey = QStringLiteral("RuleFile");
const QString DefaultPolicy = QStringLiteral("Normal.rlsp");
const QString NewPolicyName = QStringLiteral("New.rlsp");
const QString PolicySuffix = QStringLiteral(".rlsp");
const QString UnsavedSuffix = QStringLiteral(".unsaved.rlsp");

// The Main texts this file uses.
enum MainText {
    SaveAsTitle = 7,
    OpenTitle = 40,
    SaveOnExit = 80,
    StartNew = 95,
    SaveFirst = 96,
    NewTitle = 112,
};

// Replaces the file at path in one step, as saveFileAtomically does, with a file that only
// its owner can read from its first byte on: the kept rules say what the user allows.
bool savePrivately(const QString& path, const QByteArray& bytes, QString* errorText) {
    QSaveFile file(path);
    const auto fail = [&] {
        *errorText = file.errorString();
        file.cancelWriting();
        return false;
    };
    // The permissions apply to the temporary file, which then takes the file's place.
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return fail();
    if (file.write(bytes) != bytes.size() || !file.flush() || file.error() != QFileDevice::NoError)
        return fail();
    if (!file.commit()) {
        *errorText = file.errorString();
        return false;
    }
    return true;
}

} // namespace

PolicyCommands::PolicyCommands(const QString& programFolder, RuleTable& table,
                               SettingsStore& settings, const Localiser& localiser,
                               const TextHolders& texts, Prompter& prompter, QObject* parent)
    : QObject(parent), m_programFolder(programFolder), m_table(table), m_settings(settings),
      m_localiser(localiser), m_texts(texts), m_prompter(prompter) {}

bool PolicyCommands::FileExists(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

bool PolicyCommands::isPlainFileName(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) &&
           !name.contains(QStringLiteral("..")) && !name.contains(QChar(0));
}

QString PolicyCommands::currentFileName() const {
    return m_settings.value(RuleFileKey);
}

QString PolicyCommands::currentFilePath() const {
    return m_programFolder + QLatin1Char('/') + currentFileName();
}

QString PolicyCommands::statusText() const {
    return m_texts.policy + QLatin1Char(' ') + QFileInfo(currentFileName()).fileName().toUpper();
}

void PolicyCommands::setCurrentFileName(const QString& name) {
    m_unreadable = false;
    m_settings.setValue(RuleFileKey, name);
    emit statusTextChanged(statusText());
}

void PolicyCommands::setSaveChanges(bool changed) {
    if (changed == m_saveChanges)
        return;
    m_saveChanges = changed;
    emit saveChangesChanged(changed);
}

Prompter::Answer PolicyCommands::askYesNo(int key) {
    return m_prompter.message(m_localiser.text(QStringLiteral("Main"), key),
                              Prompter::ExclamationYesNo, Title);
}

void PolicyCommands::report(const QString& text) {
    m_prompter.message(text, Prompter::Exclamation, Title);
}

bool PolicyCommands::writePolicy(const QString& path, const QByteArray& text) {
    QString error;
    if (saveFileAtomically(path, text, &error))
        return true;
    report(localisedOr(m_localiser, language::failure::PolicySave,
                       QStringLiteral("The policy could not be saved to %1: %2"))
               .arg(path, error));
    return false;
}

void PolicyCommands::LoadPolicy() {
    if (currentFileName().isEmpty())
        m_settings.setValue(RuleFileKey, DefaultPolicy);
    QString path = currentFilePath();
    PolicyRead read;
    if (!isPlainFileName(currentFileName())) {
        // A name leading out of the program folder is taken as a missing file, and nothing
        // is written under it.
        m_settings.setValue(RuleFileKey, NewPolicyName);
        path = currentFilePath();
        if (QFileInfo::exists(path))
            read = ReadPolicyFile(path, m_table);
    } else if (!QFileInfo::exists(path)) {
        // A first start: the missing policy is written empty and used under its own name, so
        // that the folder holds one policy file, the one config.ini names.
        SavePolicy(0);
    } else {
        read = ReadPolicyFile(path, m_table);
    }
    if (!read.ok()) {
        // Not an empty policy, but one that could not be read or is no policy: the run goes
        // on with no rules, says so, and never writes the empty table over that file.
        m_unreadable = true;
        emit statusTextChanged(statusText());
        report(localisedOr(m_localiser, language::failure::PolicyUnreadable,
                           QStringLiteral("The policy %1 could not be read: %2. The firewall runs "
                                          "with no rules, and saving asks for a new file name."))
                   .arg(path, policyReadFailure(read, &m_localiser)));
        return;
    }
    emit statusTextChanged(statusText());
}

bool PolicyCommands::SavePolicy(int mode) {
    if (mode != 0 && mode != 1)
        return false;
    if (m_table.count() > MaxPolicyRules) {
        report(localisedOr(m_localiser, language::failure::PolicyTooLarge,
                           QStringLiteral("The policy holds %1 rules; a policy file holds at "
                                          "most %2."))
                   .arg(m_table.count())
                   .arg(MaxPolicyRules));
        return false;
    }
    const QByteArray text = policyText(m_table.rules(), m_table.words());
    const QString kept = unsavedFilePath();
    QString path = currentFilePath();
    // The current file could not be read at start-up: saving over it would replace rules
    // nobody has seen, so a new name is asked for, as Save As does, and kept.
    const bool rename = mode == 0 && m_unreadable;
    if (mode == 1 || rename) {
        path = m_prompter
                   .saveFileName(m_localiser.text(QStringLiteral("Main"), SaveAsTitle),
                                 PolicyFilter, m_programFolder, QString())
                   .trimmed();
        if (path.isEmpty())
            return false;
    }
    // Save As writes a copy: the current name and the status bar stay.
    if (!writePolicy(path, text))
        return false;
    if (rename)
        setCurrentFileName(QFileInfo(path).fileName());
    // Rules kept by an earlier end are saved now. Only a save of changes drops them: the
    // first start's save of an empty policy must not.
    if (m_saveChanges)
        QFile::remove(kept);
    setSaveChanges(false);
    return true;
}

void PolicyCommands::NewPolicy() {
    if (askYesNo(StartNew) != Prompter::Yes)
        return;
    // A failed save stops here, so that the unsaved rules are not dropped.
    if (m_saveChanges && askYesNo(SaveFirst) == Prompter::Yes && !SavePolicy(0))
        return;
    const QString path = m_prompter
                             .saveFileName(m_localiser.text(QStringLiteral("Main"), NewTitle),
                                           PolicyFilter, m_programFolder, QString())
                             .trimmed();
    // The table is emptied only once the new file exists, so cancelling keeps the rules.
    if (path.isEmpty() || !writePolicy(path, policyText({}, m_table.words())))
        return;
    discardChanges();
    m_table.clear();
    setCurrentFileName(QFileInfo(path).fileName());
    setSaveChanges(false);
}

void PolicyCommands::OpenPolicy() {
    if (m_saveChanges && askYesNo(SaveFirst) == Prompter::Yes && !SavePolicy(0))
        return;
    const QString path = m_prompter
                             .openFileName(m_localiser.text(QStringLiteral("Main"), OpenTitle),
                                           PolicyFilter, m_programFolder)
                             .trimmed();
    if (path.isEmpty())
        return;
    // A file that cannot be read, or is no policy, would load as an empty policy under its
    // name, and the next Save would write that over the file.
    const PolicyRead read = replaceRules(path);
    if (!read.ok()) {
        report(localisedOr(m_localiser, language::failure::PolicyRead,
                           QStringLiteral("The policy %1 could not be read: %2"))
                   .arg(path, policyReadFailure(read, &m_localiser)));
        return;
    }
    discardChanges(); // the unsaved rules of the policy left behind
    setCurrentFileName(QFileInfo(path).fileName());
}

PolicyRead PolicyCommands::replaceRules(const QString& path) {
    PolicyRead read = readPolicy(path, m_table.words());
    if (!read.ok())
        return read;
    m_table.setRules(std::exchange(read.rules, {}));
    m_unreadable = false;
    setSaveChanges(false);
    return read;
}

void PolicyCommands::AskSaveAtExit() {
    if (!m_saveChanges)
        return;
    if (askYesNo(SaveOnExit) == Prompter::Yes)
        SavePolicy(0);
    else
        discardChanges();
}

QString PolicyCommands::unsavedFilePath() const {
    QString name = currentFileName();
    if (name.endsWith(PolicySuffix, Qt::CaseInsensitive))
        name.chop(PolicySuffix.size());
    return m_programFolder + QLatin1Char('/') + name + UnsavedSuffix;
}

bool PolicyCommands::keepUnsaved() {
    const QString path = unsavedFilePath();
    // A Count above the limit would read back as no rules at all.
    QString error = QStringLiteral("more than %1 rules").arg(MaxPolicyRules);
    if (m_table.count() <= MaxPolicyRules &&
        savePrivately(path, policyText(m_table.rules(), m_table.words()), &error))
        return true;
    report(localisedOr(m_localiser, language::shell::UnsavedNotKept,
                       QStringLiteral("The unsaved rules could not be kept in %1: %2. They are "
                                      "lost."))
               .arg(path, error));
    return false;
}

void PolicyCommands::offerKeptUnsaved(const std::function<bool()>& answered) {
    const QString path = unsavedFilePath();
    const QFileInfo kept(path);
    if (!kept.isFile() || kept.isSymLink())
        return;
    PolicyRead read = readPolicy(path, m_table.words());
    if (!read.ok())
        return; // not what an end wrote: left alone, never loaded
    const QList<Rule> rules = std::exchange(read.rules, {});
    const QString question =
        localisedOr(m_localiser, language::shell::RestoreUnsaved,
                    QStringLiteral("When Tarvok last ended, nobody could be asked about the "
                                   "unsaved changes to the policy %1, so its %2 rules were kept "
                                   "in %3. Do you want to restore them? They come back as "
                                   "unsaved changes: the policy file changes only when you "
                                   "save. No deletes the kept rules."))
            .arg(currentFileName(), QString::number(rules.size()), path);
    const Prompter::Answer answer = m_prompter.message(question, Prompter::Question, Title);
    if (answered && !answered())
        return;
    if (answer != Prompter::Yes) {
        QFile::remove(path);
        return;
    }
    m_table.setRules(rules);
    setSaveChanges(true);
}

void PolicyCommands::discardChanges() {
    QFile::remove(unsavedFilePath());
    setSaveChanges(false);
}

} // namespace tarvok
