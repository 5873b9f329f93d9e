// Every new window, in each shipped language: its texts come from the language file, and a
// screen reader finds each button, field and list by its caption.

#include "records/FrmLog.h"
#include "settings/FrmPreferences.h"
#include "settings/LanguageFile.h"
#include "shell/FrmAbout.h"
#include "shell/HelpWindow.h"

#include "app/AppTestSupport.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "support/ScratchFiles.h"

#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

using namespace tarvok;
using namespace tarvok::test;

namespace {

struct Control {
    QAccessible::Role role;
    QString name;
};

// The controls a person works with, as the accessibility tree presents them.
QList<Control> walk(QAccessibleInterface* node, int depth = 0) {
    static const QSet<QAccessible::Role> roles{
        QAccessible::PushButton, QAccessible::CheckBox, QAccessible::EditableText,
        QAccessible::ComboBox,   QAccessible::List,     QAccessible::Tree,
        QAccessible::Table,      QAccessible::PageTab};
    QList<Control> found;
    if (!node || depth > 40)
        return found;
    if (roles.contains(node->role()) && !node->state().invisible)
        found.append({node->role(), node->text(QAccessible::Name)});
    for (int i = 0; i < node->childCount(); ++i)
        found += walk(node->child(i), depth + 1);
    return found;
}

QList<Control> controlsOf(QWidget* window) {
    window->show();
    return walk(QAccessible::queryAccessibleInterface(window));
}

QString spoken(QString caption) { return caption.remove(QLatin1Char('&')); }

bool has(const QList<Control>& controls, QAccessible::Role role, const QString& name) {
    return std::any_of(controls.begin(), controls.end(),
                       [&](const Control& c) { return c.role == role && c.name == name; });
}

class AccessibilityTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        language.setPath(folder.file(QStringLiteral("Language/%1.lng").arg(GetParam())));
        settings.values = {{"Language", GetParam()}};
    }
    void TearDown() override { qunsetenv("XDG_CONFIG_HOME"); }
    QString text(const char* section, int key) const {
        return language.text(QLatin1String(section), key);
    }
    // No control of a window is nameless.
    static void expectAllNamed(const QList<Control>& controls, const char* window) {
        for (const Control& c : controls)
            EXPECT_FALSE(c.name.isEmpty()) << window << " role " << c.role;
    }

    test::ProgramFolder folder; // with the built language files
    QTemporaryDir config;
    LanguageFile language;
    MapSettings settings;
    FakePrompter prompter;
};

} // namespace

TEST_P(AccessibilityTest, PreferencesFindsEveryControlByItsCaption) {
    FrmPreferences dialog(folder.path(), QStringLiteral("/opt/tarvok/tarvok"), settings, language,
                          prompter);
    EXPECT_EQ(dialog.windowTitle(), text("Preferences", 1));
    const QList<Control> controls = controlsOf(&dialog);
    expectAllNamed(controls, "frmPreferences");
    for (int key = 2; key <= 7; ++key)
        EXPECT_TRUE(has(controls, QAccessible::CheckBox, spoken(text("Preferences", key)))) << key;
    EXPECT_TRUE(has(controls, QAccessible::PageTab, text("Preferences", 8)));
    EXPECT_TRUE(has(controls, QAccessible::PageTab, text("Preferences", 9)));
    EXPECT_TRUE(has(controls, QAccessible::EditableText, spoken(text("Preferences", 10))));
    EXPECT_TRUE(has(controls, QAccessible::EditableText, spoken(text("Preferences", 12))));
    EXPECT_TRUE(has(controls, QAccessible::PushButton, spoken(text("Tray", 5))));

    // The keyboard walks the boxes from the top, then the tab strip, the fields and OK.
    QStringList order;
    QWidget* widget = dialog.findChild<QCheckBox*>(QStringLiteral("ChkStartUp"));
    for (int i = 0; i < 8 && widget; ++i, widget = widget->nextInFocusChain())
        if (widget->focusPolicy() & Qt::TabFocus)
            order << widget->objectName();
    EXPECT_EQ(order.mid(0, 7), (QStringList{"ChkStartUp", "ChkMinimized", "ChkPopup",
                                            "ChkManuallyClose", "ChkDBClick",
                                            "ChkFilePropertiesDBClick", "TabStrip1"}));
}

TEST_P(AccessibilityTest, AboutLogViewerAndHelpName) {
    FrmAbout about(QUrl(QStringLiteral("https://tarvok.example/")), language);
    EXPECT_EQ(about.windowTitle(), text("About", 1));
    const QList<Control> aboutControls = controlsOf(&about);
    expectAllNamed(aboutControls, "frmAbout");
    EXPECT_TRUE(has(aboutControls, QAccessible::PushButton, spoken(text("About", 6))));

    FrmLog viewer;
    viewer.applyLanguage(language);
    EXPECT_EQ(viewer.windowTitle(), text("Log", 1));
    const QList<Control> logControls = controlsOf(&viewer);
    expectAllNamed(logControls, "frmLog");
    EXPECT_FALSE(logControls.isEmpty());
    QTest::keyClick(&viewer, Qt::Key_Escape);
    EXPECT_FALSE(viewer.isVisible());

    const QString helpFile = QStringLiteral(TARVOK_TEST_LANGUAGE_DIR "/../tarvok.qch");
    auto* help = new HelpWindow(helpFile, language);
    ASSERT_TRUE(help->loaded());
    EXPECT_EQ(help->windowTitle(), text("Main", 191));
    const QList<Control> helpControls = controlsOf(help);
    expectAllNamed(helpControls, "frmHelp");
    for (int key = 192; key <= 194; ++key)
        EXPECT_TRUE(has(helpControls, QAccessible::PageTab, text("Main", key))) << key;
    QPointer<HelpWindow> watch(help);
    QTest::keyClick(help, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(watch.isNull());
}

INSTANTIATE_TEST_SUITE_P(Languages, AccessibilityTest,
                         ::testing::Values("English", "Japanese", "Russian"));
