#pragma once
// The language file in use: texts addressed by section and decimal key, decoded with the
// code page that belongs to the file's [LANGUAGE] CharacterSet. Also the list of installed
// languages and the preview of one of them for the preferences dialog.

#include "engine/EngineServices.h"
#include "engine/RuleTable.h"
#include "settings/IniFile.h"
#include "settings/TextHolders.h"

#include <QString>
#include <QStringList>

namespace tarvok {

// Windows code page for a font character-set number; 1252 for 0 and for unknown numbers.
int codePageForCharacterSet(int characterSet);

// Text in the given Windows code page (1252 when the code page is unknown).
QString decodeCodePage(QByteArrayView bytes, int codePage);

// program folder + "/Language/" + name + ".lng", or the installed one when only that exists
// (see dataFilePath()).
QString languageFilePath(const QString& programFolder, const QString& name);

// The language file to use for the setting Language: that language's file when it exists,
// otherwise the English one (also for an empty name).
QString resolveLanguageFile(const QString& programFolder, const QString& language);

// Base names of the "*.lng" files in program folder + "/Language/", in directory order, then
// those only the installed data folder has.
QStringList availableLanguages(const QString& programFolder);

class LanguageFile : public Localiser {
public:
    explicit LanguageFile(QString path = {}) : m_path(std::move(path)) {}

    QString path() const { return m_path; }
    void setPath(const QString& path) { m_path = path; }

    // The text of (section, key); empty when the file or the key is missing.
    QString text(const QString& section, int key) const override;
    QString text(const QString& section, const QString& key) const;

    // [LANGUAGE] CharacterSet; 0 (Western) when missing or not a number.
    int characterSet() const;
    int codePage() const { return codePageForCharacterSet(characterSet()); }

    // Every holder from its key; a missing key leaves the holder empty, except the rule words,
    // which are those of ruleWords().
    void fill(TextHolders& holders) const;
    // The words of rules. Each word that is missing, empty or equal to another rule word is
    // the built-in English word, so that accept and block rows always differ; damaged is set
    // when any word fell back.
    RuleWords ruleWords(bool* damaged = nullptr) const;
    // words = ruleWords(); false when the language file is damaged.
    bool fill(RuleWords& words) const;

private:
    static int characterSetOf(const ini::Reader& file);

    QString m_path;
};

// The text of [Main] mainKey, or fallback (the English wording) when the language file has
// none or its text lacks the "%1" that fallback has, so that a failure is never reported by
// an empty box or without its path.
QString localisedOr(const Localiser& language, int mainKey, const QString& fallback);

// What the preferences dialog shows at once for a language picked in its list.
struct LanguagePreview {
    QString selectCaption; // Tray 4
    QString okCaption;     // Tray 5
    QString translator;    // LANGUAGE translator
    QString email;         // LANGUAGE e-mail
    QString web;           // LANGUAGE web
    QString changeMessage; // Tray 7, shown at OK
    QString changeTitle;   // Tray 8
    int characterSet = 0;
};

// The picked language's own file, without falling back to English.
LanguagePreview previewLanguage(const QString& programFolder, const QString& name);

} // namespace tarvok
