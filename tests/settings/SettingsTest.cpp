#include "settings/IniFile.h"
#include "settings/Settings.h"
#include "support/ScratchFiles.h"

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
    QTemporaryDir m_dir;
};

TEST_F(SettingsTest, FirstStartCreatesTheDefaultFileAndNeverReplacesAnExistingOne) {
    Settings settings(folder());
    ASSERT_TRUE(settings.createDefaultFile());
    EXPECT_EQ(readFile(config()), NewFile);
    settings.load();
    EXPECT_EQ(settings.widthTwips(), 11460.0f); // from the file, not the fallback
    EXPECT_EQ(settings.fileText(), NewFile);
    ASSERT_TRUE(writeFile(config(), "odd"));
    EXPECT_TRUE(settings.createDefaultFile());
    EXPECT_EQ(readFile(config()), "odd");
}

TEST_F(SettingsTest, OddFilesLoadAsWrittenAndSaveOnlyTheThirteenKeys) {
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
    ASSERT_TRUE(QDir().mkpath(folder() + "/Language"));
    for (const char* name : {"English", "Russian"})
        ASSERT_TRUE(writeFile(folder() + "/Language/" + name + ".lng", "[LANGUAGE]\r\n"));
    ASSERT_TRUE(writeFile(config(), "[Settings]\r\nLanguage=Klingon\r\n"));
    Settings settings(folder());
    settings.load();
    const QString english = folder() + "/Language/English.lng";
    EXPECT_EQ(settings.languageFile(), english);
    ASSERT_TRUE(settings.save());
    EXPECT_TRUE(readFile(config()).contains("\r\nLanguage=Klingon\r\n"));
    const std::pair<const char*, QString> picks[] = {
        {"Russian", folder() + "/Language/Russian.lng"}, {"../Language/Russian", english},
        {"", english}};
    for (const auto& [language, file] : picks) {
        settings.setValue("Language", language);
        EXPECT_EQ(settings.resolveLanguageFile(), file) << language;
    }
}

// A write that cannot finish fails with a reason, keeps the file as it was, creates none and
// leaves no temporary file behind.
TEST_F(SettingsTest, ReadOnlyFolderOrFullDiskFailsAndKeepsTheFile) {
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

} // namespace
