#include "settings/LanguageFile.h"

#include "engine/RuleIndex.h"
#include "settings/IniFile.h"
#include "settings/ProgramFolder.h"

#include <QFileInfo>
#include <QStringDecoder>

namespace tarvok {
namespace {

const QString Header = QStringLiteral("LANGUAGE");

// ICU names of a code page, most exact first. Windows-1252 is decoded here, without ICU.
QList<QByteArray> codecNames(int codePage) {
    switch (codePage) {
    case 1252: return {};
    case 932: return {"windows-932", "Shift_JIS"};
    case 936: return {"windows-936", "GBK"};
    case 949: return {"windows-949", "EUC-KR"};
    case 950: return {"windows-950", "Big5"};
    default: return {"windows-" + QByteArray::number(codePage)};
    }
}

QString cut(QString text) {
    if (text.size() > ini::MaxValueLength) {
        qsizetype length = ini::MaxValueLength;
        if (text.at(length - 1).isHighSurrogate())
            --length;
        text.truncate(length);
    }
    return text;
}

} // namespace

int codePageForCharacterSet(int characterSet) {
    switch (characterSet) {
    case 128: return 932;
    case 129: return 949;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 238: return 1250;
    case 222: return 874;
    default: return 1252;
    }
}

QString decodeCodePage(QByteArrayView bytes, int codePage) {
    for (const QByteArray& name : codecNames(codePage)) {
        QStringDecoder decoder(name.constData());
        if (decoder.isValid())
            return decoder.decode(bytes);
    }
    return ini::fromWindows1252(bytes);
}

QString languageFilePath(const QString& programFolder, const QString& name) {
    return dataFilePath(programFolder, QStringLiteral("Language/") + name + QStringLiteral(".lng"));
}

QString resolveLanguageFile(const QString& programFolder, const QString& language) {
    const QString english = languageFilePath(programFolder, QStringLiteral("English"));
    // A name is a file in Language/, never a path leading elsewhere.
    if (language.isEmpty() || language.contains(QLatin1Char('/')))
        return english;
    const QString path = languageFilePath(programFolder, language);
    return QFileInfo::exists(path) ? path : english;
}

QStringList availableLanguages(const QString& programFolder) {
    QStringList names =
        dataFileNames(programFolder, QStringLiteral("Language"), QStringLiteral("*.lng"));
    for (QString& name : names)
        name.chop(4);
    return names;
}

QString LanguageFile::text(const QString& section, int key) const {
    return text(section, QString::number(key));
}

QString LanguageFile::text(const QString& section, const QString& key) const {
    const ini::Reader file(m_path);
    const QByteArray bytes = file.readBytes(section, key);
    if (bytes.isEmpty())
        return {};
    // A file saved as UTF-8 (as Linux editors do) reads as such; otherwise the file's text
    // is in the code page of its character set.
    if (file.isUtf8())
        return cut(ini::fromUtf8Value(bytes));
    return cut(decodeCodePage(bytes, codePageForCharacterSet(characterSetOf(file))));
}

int LanguageFile::characterSetOf(const ini::Reader& file) {
    bool ok = false;
    const int value = file.read(Header, QStringLiteral("CharacterSet")).toInt(&ok);
    return ok ? value : 0;
}

int LanguageFile::characterSet() const { return characterSetOf(ini::Reader(m_path)); }

void LanguageFile::fill(TextHolders& h) const {
    const QString main = QStringLiteral("Main");
    const QString add = QStringLiteral("Add");
    const QString alert = QStringLiteral("Alert");
    h.policy = text(main, 70);
    h.established = text(main, 71);
    h.received = text(main, 65);
    h.sent = text(main, 66);
    h.in = text(main, 72);
    h.out = text(main, 73);
    h.localPort = text(main, 50);
    h.service = text(main, 53);
    h.time = text(main, 109);
    h.thisEvent = text(main, 110);
    h.hasBlocked = text(main, 108);
    h.deleteRule = text(main, 87);
    h.unableClose = text(main, 88);
    h.wantClose = text(main, 89);
    h.wantKill = text(main, 92);
    h.unableKill = text(main, 94);
    h.newVersion = text(main, 105);
    h.wantDownload = text(main, 106);
    h.version = text(QStringLiteral("About"), 2);
    h.remoteAddress = text(add, 4);
    h.remotePort = text(add, 7);
    h.simpleAddress = text(add, 6);
    h.simplePort = text(add, 9);
    // The holders that rows are compared with carry the same words as the rules.
    const RuleWords words = ruleWords();
    h.anyAddress = words.anyAddress;
    h.anyPort = words.anyPort;
    h.noLog = words.noLog;
    h.enabled = words.enabled;
    h.disabled = words.disabled;
    h.accept = words.accept;
    h.rule1 = text(add, 29);
    h.rule2 = text(add, 27);
    h.theFollowing = text(alert, 1);
    h.process = text(alert, 2);
    h.trust = text(alert, 3);
    h.fileDetails = text(alert, 4);
    h.killProcess = text(alert, 5);
}

RuleWords LanguageFile::ruleWords(bool* damaged) const {
    const QString add = QStringLiteral("Add");
    const RuleWords english;
    RuleWords words;
    // The words, each with the key that fills it and its built-in English word.
    const struct {
        QString RuleWords::*word;
        int key;
    } table[] = {{&RuleWords::accept, 17},    {&RuleWords::block, 18},
                 {&RuleWords::enabled, 14},   {&RuleWords::disabled, 15},
                 {&RuleWords::anyAddress, 5}, {&RuleWords::anyPort, 8},
                 {&RuleWords::noLog, 12},     {&RuleWords::noDescription, 34}};
    for (const auto& row : table)
        words.*row.word = text(add, row.key);
    // Rows are told apart by these words alone: with an empty accept word, or one equal to
    // the block word, every rule would read as the same action; an any-address word that is
    // an address (or an any-port word that is a port number) would turn the rules for that
    // address into rules for any. A word that is empty, the same as another one, or a valid
    // address or port cell takes its English word; the check runs again, because an English
    // word may now meet a translated one, until all are distinct (all English ones are).
    const auto matchesSomething = [&english](const QString& word) {
        return parseAddressCell(word, english).kind != AddressPattern::Nothing ||
               parsePortCell(word, english).kind != PortPattern::Nothing;
    };
    bool fellBack = false;
    for (bool again = true; again;) {
        const RuleWords read = words;
        again = false;
        for (const auto& a : table) {
            bool bad = (read.*a.word).trimmed().isEmpty() ||
                       (read.*a.word != english.*a.word && matchesSomething(read.*a.word));
            for (const auto& b : table)
                bad = bad || (a.word != b.word && read.*a.word == read.*b.word);
            if (bad && read.*a.word != english.*a.word) {
                words.*a.word = english.*a.word;
                fellBack = again = true;
            }
        }
    }
    if (damaged)
        *damaged = fellBack;
    return words;
}

bool LanguageFile::fill(RuleWords& words) const {
    bool damaged = false;
    words = ruleWords(&damaged);
    return !damaged;
}

QString localisedOr(const Localiser& language, int mainKey, const QString& fallback) {
    const QString text = language.text(QStringLiteral("Main"), mainKey);
    // A translation that lost its place for the path would report a failure without saying
    // where: the English wording says it instead.
    const bool placeLost = fallback.contains(QStringLiteral("%1")) && !text.contains(QStringLiteral("%1"));
    return text.trimmed().isEmpty() || placeLost ? fallback : text;
}

LanguagePreview previewLanguage(const QString& programFolder, const QString& name) {
    const LanguageFile file(languageFilePath(programFolder, name));
    const QString tray = QStringLiteral("Tray");
    LanguagePreview preview;
    preview.selectCaption = file.text(tray, 4);
    preview.okCaption = file.text(tray, 5);
    preview.translator = file.text(Header, QStringLiteral("translator"));
    preview.email = file.text(Header, QStringLiteral("e-mail"));
    preview.web = file.text(Header, QStringLiteral("web"));
    preview.changeMessage = file.text(tray, 7);
    preview.changeTitle = file.text(tray, 8);
    preview.characterSet = file.characterSet();
    return preview;
}

} // namespace tarvok
