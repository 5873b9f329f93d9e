#include "settings/Settings.h"

#include "settings/IniFile.h"
#include "settings/LanguageFile.h"
#include "settings/SaveFile.h"

#include <QFileInfo>

#include <charconv>
#include <cmath>

namespace tarvok {
namespace {

const QString Section = QStringLiteral("Settings");
const QByteArray CrLf = "\r\n";

// Keys with the value a new file holds, in file order. An optional key is written only once
// it has a value, so a file that never set it keeps its thirteen keys.
struct KeyDefault {
    QString key;
    QString newFile;
    bool optional = false;
};
const QList<KeyDefault>& table() {
    static const QList<KeyDefault> rows = {
        {QStringLiteral("Height"), QStringLiteral("8945")},
        {QStringLiteral("Width"), QStringLiteral("11460")},
        {QStringLiteral("Language"), QStringLiteral("English")},
        {QStringLiteral("CloseConDBClick"), QStringLiteral("True")},
        {QStringLiteral("LogSize"), QStringLiteral("512")},
        {QStringLiteral("PopupAlert"), QStringLiteral("True")},
        {QStringLiteral("RuleFile"), QStringLiteral("Normal.rlsp")},
        {QStringLiteral("CloseConManually"), QStringLiteral("False")},
        {QStringLiteral("RunMinimized"), QStringLiteral("False")},
        {QStringLiteral("FilePropertyDBClick"), QStringLiteral("False")},
        {QStringLiteral("ShowListening"), QStringLiteral("True")},
        {QStringLiteral("ShowLocal"), QStringLiteral("True")},
        {QStringLiteral("ShowUDP"), QStringLiteral("True")},
        // Event records also go to the systemd journal unless "False".
        {QStringLiteral("JournalRecords"), QString(), true},
        // "True": the enforcer removes the policy when the window ends unexpectedly.
        {QStringLiteral("AllowAllOnCrash"), QString(), true},
        // Asking before programs without a rule connect: "True" to ask, the seconds a
        // question waits, and "Allow" for allowing once when none comes (else block once).
        {QStringLiteral("AskUnknownPrograms"), QString(), true},
        {QStringLiteral("AskTimeout"), QString(), true},
        {QStringLiteral("AskDefaultAnswer"), QString(), true},
    };
    return rows;
}

qsizetype indexOf(const QString& key) {
    const auto& rows = table();
    for (qsizetype i = 0; i < rows.size(); ++i)
        if (rows[i].key == key)
            return i;
    return -1;
}

// "[Settings]", an empty line, Key=value lines, an empty line, and one more line end.
QByteArray fileTextOf(const QStringList& values) {
    QByteArray text = "[Settings]" + CrLf + CrLf;
    for (qsizetype i = 0; i < values.size(); ++i) {
        // A NUL byte read from a damaged file would end the value for every other reader.
        QString value = values[i];
        value.remove(QChar(0));
        if (table()[i].optional && value.isEmpty())
            continue;
        text += table()[i].key.toUtf8() + '=' + ini::encodeValue(value) + CrLf;
    }
    return text + CrLf + CrLf;
}

float sizeOf(const QString& text, float fallback) {
    bool ok = false;
    const float value = text.trimmed().toFloat(&ok);
    return ok && std::isfinite(value) && value > 0 ? value : fallback;
}

} // namespace

Settings::Settings(QString programFolder) : m_folder(std::move(programFolder)) {
    m_values.resize(table().size());
}

const QStringList& Settings::keys() {
    static const QStringList list = [] {
        QStringList keys;
        for (const KeyDefault& row : table())
            keys.append(row.key);
        return keys;
    }();
    return list;
}

QString Settings::newFileValue(const QString& key) {
    const qsizetype i = indexOf(key);
    return i < 0 ? QString() : table()[i].newFile;
}

QByteArray Settings::defaultFileText() {
    QStringList values;
    for (const KeyDefault& row : table())
        values.append(row.newFile);
    return fileTextOf(values);
}

QString Settings::configPath() const { return m_folder + QStringLiteral("/config.ini"); }

bool Settings::createDefaultFile(QString* errorText) const {
    if (QFileInfo::exists(configPath()))
        return true;
    return saveFileAtomically(configPath(), defaultFileText(), errorText);
}

void Settings::load() {
    const ini::Reader file(configPath());
    for (qsizetype i = 0; i < m_values.size(); ++i)
        m_values[i] = file.read(Section, table()[i].key);
    resolveLanguageFile();
}

QByteArray Settings::fileText() const { return fileTextOf(m_values); }

bool Settings::save(QString* errorText) const {
    return saveFileAtomically(configPath(), fileText(), errorText);
}

QString Settings::value(const QString& key) const {
    const qsizetype i = indexOf(key);
    return i < 0 ? QString() : m_values[i];
}

void Settings::setValue(const QString& key, const QString& value) {
    const qsizetype i = indexOf(key);
    if (i >= 0)
        m_values[i] = value;
}

bool Settings::isOn(const QString& key) const {
    static const QStringList offOnlyWhenFalse = {
        QStringLiteral("CloseConDBClick"), QStringLiteral("PopupAlert"),
        QStringLiteral("ShowListening"), QStringLiteral("ShowLocal"), QStringLiteral("ShowUDP"),
        QStringLiteral("JournalRecords")};
    if (offOnlyWhenFalse.contains(key))
        return value(key) != QLatin1String("False");
    return value(key) == QLatin1String("True");
}

void Settings::applyFallbacks() {
    const auto fallback = [this](const char* key, const char* text) {
        if (value(QLatin1String(key)).isEmpty())
            setValue(QLatin1String(key), QLatin1String(text));
    };
    fallback("LogSize", "512");
    fallback("Height", "8945");
    fallback("Width", "11640");
}

float Settings::heightTwips() const { return sizeOf(value(QStringLiteral("Height")), 8945); }

float Settings::widthTwips() const { return sizeOf(value(QStringLiteral("Width")), 11640); }

void Settings::setWindowSize(float heightTwips, float widthTwips) {
    setValue(QStringLiteral("Height"), twipsText(heightTwips));
    setValue(QStringLiteral("Width"), twipsText(widthTwips));
}

QString Settings::twipsText(float twips) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, twips);
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

QString Settings::resolveLanguageFile() {
    m_languageFile = tarvok::resolveLanguageFile(m_folder, value(QStringLiteral("Language")));
    return m_languageFile;
}

} // namespace tarvok
