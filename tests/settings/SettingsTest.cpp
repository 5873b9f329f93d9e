// The ini files, config.ini, the language files and the preferences dialog, on real files.

#include "settings/Autostart.h"
#include "settings/FrmPreferences.h"
#include "settings/IniFile.h"
#include "settings/LanguageFile.h"
#include "settings/LanguageKeys.h"
#include "settings/Preferences.h"
#include "settings/ProgramFolder.h"
#include "settings/SaveFile.h"
#include "settings/Settings.h"

#include "app/AppTestSupport.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "support/Accessibility.h"
#include "support/ScratchFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSet>
#include <QLabel>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

const QByteArray NewFile =
    "[Settings]\r\n\r\n"
    "Height=8945\r\nWidth=11460\r\nLanguage=English\r\nCloseConDBClick=True\r\nLogSize=512\r\n"
    "PopupAlert=True\r\nRuleFile=Normal.rlsp\r\nCloseConManually=False\r\nRunMinimized=False\r\n"
    "FilePropertyDBClick=False\r\nShowListening=True\r\nShowLocal=True\r\nShowUDP=True\r\n"
    "\r\n\r\n";

// A temporary program folder with an empty language folder.
class SettingsFolder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(folder() + "/Language")); }
    QString folder() const { return m_dir.path(); }
    QString config() const { return folder() + QStringLiteral("/config.ini"); }
    QString language(const QString& name) const { return languageFilePath(folder(), name); }
    QTemporaryDir m_dir;
};

class IniFileTest : public SettingsFolder, public ::testing::WithParamInterface<const char*> {
protected:
    QByteArray lines(std::initializer_list<const char*> list) const {
        QByteArray text;
        for (const char* line : list)
            text += QByteArray(line) + GetParam();
        return text;
    }
};

TEST_P(IniFileTest, ReadsOddLayouts) {
    const QByteArray longValue = "Long=" + QByteArray(400, 'v');
    ASSERT_TRUE(writeFile(config(), lines({"orphan=before any section", "; a comment=not a key",
                                         "[Other]", "Key=other section", "", "  [ Settings ]  ",
                                         "  Key  =  padded value\t ", "key=second of the same name",
                                         "Quoted=\"  kept blanks  \"", "HalfQuote=\"open",
                                         "NoEquals", "Empty=", longValue.constData(), "[settings]",
                                         "Later=merged section", "Key=not the first"})));
    const char* const cases[][3] = {
        {"Settings", "Key", "padded value"}, {"SETTINGS", "key", "padded value"},
        {"Other", "Key", "other section"},   {"Settings", "Quoted", "  kept blanks  "},
        {"Settings", "HalfQuote", "\"open"},  {"Settings", "NoEquals", ""},
        {"Settings", "Later", "merged section"}, {"Settings", "orphan", ""},
        {"Settings", "; a comment", ""},     {"Missing", "Key", ""}};
    for (const auto& [section, key, value] : cases)
        EXPECT_EQ(ini::read(section, key, config()), value) << section << '|' << key;
    EXPECT_EQ(ini::read("Settings", "Long", config()), QString(354, QLatin1Char('v')));
}

TEST_P(IniFileTest, WritesKeepEveryOtherLine) {
    ASSERT_TRUE(
        writeFile(config(), lines({"; keep me", "[A]", "one=1", "", "[B]", "two = 2", ""})));
    ASSERT_TRUE(ini::write("b", "TWO", "zwei", config()));
    ASSERT_TRUE(ini::write("A", "three", "3", config()));
    ASSERT_TRUE(ini::write("C", "four", "4", config()));
    EXPECT_EQ(readFile(config()), lines({"; keep me", "[A]", "one=1", "three=3", "", "[B]",
                                       "two=zwei", "", "[C]", "four=4"}));
}

INSTANTIATE_TEST_SUITE_P(LineEnds, IniFileTest, ::testing::Values("\r\n", "\n"),
                         [](const auto& info) { return info.param[0] == '\r' ? "CrLf" : "Lf"; });

// A value that starts with U+FEFF lost it on the way back (read as a byte-order mark).
TEST_F(SettingsFolder, IniNewFileIsCrLfAndEveryValueReadsBackEvenALeadingByteOrderMark) {
    // Names that could not be read back are refused, and no file is made for them.
    const std::pair<const char*, const char*> badNames[] = {
        {"", "k"}, {"S", " "}, {"S]", "k"}, {"S", "k=1"}, {"S", "a\nb"}};
    for (const auto& [section, key] : badNames)
        EXPECT_FALSE(ini::write(section, key, "v", config())) << section << '|' << key;
    EXPECT_FALSE(QFile::exists(config()));

    ASSERT_TRUE(ini::write("Rules", "1", "plain", config()));
    EXPECT_EQ(readFile(config()), "[Rules]\r\n1=plain\r\n");
    const QStringList values = {
        "", "  leading and trailing  ", "\"quoted\"", "\"", "a=b=c", "; not a comment",
        "[not a section]", QString::fromUtf8("Grüße – ☃"), "tab\tinside",
        QString::fromUtf8("\uFEFF\uFEFFmarks")};
    for (int i = 0; i < values.size(); ++i)
        ASSERT_TRUE(ini::write("Rules", QString::number(i), values[i], config()));
    for (int i = 0; i < values.size(); ++i)
        EXPECT_EQ(ini::read("Rules", QString::number(i), config()), values[i]) << i;
    // A line break cannot be stored; it must not be able to start a line of its own.
    ASSERT_TRUE(ini::write("Rules", "x", "a\r\n[Evil]\r\ny=z", config()));
    EXPECT_EQ(ini::read("Rules", "x", config()), "a  [Evil]  y=z");
    EXPECT_EQ(ini::read("Evil", "y", config()), "");
}

TEST_F(SettingsFolder, IniWindows1252FilesReadStayReadableAndChangesBehindItsBackAreSeen) {
    const QString name = QString::fromUtf8("Café € \u008D");
    ASSERT_TRUE(writeFile(config(), "[S]\r\nname=Caf\xE9 \x80 \x8D\r\nother=x\r\n"));
    EXPECT_EQ(ini::read("S", "name", config()), name);
    // Plain ASCII changes keep the rest of the file byte for byte.
    ASSERT_TRUE(ini::write("S", "other", "y", config()));
    EXPECT_EQ(readFile(config()), "[S]\r\nname=Caf\xE9 \x80 \x8D\r\nother=y\r\n");
    // Non-ASCII text turns the file into UTF-8 and every value still reads the same.
    ASSERT_TRUE(ini::write("S", "other", QString::fromUtf8("ñ"), config()));
    EXPECT_TRUE(readFile(config()).isValidUtf8());
    EXPECT_EQ(ini::read("S", "name", config()), name);
    EXPECT_EQ(ini::read("S", "other", config()), QString::fromUtf8("ñ"));

    // A UTF-8 file with a byte-order mark keeps it.
    ASSERT_TRUE(writeFile(config(), "\xEF\xBB\xBF[S]\nname=Caf\xC3\xA9\n"));
    EXPECT_EQ(ini::read("s", "NAME", config()), QString::fromUtf8("Café"));
    ASSERT_TRUE(ini::write("S", "more", "1", config()));
    EXPECT_EQ(readFile(config()), "\xEF\xBB\xBF[S]\nname=Caf\xC3\xA9\nmore=1\n");

    // Changes made behind its back: same size, rewritten in place at once, so that the
    // modification time may not even change.
    for (char c = 'a'; c <= 'e'; ++c) {
        ASSERT_TRUE(writeFile(config(), QByteArray("[S]\nk=") + c + '\n'));
        EXPECT_EQ(ini::read("S", "k", config()), QString(QLatin1Char(c)));
    }
    QFile::remove(config());
    EXPECT_EQ(ini::read("S", "k", config()), "");
}

TEST_F(SettingsFolder, FirstStartCreatesTheDefaultFileAndTheWindowSizeIsStoredShortest) {
    Settings settings(folder());
    ASSERT_TRUE(settings.createDefaultFile());
    EXPECT_EQ(readFile(config()), NewFile);
    settings.load();
    EXPECT_EQ(settings.fileText(), NewFile);
    ASSERT_TRUE(writeFile(config(), "odd"));
    EXPECT_TRUE(settings.createDefaultFile());
    EXPECT_EQ(readFile(config()), "odd");

    // The window size is stored as the shortest number; a size that is no number falls back.
    settings.setWindowSize(8945.0f, 11460.5f);
    EXPECT_EQ(settings.value("Height"), "8945");
    EXPECT_EQ(settings.value("Width"), "11460.5");
    EXPECT_EQ(Settings::twipsText(0.1f), "0.1");
    settings.setValue("Height", "tall");
    settings.setValue("Width", "-5");
    EXPECT_EQ(std::tuple(settings.heightTwips(), settings.widthTwips()), std::tuple(8945.0f, 11640.0f));
}

TEST_F(SettingsFolder, OddFilesLoadAsWrittenAndSaveOnlyTheKeysTheyHold) {
    // Windows-1252, an unknown key, a missing key, an empty Width, words in the wrong case or in
    // quotes, and a NUL byte: only "False" turns ShowUDP off, only "True" RunMinimized on.
    ASSERT_TRUE(writeFile(config(), "; written by hand\n[SETTINGS]\nHeight=7000\nWidth=\n"
                                    "Language=Fran\xE7" "ais\nShowUDP=false\nRunMinimized=true\n"
                                    "PopupAlert=\"False\"\nCloseConManually=True\nUnknown=kept?\n"
                                    "FilePropertyDBClick=Fa" + QByteArray(1, '\0') + "lse\n"));
    Settings settings(folder());
    settings.load();
    const std::pair<const char*, bool> switches[] = {
        {"ShowUDP", true}, {"ShowLocal", true}, {"PopupAlert", false}, {"RunMinimized", false},
        {"CloseConManually", true}, {"FilePropertyDBClick", false}};
    for (const auto& [key, on] : switches)
        EXPECT_EQ(settings.isOn(key), on) << key;

    settings.applyFallbacks();
    EXPECT_EQ(settings.widthTwips(), 11640.0f);
    ASSERT_TRUE(settings.save());
    EXPECT_EQ(readFile(config()),
              "[Settings]\r\n\r\nHeight=7000\r\nWidth=11640\r\nLanguage=Fran\xC3\xA7" "ais\r\n"
              "CloseConDBClick=\r\nLogSize=512\r\nPopupAlert=False\r\nRuleFile=\r\n"
              "CloseConManually=True\r\nRunMinimized=true\r\nFilePropertyDBClick=False\r\n"
              "ShowListening=\r\nShowLocal=\r\nShowUDP=false\r\n\r\n\r\n");
    // The optional fourteenth key is written once it has a value, and reads back.
    EXPECT_TRUE(settings.isOn("JournalRecords"));
    settings.setValue("JournalRecords", "False");
    ASSERT_TRUE(settings.save());
    EXPECT_TRUE(readFile(config()).endsWith("ShowUDP=false\r\nJournalRecords=False\r\n\r\n\r\n"));
    settings.load();
    EXPECT_FALSE(settings.isOn("JournalRecords"));
}

// A write that cannot finish fails with a reason, keeps the file, creates none, leaves nothing.
TEST_F(SettingsFolder, ReadOnlyFolderOrFullDiskFailsAndKeepsTheFile) {
    const QString ro = folder() + "/ro", small = folder() + "/small";
    ASSERT_TRUE(QDir().mkpath(ro + "/fresh") && QDir().mkpath(small));
    auto disk = test::ScratchMount::smallDisk(small, 64);
    TARVOK_REQUIRE_MOUNT(disk);
    for (const QString& where : {ro, small})
        ASSERT_TRUE(writeFile(where + "/config.ini", NewFile));
    auto readOnly = test::ScratchMount::readOnly(ro);
    TARVOK_REQUIRE_MOUNT(readOnly);
    ASSERT_TRUE(disk.fill());
    const QString big(300, QLatin1Char('x'));
    for (const QString& where : {ro, small}) {
        SCOPED_TRACE(where.toStdString());
        EXPECT_FALSE(ini::write("Settings", "Height", big, where + "/config.ini"));
        EXPECT_FALSE(ini::write("Rules", "1", "x", where + "/new.ini"));
        Settings settings(where);
        settings.setValue("RuleFile", big);
        QString error;
        EXPECT_FALSE(settings.save(&error));
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(readFile(where + "/config.ini"), NewFile);
        EXPECT_FALSE(QFile::exists(where + "/new.ini"));
    }
    EXPECT_EQ(QDir(small).entryList(QDir::Files).size(), 2); // the file and the filler

    // No file yet: it cannot be created, and the caller hears why.
    QString error;
    EXPECT_FALSE(Settings(ro + "/fresh").createDefaultFile(&error));
    EXPECT_FALSE(error.isEmpty());
}

// Other users could read the records: with the common umask 022 the folder was made 0755 and
// the files 0644, and a saved file kept the 0644 of the one it replaced. An older version's
// records are tightened at start; a build folder and its binary are left as they are.
TEST_F(SettingsFolder, RecordsAreTheUsersAloneWhateverTheUmaskOrAnOlderVersionLeft) {
    const auto restoreMask = qScopeGuard([mask = ::umask(022)] { ::umask(mask); });
    const QString build = folder(), installed = folder() + "/data/Tarvok";
    const QStringList records = {"config.ini", "Normal.rlsp", "History.tvh", "Logs/3-5-24.tvl"};
    for (const QString& base : {build, installed}) {
        ASSERT_TRUE(QDir().mkpath(base + "/Logs"));
        for (const QString& name : records + QStringList{"tarvok"})
            ASSERT_TRUE(writeFile(base + "/" + name, "x"));
    }
    ASSERT_EQ(::chmod(QFile::encodeName(build).constData(), 0755), 0);
    ASSERT_EQ(fileMode(installed + "/Normal.rlsp"), 0644);
    keepRecordsPrivate(build);
    EXPECT_EQ(prepareProgramFolder(installed), QString());
    for (const QString& base : {build, installed}) {
        for (const QString& name : records)
            EXPECT_EQ(fileMode(base + "/" + name), 0600) << (base + "/" + name).toStdString();
        EXPECT_EQ(std::tuple(fileMode(base + "/Logs"), fileMode(base + "/tarvok")),
                  std::tuple(0700, 0644));
    }
    EXPECT_EQ(std::tuple(fileMode(build), fileMode(installed)), std::tuple(0755, 0700));

    // What is written from now on: a new file, a file that others could read, new folders.
    ASSERT_TRUE(writeFile(build + "/Old.rlsp", "x"));
    for (const char* name : {"New.rlsp", "Old.rlsp"}) {
        ASSERT_TRUE(saveFileAtomically(build + "/" + name, "y"));
        EXPECT_EQ(fileMode(build + "/" + name), 0600) << name;
    }
    ASSERT_TRUE(makePrivateFolder(folder() + "/fresh/Tarvok"));
    EXPECT_EQ(std::tuple(fileMode(folder() + "/fresh"), fileMode(folder() + "/fresh/Tarvok")),
              std::tuple(0755, 0700));
}

const QString Shipped = QStringLiteral(TARVOK_LANG_SOURCE_DIR);

class ShippedLanguage : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(ShippedLanguage, HoldsEveryKeyTheProgramReadsInItsOwnCodePage) {
    const QString path = Shipped + '/' + GetParam().first + ".lng";
    const QByteArray bytes = readFile(path);
    ASSERT_FALSE(bytes.isEmpty());
    EXPECT_EQ(bytes.count('\n'), bytes.count("\r\n")) << "every line ends with CR LF";
    // Stored in the code page, not in UTF-8, as files from Windows are.
    EXPECT_EQ(bytes.isValidUtf8(), GetParam().second == 0);
    const LanguageFile file(path);
    EXPECT_EQ(file.characterSet(), GetParam().second);
    for (const auto& [section, key] : language::allKeys()) {
        const QString text = file.text(section, key);
        EXPECT_TRUE(!text.isEmpty() && !text.contains(QChar::ReplacementCharacter))
            << section.toStdString() << ' ' << key.toStdString();
    }
    EXPECT_TRUE(file.text("Main", 108).contains("Tarvok"));
    RuleWords words;
    EXPECT_TRUE(file.fill(words)) << "the rule words are sound";
}

INSTANTIATE_TEST_SUITE_P(Files, ShippedLanguage,
                         ::testing::Values(std::pair{"English", 0}, std::pair{"Japanese", 128},
                                           std::pair{"Russian", 204}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(ShippedLanguages, JapaneseDecodesAndEnglishHoldsTheBuiltInWording) {
    const LanguageFile japanese(Shipped + "/Japanese.lng");
    EXPECT_EQ(japanese.text("Main", 45), QString::fromUtf8("ポリシー"));
    EXPECT_EQ(japanese.text("Add", 27), QString::fromUtf8("ルール番号 ")); // blank kept by quotes

    const LanguageFile english(Shipped + "/English.lng");
    TextHolders holders;
    holders.policy.clear();
    english.fill(holders);
    EXPECT_EQ(holders, TextHolders{});
    RuleWords words;
    words.accept.clear();
    english.fill(words);
    EXPECT_EQ(words, RuleWords{});
    EXPECT_EQ(english.text("Alert", 1), "The following processes are using the network:");
}

// With the accept word empty or equal to the block word, every rule read as the same action
// and a block rule cut nothing; with the any-port word "80" (or an any-address word that is an
// address) a rule for port 80 became a rule for any port, and was saved as one.
TEST_F(SettingsFolder, DamagedLanguageFileCannotChangeWhatARuleDoesOrMatches) {
    // An empty text stands for a folder in place of the file.
    const struct { const char *name; QByteArray text; const char *accept, *block;
        const char* anyAddress = "any address";
        const char* anyPort = "any port";
    } cases[] = {
        {"NoAddSection", "[LANGUAGE]\r\nCharacterSet=0\r\n[Main]\r\n1=Datei\r\n", "accept",
         "block"},
        {"Garbage", QByteArray("\x00\xff\xfe=\x01[[\x80\x81\r\n\x00", 13), "accept", "block"},
        {"Folder", {}, "accept", "block"},
        {"SameWords", "[Add]\r\n17=ja\r\n18=ja\r\n14=an\r\n15=aus\r\n", "accept", "block"},
        {"BlankAccept", "[Add]\r\n17=\" \"\r\n18=sperren\r\n", "accept", "sperren"},
        {"AcceptIsTheAnyPortWord", "[Add]\r\n17=alle\r\n18=sperren\r\n8=alle\r\n", "accept",
         "sperren"},
        {"AnyPortWordIsAPortNumber", "[Add]\r\n8=80\r\n5=alle\r\n", "accept", "block", "alle"},
        {"AnyAddressWordIsAnAddress", "[Add]\r\n5=10.0.0.1\r\n8=alle\r\n", "accept", "block",
         "any address", "alle"},
        {"AnyAddressWordIsAnIPv6Address", "[Add]\r\n5=::1\r\n18=443\r\n", "accept", "block"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.text.isEmpty() ? QDir().mkpath(language(c.name))
                                     : writeFile(language(c.name), c.text));
        const LanguageFile file(language(c.name));
        RuleWords words;
        EXPECT_FALSE(file.fill(words)) << "the user is told the file is damaged";
        EXPECT_EQ(QStringList({words.accept, words.block, words.anyAddress, words.anyPort}),
                  QStringList({c.accept, c.block, c.anyAddress, c.anyPort}));
        const QStringList all = {words.accept, words.block, words.enabled, words.disabled,
                                 words.anyAddress, words.anyPort, words.noLog, words.noDescription};
        EXPECT_EQ(QSet<QString>(all.begin(), all.end()).size(), all.size())
            << all.join('|').toStdString();
        TextHolders holders;
        file.fill(holders);
        EXPECT_EQ(holders.accept, words.accept) << "rows are compared with the same word";
    }
}

TEST_F(SettingsFolder, LanguageCodePagesAndUtf8FilesDecodeAndMissingKeysStayEmpty) {
    // Cyrillic in Windows-1251, Greek in 1253, a Russian file saved as UTF-8 by an editor, and a
    // long double-byte value, cut to 354 characters, not bytes.
    const std::pair<QByteArray, QString> cases[] = {
        {"204\r\n[Main]\r\n1=\xCF\xF0\xE8\xE2\xE5\xF2", QString::fromUtf8("Привет")},
        {"161\r\n[Main]\r\n1=\xE3\xE5\xE9\xDC", QString::fromUtf8("γειά")},
        {"204\r\n[Main]\r\n1=\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
         QString::fromUtf8("Привет")},
        {"128\r\n[Main]\r\n1=" + QByteArray("\x83\x65").repeated(400),
         QString(354, QChar(0x30C6))}};
    for (const auto& [text, decoded] : cases) {
        ASSERT_TRUE(writeFile(language("Test"), "[LANGUAGE]\r\nCharacterSet=" + text + "\r\n"));
        EXPECT_EQ(LanguageFile(language("Test")).text("Main", 1), decoded);
    }
    ASSERT_TRUE(writeFile(language("Test"), "[LANGUAGE]\nCharacterSet=oops\n[Main]\n70=Regel:\n"
                                            "[Add]\n17=annehmen\n"));
    TextHolders holders;
    LanguageFile(language("Test")).fill(holders);
    EXPECT_EQ(QStringList({holders.policy, holders.accept, holders.established}),
              QStringList({"Regel:", "annehmen", ""}));
    for (int characterSet : {0, 128, 129, 134, 136, 161, 162, 177, 178, 186, 204, 238, 222})
        EXPECT_EQ(decodeCodePage("abc", codePageForCharacterSet(characterSet)), "abc")
            << characterSet;
}

// Only .lng files are listed; a picked language previews its texts, a picked name without a
// file previews nothing; a configured language without a file reads English and is kept.
TEST_F(SettingsFolder, LanguagesAreListedPreviewedAndOneWithoutAFileFallsBackToEnglish) {
    for (const char* name : {"English.lng", "Russian.lng", "notes.txt", "old.lng.bak"})
        ASSERT_TRUE(writeFile(folder() + "/Language/" + name, "[LANGUAGE]\r\n"));
    ASSERT_TRUE(QFile::copy(Shipped + "/Japanese.lng", language("Japanese")));
    const QStringList names = availableLanguages(folder());
    EXPECT_EQ(QSet<QString>(names.begin(), names.end()),
              QSet<QString>({"English", "Japanese", "Russian"}));
    const LanguagePreview preview = previewLanguage(folder(), "Japanese");
    EXPECT_EQ(QStringList({preview.okCaption, preview.selectCaption, preview.translator}),
              QStringList({QString::fromUtf8("OK(&O)"), QString::fromUtf8("言語を選んでください:"),
                           QString::fromUtf8("Tarvok プロジェクト")}));
    EXPECT_FALSE(preview.changeMessage.isEmpty());
    EXPECT_EQ(previewLanguage(folder(), "Gone").okCaption, "");

    ASSERT_TRUE(writeFile(config(), "[Settings]\r\nLanguage=Klingon\r\n"));
    Settings settings(folder());
    settings.load();
    const QString english = folder() + "/Language/English.lng";
    EXPECT_EQ(settings.languageFile(), english);
    ASSERT_TRUE(settings.save());
    EXPECT_TRUE(readFile(config()).contains("\r\nLanguage=Klingon\r\n"));
    settings.setValue("Language", "Russian");
    EXPECT_EQ(settings.resolveLanguageFile(), folder() + "/Language/Russian.lng");
    for (const char* name : {"../Language/Russian", ""}) { // a path, or nothing: English
        settings.setValue("Language", name);
        EXPECT_EQ(settings.resolveLanguageFile(), english) << name;
    }
}

TEST(Preferences, LogSizeBoxRules) {
    const struct { const char *typed, *kept; bool invalid; } cases[] = {
        {"0700", "512", false}, {"00", "0", false},  {"12a", "12a", true},
        {"512", "512", false},  {"513", "512", false}, {"99999999999", "512", false},
        {"", "", false},        {"-5", "-5", true}};
    for (const auto& c : cases) {
        const preferences::LogSizeText result = preferences::checkLogSize(QLatin1String(c.typed));
        EXPECT_EQ(result.text, QLatin1String(c.kept)) << c.typed;
        EXPECT_EQ(result.invalid, c.invalid) << c.typed;
    }
}

// The dialog over the built languages; the autostart entry goes to a temporary folder.
class FrmPreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        language.setPath(folder.file(QStringLiteral("Language/English.lng")));
        settings.values = {{"Language", "English"}, {"LogSize", "100"},
                           {"CloseConDBClick", "True"}, {"PopupAlert", "True"}};
    }
    void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }
    std::unique_ptr<FrmPreferences> open() {
        auto dialog = std::make_unique<FrmPreferences>(folder.path(), program, settings, language,
                                                       prompter);
        dialog->show();
        return dialog;
    }

    test::ProgramFolder folder;
    QTemporaryDir config;
    // Quote, dollar, backslash, percent and blank survive the entry's string and argument escapes.
    const QString program = QStringLiteral("/opt/my \"tools\"/$x\\100% b/tarvok");
    MapSettings settings;
    LanguageFile language;
    FakePrompter prompter;
};

TEST_F(FrmPreferencesTest, EveryBoxWritesItsSettingOrTheStartAtLoginEntryAtOnce) {
    auto dialog = open();
    QSignalSpy modes(dialog.get(), &FrmPreferences::doubleClickModeChanged);
    dialog->box("ChkFilePropertiesDBClick")->click();
    EXPECT_FALSE(dialog->box("ChkDBClick")->isChecked()); // the two stay opposite
    ASSERT_EQ(modes.size(), 1);
    EXPECT_EQ(modes[0][0].toString(), QStringLiteral("0"));
    dialog->box("ChkDBClick")->click();
    EXPECT_FALSE(dialog->box("ChkFilePropertiesDBClick")->isChecked());
    EXPECT_TRUE(dialog->box("ChkJournal")->isChecked()); // on while the key is unset
    for (const char* box : {"ChkPopup", "ChkMinimized", "ChkJournal"})
        dialog->box(box)->click();
    const QMap<QString, QString> expected = {
        {"CloseConDBClick", "True"}, {"FilePropertyDBClick", "False"}, {"Language", "English"},
        {"LogSize", "100"}, {"PopupAlert", "False"}, {"RunMinimized", "True"},
        {"JournalRecords", "False"}};
    EXPECT_EQ(settings.values, expected);

    const QString entry = config.filePath(QStringLiteral("autostart/Tarvok.desktop"));
    QCheckBox* startUp = dialog->box("ChkStartUp");
    startUp->click();
    EXPECT_TRUE(readFile(entry).contains(
        "\nExec=\"/opt/my \\\\\"tools\\\\\"/\\\\$x\\\\\\\\100%% b/tarvok\"\n"))
        << readFile(entry).toStdString();
    EXPECT_FALSE(autostart::isEnabled(QStringLiteral("/elsewhere/tarvok")));
    EXPECT_TRUE(open()->box("ChkStartUp")->isChecked());
    startUp->click();
    EXPECT_FALSE(QFile::exists(entry));

    // A file where the autostart folder belongs: nobody, root included, can write the entry.
    ASSERT_TRUE(QDir(config.filePath(QStringLiteral("autostart"))).removeRecursively());
    ASSERT_TRUE(writeFile(config.filePath(QStringLiteral("autostart")), "not a folder"));
    startUp->click();
    EXPECT_FALSE(startUp->isChecked());
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].style, Prompter::Critical);
    EXPECT_TRUE(prompter.messages()[0].text.contains(QStringLiteral("Tarvok.desktop")));
}

// OK said that the new language would be used at the next start when none was picked.
TEST_F(FrmPreferencesTest, OkTellsOfTheNextStartOnlyWhenTheLanguageChanged) {
    open()->findChild<QPushButton*>("cmdOK")->click();
    EXPECT_TRUE(prompter.calls.isEmpty());
    EXPECT_EQ(settings.values.value("Language"), "English");
}

TEST_F(FrmPreferencesTest, LogSizeAndLanguageAreTakenOverByOkOnlyNotByEscape) {
    QMap<QString, QString> before;
    {
        auto dialog = open();
        before = settings.values;
        QTest::keyClicks(dialog->findChild<QLineEdit*>("txtSize"), QStringLiteral("3"));
        dialog->findChild<QComboBox*>("cboLanguage")->setCurrentText("Russian");
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        EXPECT_FALSE(dialog->isVisible());
    }
    EXPECT_EQ(settings.values, before);
    EXPECT_TRUE(prompter.calls.isEmpty());
    auto dialog = open();
    auto* size = dialog->findChild<QLineEdit*>("txtSize");
    EXPECT_EQ(size->text(), QStringLiteral("100"));
    EXPECT_EQ(dialog->findChild<QLineEdit*>("txtLogPath")->text(),
              QDir::toNativeSeparators(folder.path() + QStringLiteral("/Logs/")));
    QTest::keyClicks(size, QStringLiteral("a"));
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].title + '|' + prompter.messages()[0].text, "Error!|Invalid log size");

    // Picking a language previews its OK button at once.
    dialog->findChild<QComboBox*>("cboLanguage")->setCurrentText(QStringLiteral("Japanese"));
    const LanguagePreview japanese = previewLanguage(folder.path(), QStringLiteral("Japanese"));
    auto* ok = dialog->findChild<QPushButton*>("cmdOK");
    EXPECT_EQ(ok->text(), japanese.okCaption);
    size->clear();
    prompter.calls.clear();
    ok->click();
    ASSERT_EQ(prompter.messages().size(), 2);
    EXPECT_EQ(prompter.messages()[0].text, language.text(QStringLiteral("Preferences"), 13));
    EXPECT_EQ(QStringList({prompter.messages()[1].text, prompter.messages()[1].title}),
              QStringList({japanese.changeMessage, japanese.changeTitle}));
    EXPECT_EQ(QStringList({settings.values.value("LogSize"), settings.values.value("Language")}),
              QStringList({"100", "Japanese"}));
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}

} // namespace

// Asking needs the program filter: without it the controls are greyed and say why. Each change
// writes its key at once; config.ini keeps them (they were dropped as unknown keys), and odd
// stored values read as the defaults or the nearest bound.
TEST_F(FrmPreferencesTest, AskingIsGreyedWithItsReasonWithoutTheFilterAndKeptUnderItsKeys) {
    auto dialog = open();
    QSignalSpy changes(dialog.get(), &FrmPreferences::askingChanged);
    QCheckBox* ask = dialog->box("ChkAskUnknownPrograms");
    auto* timeout = dialog->findChild<QSpinBox*>("txtAskTimeout");
    auto* answer = dialog->findChild<QComboBox*>("cboAskDefault");
    auto* reason = dialog->findChild<QLabel*>("lblAskUnavailable");
    EXPECT_EQ(std::tuple(ask->isChecked(), timeout->value(), answer->currentText()),
              std::tuple(false, 60, QStringLiteral("Block once")));
    dialog->setAskAvailable(false, QStringLiteral("the kernel has no BTF"));
    EXPECT_FALSE(ask->isEnabled() || timeout->isEnabled() || answer->isEnabled());
    EXPECT_TRUE(reason->isVisible());
    EXPECT_EQ(reason->text(), QStringLiteral("Not available: the kernel has no BTF"));
    dialog->setAskAvailable(true, {});
    ask->click();
    timeout->setValue(15);
    answer->setCurrentIndex(1);
    EXPECT_EQ(changes.size(), 3);
    EXPECT_EQ(preferences::asking(settings), (preferences::Asking{true, 15, true}));
    EXPECT_EQ(nameless(dialog.get()), QStringList());

    Settings stored(folder.path());
    stored.load();
    preferences::setAsking(stored, preferences::asking(settings));
    ASSERT_TRUE(stored.save());
    EXPECT_TRUE(folder.read("config.ini").contains("AskUnknownPrograms=True\r\nAskTimeout=15\r\n"
                                                   "AskDefaultAnswer=Allow\r\n"));
    Settings reread(folder.path());
    reread.load();
    EXPECT_EQ(preferences::asking(reread), (preferences::Asking{true, 15, true}));
    const std::pair<const char*, int> timeouts[] = {{"", 60}, {"soon", 60}, {"0", 5}, {"99999", 3600}};
    for (const auto& [text, seconds] : timeouts) {
        reread.setValue("AskTimeout", QLatin1String(text));
        EXPECT_EQ(preferences::asking(reread).timeoutSeconds, seconds) << text;
    }
}
