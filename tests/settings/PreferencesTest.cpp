#include "settings/Autostart.h"
#include "settings/FrmPreferences.h"
#include "settings/LanguageFile.h"
#include "settings/Preferences.h"

#include "app/AppTestSupport.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "support/ScratchFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

TEST(Preferences, LogSizeBoxRules) {
    struct Case {
        const char* typed;
        const char* kept;
        bool invalid;
    };
    const Case cases[] = {{"0700", "512", false}, {"00", "0", false},  {"12a", "12a", true},
                          {"512", "512", false},  {"513", "512", false}, {"99999999999", "512", false},
                          {"", "", false},        {"-5", "-5", true}};
    for (const Case& c : cases) {
        const preferences::LogSizeText result = preferences::checkLogSize(QLatin1String(c.typed));
        EXPECT_EQ(result.text, QLatin1String(c.kept)) << c.typed;
        EXPECT_EQ(result.invalid, c.invalid) << c.typed;
    }
}

TEST(Autostart, ExecQuotesThePathAsOneArgument) {
    // Quote, dollar, backslash and percent survive the entry's string and argument escapes.
    const QByteArray text = autostart::entryText(QStringLiteral("/opt/my \"tools\"/$x\\100%/tarvok"));
    EXPECT_TRUE(text.contains("\nExec=\"/opt/my \\\\\"tools\\\\\"/\\\\$x\\\\\\\\100%%/tarvok\"\n"))
        << text.constData();
}

// A program folder with the built languages, settings, and XDG_CONFIG_HOME in a temporary
// folder, so the autostart entry is written there.
class FrmPreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
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

    test::ProgramFolder folder; // with the built language files
    QTemporaryDir config;
    const QString program = QStringLiteral("/opt/my programs/tarvok");
    MapSettings settings;
    LanguageFile language;
    FakePrompter prompter;
};

TEST_F(FrmPreferencesTest, StartAtLoginEntryIsWrittenAndRemovedAtOnce) {
    const QString entry = config.filePath(QStringLiteral("autostart/Tarvok.desktop"));
    EXPECT_EQ(autostart::entryPath(), entry);
    auto dialog = open();
    QCheckBox* startUp = dialog->box("ChkStartUp");
    EXPECT_FALSE(startUp->isChecked());
    startUp->click();
    EXPECT_TRUE(readFile(entry).contains("Exec=\"/opt/my programs/tarvok\"\n"));
    EXPECT_TRUE(autostart::isEnabled(program));
    EXPECT_FALSE(autostart::isEnabled(QStringLiteral("/elsewhere/tarvok")));
    EXPECT_TRUE(open()->box("ChkStartUp")->isChecked());
    startUp->click();
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_TRUE(prompter.calls.isEmpty());
}

TEST_F(FrmPreferencesTest, StartAtLoginFailureIsReportedAndTheBoxShowsTheTruth) {
    // A file where the autostart folder belongs: nobody, root included, can write the entry.
    ASSERT_TRUE(writeFile(config.filePath(QStringLiteral("autostart")), "not a folder"));
    auto dialog = open();
    dialog->box("ChkStartUp")->click();
    EXPECT_FALSE(dialog->box("ChkStartUp")->isChecked());
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].style, Prompter::Critical);
    EXPECT_TRUE(prompter.messages()[0].text.contains(QStringLiteral("Tarvok.desktop")));
}

TEST_F(FrmPreferencesTest, DoubleClickBoxesStayOppositeAndWriteBothSettings) {
    auto dialog = open();
    QSignalSpy modes(dialog.get(), &FrmPreferences::doubleClickModeChanged);
    QCheckBox* closes = dialog->box("ChkDBClick");
    QCheckBox* properties = dialog->box("ChkFilePropertiesDBClick");
    EXPECT_TRUE(closes->isChecked());
    EXPECT_FALSE(properties->isChecked());
    properties->click();
    EXPECT_FALSE(closes->isChecked());
    EXPECT_EQ(settings.values.value("CloseConDBClick"), QStringLiteral("False"));
    EXPECT_EQ(settings.values.value("FilePropertyDBClick"), QStringLiteral("True"));
    ASSERT_EQ(modes.size(), 1);
    EXPECT_EQ(modes[0][0].toString(), QStringLiteral("0"));
    closes->click();
    EXPECT_FALSE(properties->isChecked());
    EXPECT_EQ(settings.values.value("CloseConDBClick"), QStringLiteral("True"));
    // The other boxes write their setting when clicked.
    dialog->box("ChkPopup")->click();
    dialog->box("ChkMinimized")->click();
    EXPECT_EQ(settings.values.value("PopupAlert"), QStringLiteral("False"));
    EXPECT_EQ(settings.values.value("RunMinimized"), QStringLiteral("True"));
}

TEST_F(FrmPreferencesTest, LogSizeAndLanguageAreTakenOverByOkOnlyNotByEscape) {
    {
        auto dialog = open();
        auto* size = dialog->findChild<QLineEdit*>(QStringLiteral("txtSize"));
        size->clear();
        QTest::keyClicks(size, QStringLiteral("300"));
        dialog->findChild<QComboBox*>(QStringLiteral("cboLanguage"))->setCurrentText("Russian");
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(settings.values.value("LogSize"), QStringLiteral("100"));
        EXPECT_EQ(settings.values.value("Language"), QStringLiteral("English"));
        EXPECT_TRUE(prompter.calls.isEmpty());
    }
    auto dialog = open();
    auto* size = dialog->findChild<QLineEdit*>(QStringLiteral("txtSize"));
    EXPECT_EQ(size->text(), QStringLiteral("100"));
    EXPECT_EQ(dialog->findChild<QLineEdit*>(QStringLiteral("txtLogPath"))->text(),
              QDir::toNativeSeparators(folder.path() + QStringLiteral("/Logs/")));
    size->clear();
    QTest::keyClicks(size, QStringLiteral("0700"));
    EXPECT_EQ(size->text(), QStringLiteral("512"));
    QTest::keyClicks(size, QStringLiteral("a"));
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].text, QStringLiteral("Invalid log size"));
    EXPECT_EQ(prompter.messages()[0].title, QStringLiteral("Error!"));
    EXPECT_EQ(settings.values.value("LogSize"), QStringLiteral("100"));

    // Picking a language previews its list caption and OK button at once.
    auto* languages = dialog->findChild<QComboBox*>(QStringLiteral("cboLanguage"));
    EXPECT_EQ(languages->count(), 3);
    languages->setCurrentText(QStringLiteral("Japanese"));
    const LanguagePreview japanese = previewLanguage(folder.path(), QStringLiteral("Japanese"));
    EXPECT_EQ(dialog->findChild<QPushButton*>(QStringLiteral("cmdOK"))->text(), japanese.okCaption);

    size->clear();
    prompter.calls.clear();
    dialog->findChild<QPushButton*>(QStringLiteral("cmdOK"))->click();
    ASSERT_EQ(prompter.messages().size(), 2);
    EXPECT_EQ(prompter.messages()[0].text, language.text(QStringLiteral("Preferences"), 13));
    EXPECT_EQ(prompter.messages()[1].text, japanese.changeMessage);
    EXPECT_EQ(prompter.messages()[1].title, japanese.changeTitle);
    EXPECT_EQ(settings.values.value("LogSize"), QStringLiteral("100"));
    EXPECT_EQ(settings.values.value("Language"), QStringLiteral("Japanese"));
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}
