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
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

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

TEST(Autostart, ExecQuotesThePathAsOneArgument) {
    // Quote, dollar, backslash and percent survive the entry's string and argument escapes.
    const QByteArray text = autostart::entryText(QStringLiteral("/opt/my \"tools\"/$x\\100%/tarvok"));
    EXPECT_TRUE(text.contains("\nExec=\"/opt/my \\\\\"tools\\\\\"/\\\\$x\\\\\\\\100%%/tarvok\"\n"))
        << text.constData();
}

// The dialog over the built languages, with XDG_CONFIG_HOME in a temporary folder, so the
// autostart entry is written there.
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
    template <typename Widget> Widget* find(FrmPreferences* dialog, const char* name) {
        return dialog->findChild<Widget*>(QLatin1String(name));
    }

    test::ProgramFolder folder;
    QTemporaryDir config;
    const QString program = QStringLiteral("/opt/my programs/tarvok");
    MapSettings settings;
    LanguageFile language;
    FakePrompter prompter;
};

TEST_F(FrmPreferencesTest, StartAtLoginEntryIsWrittenAndRemovedAtOnceOrTheFailureIsTold) {
    const QString entry = config.filePath(QStringLiteral("autostart/Tarvok.desktop"));
    auto dialog = open();
    QCheckBox* startUp = dialog->box("ChkStartUp");
    startUp->click();
    EXPECT_TRUE(readFile(entry).contains("Exec=\"/opt/my programs/tarvok\"\n"));
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

TEST_F(FrmPreferencesTest, DoubleClickBoxesStayOppositeAndEveryBoxWritesItsSetting) {
    auto dialog = open();
    QSignalSpy modes(dialog.get(), &FrmPreferences::doubleClickModeChanged);
    dialog->box("ChkFilePropertiesDBClick")->click();
    EXPECT_FALSE(dialog->box("ChkDBClick")->isChecked());
    ASSERT_EQ(modes.size(), 1);
    EXPECT_EQ(modes[0][0].toString(), QStringLiteral("0"));
    dialog->box("ChkDBClick")->click();
    EXPECT_FALSE(dialog->box("ChkFilePropertiesDBClick")->isChecked());
    dialog->box("ChkPopup")->click();
    dialog->box("ChkMinimized")->click();
    const QMap<QString, QString> expected = {
        {"CloseConDBClick", "True"}, {"FilePropertyDBClick", "False"}, {"Language", "English"},
        {"LogSize", "100"}, {"PopupAlert", "False"}, {"RunMinimized", "True"}};
    EXPECT_EQ(settings.values, expected);
}

TEST_F(FrmPreferencesTest, LogSizeAndLanguageAreTakenOverByOkOnlyNotByEscape) {
    QMap<QString, QString> before;
    {
        auto dialog = open();
        before = settings.values;
        QTest::keyClicks(find<QLineEdit>(dialog.get(), "txtSize"), QStringLiteral("3"));
        find<QComboBox>(dialog.get(), "cboLanguage")->setCurrentText("Russian");
        QTest::keyClick(dialog.get(), Qt::Key_Escape);
        EXPECT_FALSE(dialog->isVisible());
    }
    EXPECT_EQ(settings.values, before);
    EXPECT_TRUE(prompter.calls.isEmpty());
    auto dialog = open();
    auto* size = find<QLineEdit>(dialog.get(), "txtSize");
    EXPECT_EQ(size->text(), QStringLiteral("100"));
    EXPECT_EQ(find<QLineEdit>(dialog.get(), "txtLogPath")->text(),
              QDir::toNativeSeparators(folder.path() + QStringLiteral("/Logs/")));
    QTest::keyClicks(size, QStringLiteral("a"));
    ASSERT_EQ(prompter.messages().size(), 1);
    EXPECT_EQ(prompter.messages()[0].text, QStringLiteral("Invalid log size"));
    EXPECT_EQ(prompter.messages()[0].title, QStringLiteral("Error!"));

    // Picking a language previews its OK button at once.
    find<QComboBox>(dialog.get(), "cboLanguage")->setCurrentText(QStringLiteral("Japanese"));
    const LanguagePreview japanese = previewLanguage(folder.path(), QStringLiteral("Japanese"));
    auto* ok = find<QPushButton>(dialog.get(), "cmdOK");
    EXPECT_EQ(ok->text(), japanese.okCaption);
    size->clear();
    prompter.calls.clear();
    ok->click();
    ASSERT_EQ(prompter.messages().size(), 2);
    EXPECT_EQ(prompter.messages()[0].text, language.text(QStringLiteral("Preferences"), 13));
    EXPECT_EQ(prompter.messages()[1].text, japanese.changeMessage);
    EXPECT_EQ(prompter.messages()[1].title, japanese.changeTitle);
    EXPECT_EQ(settings.values.value("LogSize"), QStringLiteral("100"));
    EXPECT_EQ(settings.values.value("Language"), QStringLiteral("Japanese"));
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
}
