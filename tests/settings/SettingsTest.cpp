#include "support/ScratchFiles.h"
#include "settings/Settings.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace tarvok;
using tarvok::test::readFile;
using tarvok::test::writeFile;

namespace {

const QByteArray NewFile =
    "[Settings]\r\n\r\n"
    "Height=8945\r\nWidth=11460\r\nLanguage=English\r\nCloseConDBClick=True\r\nLogSize=512\r\n"
    "PopupAlert=True\r\nRuleFile=Normal.rlsp\r\nCloseConManually=False\r\nRunMinimized=False\r\n"
    "FilePropertyDBClick=False\r\nShowListening=True\r\nShowLocal=True\r\nShowUDP=True\r\n"
    "\r\n\r\n";

class SettingsTest : public ::testing::Test {
protected:
    QString folder() const { return m_dir.path(); }
    QString config() const { return folder() + QStringLiteral("/config.ini"); }
    void addLanguage(const QString& name) {
        ASSERT_TRUE(QDir().mkpath(folder() + QStringLiteral("/Language")));
        ASSERT_TRUE(writeFile(folder() + QStringLiteral("/Language/") + name + QStringLiteral(".lng"),
                             "[LANGUAGE]\r\nCharacterSet=0\r\n"));
    }
    QTemporaryDir m_dir;
};

TEST_F(SettingsTest, FirstStartCreatesTheDefaultFileAndOpensTheDefaultWindow) {
    Settings settings(folder());
    QString error;
    ASSERT_TRUE(settings.createDefaultFile(&error)) << error.toStdString();
    EXPECT_EQ(readFile(config()), NewFile);
    settings.load();
    settings.applyFallbacks();
    EXPECT_EQ(settings.heightTwips(), 8945.0f);
    EXPECT_EQ(settings.widthTwips(), 11460.0f);
    EXPECT_EQ(settings.fileText(), NewFile);
    EXPECT_EQ(settings.languageFile(), folder() + QStringLiteral("/Language/English.lng"));

    // A change reaches the disk only by a save; an existing file, whatever it holds, is never
    // replaced by the defaults.
    settings.setValue("ShowUDP", "False");
    EXPECT_EQ(readFile(config()), NewFile);
    ASSERT_TRUE(writeFile(config(), "odd"));
    EXPECT_TRUE(settings.createDefaultFile());
    EXPECT_EQ(readFile(config()), "odd");
}

TEST_F(SettingsTest, OddFilesLoadAsWritten) {
    // LF line ends, Windows-1252 bytes, comments, other sections, blanks, quotes, an unknown
    // key, a missing key (ShowLocal), an empty Width, words in the wrong case, a long value, a
    // NUL byte.
    ASSERT_TRUE(writeFile(config(), "; written by hand\n"
                                   "[Other]\nHeight=1\n\n"
                                   "[SETTINGS]\n"
                                   "height = 7000 \n"
                                   "Width=\n"
                                   "Language=Fran\xE7" "ais\n"
                                   "ShowUDP=false\n"
                                   "RunMinimized=true\n"
                                   "PopupAlert=\"False\"\n"
                                   "CloseConManually=True\n"
                                   "FilePropertyDBClick=Fa" + QByteArray(1, '\0') + "lse\n"
                                   "Unknown=kept?\n"
                                   "RuleFile=" + QByteArray(400, 'r') + "\n"));
    Settings settings(folder());
    EXPECT_TRUE(settings.createDefaultFile());
    settings.load();
    EXPECT_EQ(settings.value("Height"), "7000");
    EXPECT_EQ(settings.value("Width"), "");
    EXPECT_EQ(settings.value("Language"), QString::fromUtf8("Français"));
    EXPECT_EQ(settings.value("RuleFile"), QString(354, QLatin1Char('r')));
    EXPECT_EQ(settings.value("ShowLocal"), "");
    EXPECT_EQ(settings.value("Unknown"), "");

    EXPECT_TRUE(settings.isOn("ShowUDP"));        // only "False" turns it off
    EXPECT_TRUE(settings.isOn("ShowLocal"));      // missing counts as on
    EXPECT_FALSE(settings.isOn("PopupAlert"));    // quotes are not part of the value
    EXPECT_FALSE(settings.isOn("RunMinimized"));  // only "True" turns it on
    EXPECT_TRUE(settings.isOn("CloseConManually"));
    EXPECT_FALSE(settings.isOn("FilePropertyDBClick"));

    settings.applyFallbacks();
    EXPECT_EQ(settings.value("Width"), "11640");
    EXPECT_EQ(settings.widthTwips(), 11640.0f);
    EXPECT_EQ(settings.value("Height"), "7000");
    EXPECT_EQ(settings.value("LogSize"), "512");

    // The next save keeps only the thirteen keys, in their order, in UTF-8.
    ASSERT_TRUE(settings.save());
    const QByteArray saved = readFile(config());
    EXPECT_TRUE(saved.startsWith("[Settings]\r\n\r\nHeight=7000\r\nWidth=11640\r\nLanguage=Fran\xC3\xA7" "ais\r\n"));
    EXPECT_FALSE(saved.contains("Unknown"));
    EXPECT_FALSE(saved.contains("written by hand"));
    EXPECT_FALSE(saved.contains('\0')) << "a NUL byte is not written back";
    EXPECT_TRUE(saved.endsWith("ShowLocal=\r\nShowUDP=false\r\n\r\n\r\n"));
}

TEST_F(SettingsTest, EverySavedRecordLoadsBackTheSame) {
    Settings settings(folder());
    const QStringList values = {
        "", "  blanks  ", "\"quoted\"", QString::fromUtf8("日本語"), "a=b", "[x]", "; c",
        "8945.5", "True", "False", "Normal.rlsp", "x", "0"};
    for (qsizetype i = 0; i < Settings::keys().size(); ++i)
        settings.setValue(Settings::keys()[i], values[i]);
    ASSERT_TRUE(settings.save());

    Settings loaded(folder());
    loaded.load();
    for (const QString& key : Settings::keys())
        EXPECT_EQ(loaded.value(key), settings.value(key)) << key.toStdString();
    EXPECT_EQ(loaded.fileText(), readFile(config()));
}

TEST_F(SettingsTest, WindowSizeIsStoredAsTheShortestNumber) {
    Settings settings(folder());
    settings.setWindowSize(8945.0f, 11460.5f);
    EXPECT_EQ(settings.value("Height"), "8945");
    EXPECT_EQ(settings.value("Width"), "11460.5");
    EXPECT_EQ(Settings::twipsText(0.1f), "0.1");
    settings.setValue("Height", "tall");
    settings.setValue("Width", "-5");
    EXPECT_EQ(settings.heightTwips(), 8945.0f);
    EXPECT_EQ(settings.widthTwips(), 11640.0f);
}

TEST_F(SettingsTest, LanguageWithoutAFileFallsBackToEnglishAndIsKept) {
    addLanguage("English");
    addLanguage("Russian");
    ASSERT_TRUE(writeFile(config(), "[Settings]\r\nLanguage=Klingon\r\n"));
    Settings settings(folder());
    settings.load();
    EXPECT_EQ(settings.languageFile(), folder() + "/Language/English.lng");
    EXPECT_EQ(settings.value("Language"), "Klingon");
    ASSERT_TRUE(settings.save());
    EXPECT_TRUE(readFile(config()).contains("\r\nLanguage=Klingon\r\n"));

    settings.setValue("Language", "Russian");
    EXPECT_EQ(settings.resolveLanguageFile(), folder() + "/Language/Russian.lng");
    settings.setValue("Language", "../Language/Russian");
    EXPECT_EQ(settings.resolveLanguageFile(), folder() + "/Language/English.lng");
    settings.setValue("Language", "");
    EXPECT_EQ(settings.resolveLanguageFile(), folder() + "/Language/English.lng");
}

TEST_F(SettingsTest, ReadOnlyFolderOrFullDiskReportsAndKeepsTheFile) {
    const QString ro = folder() + QStringLiteral("/ro");
    const QString small = folder() + QStringLiteral("/small");
    ASSERT_TRUE(QDir().mkpath(ro + QStringLiteral("/fresh")));
    ASSERT_TRUE(QDir().mkpath(small));
    auto tmpfs = test::ScratchMount::smallDisk(small, 64);
    TARVOK_REQUIRE_MOUNT(tmpfs);
    ASSERT_TRUE(writeFile(ro + QStringLiteral("/config.ini"), NewFile));
    ASSERT_TRUE(writeFile(small + QStringLiteral("/config.ini"), NewFile));
    auto readOnly = test::ScratchMount::readOnly(ro);
    TARVOK_REQUIRE_MOUNT(readOnly);
    ASSERT_TRUE(tmpfs.fill());

    // No file yet: it cannot be created; the caller hears why and the defaults still apply.
    Settings fresh(ro + QStringLiteral("/fresh"));
    QString error;
    EXPECT_FALSE(fresh.createDefaultFile(&error));
    EXPECT_FALSE(error.isEmpty());
    fresh.load();
    fresh.applyFallbacks();
    EXPECT_TRUE(fresh.isOn("ShowUDP"));
    EXPECT_EQ(fresh.heightTwips(), 8945.0f);
    EXPECT_FALSE(QFile::exists(ro + QStringLiteral("/fresh/config.ini")));

    for (const QString& where : {ro, small}) {
        Settings settings(where);
        settings.load();
        settings.setValue("RuleFile", QString(300, QLatin1Char('p')));
        QString error;
        EXPECT_FALSE(settings.save(&error)) << where.toStdString();
        EXPECT_FALSE(error.isEmpty());
        EXPECT_EQ(readFile(where + QStringLiteral("/config.ini")), NewFile);
    }
    EXPECT_EQ(QDir(small).entryList(QDir::Files).size(), 2); // no temporary file left
}

} // namespace
