#pragma once
// The settings record: the thirteen text values of config.ini and an optional fourteenth,
// read once at start-up, changed in memory while the program runs and written back whole at
// the end.

#include "engine/EngineServices.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace tarvok {

class Settings : public SettingsStore {
public:
    // programFolder holds config.ini and the Language folder; no trailing "/".
    explicit Settings(QString programFolder);

    // The keys in the order config.ini holds them.
    static const QStringList& keys();
    // The value a new config.ini holds for key.
    static QString newFileValue(const QString& key);
    // The text of a new config.ini.
    static QByteArray defaultFileText();

    QString programFolder() const { return m_folder; }
    QString configPath() const;

    // Writes config.ini with the defaults when no file of that name exists; an existing file
    // is never changed. Returns false, with the reason, when the file could not be written.
    bool createDefaultFile(QString* errorText = nullptr) const;
    // Reads every key (an empty or missing key reads as empty), then resolves languageFile().
    void load();
    // SaveSettings: replaces config.ini with the record. On failure the file is left as it
    // was and false is returned with the reason.
    bool save(QString* errorText = nullptr) const;
    // The text save() writes.
    QByteArray fileText() const;

    // Values of unknown keys are empty and are not kept.
    QString value(const QString& key) const override;
    void setValue(const QString& key, const QString& value) override;

    // A key as a switch. CloseConDBClick, PopupAlert, ShowListening, ShowLocal, ShowUDP and
    // JournalRecords are off only when exactly "False"; every other key is on only when exactly
    // "True".
    bool isOn(const QString& key) const;

    // At main-window load: an empty LogSize, Height or Width takes its fallback in the record.
    void applyFallbacks();
    // Window size in twips; a value that is not a positive number gives 8945 and 11640.
    float heightTwips() const;
    float widthTwips() const;
    // At shutdown: Height and Width from the window, as the shortest text of each number.
    void setWindowSize(float heightTwips, float widthTwips);
    static QString twipsText(float twips);

    // The full path of the language file in use (the English file when Language has none).
    QString languageFile() const { return m_languageFile; }
    QString resolveLanguageFile();

private:
    QString m_folder;
    QStringList m_values; // one per key, in the order of keys()
    QString m_languageFile;
};

} // namespace tarvok
