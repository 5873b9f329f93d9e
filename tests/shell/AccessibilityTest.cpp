// The secondary windows in each shipped language: texts from the language file, and every
// button, field and list named for a screen reader by its caption.

#include "app/AppTestSupport.h"
#include "fakes/EngineFakes.h"
#include "fakes/FakePrompter.h"
#include "records/FrmLog.h"
#include "settings/FrmPreferences.h"
#include "settings/LanguageFile.h"
#include "shell/FrmAbout.h"
#include "shell/HelpWindow.h"

#include <QAccessible>
#include <QCheckBox>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

using Control = std::pair<QAccessible::Role, QString>;

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

// Shows the window and expects a name on each of its controls, which must include wanted.
void expectNamed(QWidget* window, const QList<Control>& wanted) {
    window->show();
    const QList<Control> controls = walk(QAccessible::queryAccessibleInterface(window));
    EXPECT_FALSE(controls.isEmpty()) << window->objectName().toStdString();
    for (const Control& c : controls)
        EXPECT_FALSE(c.second.isEmpty()) << window->objectName().toStdString() << " role " << c.first;
    for (const Control& c : wanted)
        EXPECT_TRUE(controls.contains(Control{c.first, QString(c.second).remove(u'&')}))
            << window->objectName().toStdString() << ": " << c.second.toStdString();
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

    ProgramFolder folder; // with the built language files
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
    QList<Control> wanted{{QAccessible::PageTab, text("Preferences", 8)},
                          {QAccessible::PageTab, text("Preferences", 9)},
                          {QAccessible::EditableText, text("Preferences", 10)},
                          {QAccessible::EditableText, text("Preferences", 12)},
                          {QAccessible::PushButton, text("Tray", 5)}};
    for (int key = 2; key <= 7; ++key)
        wanted.append({QAccessible::CheckBox, text("Preferences", key)});
    expectNamed(&dialog, wanted);

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
    expectNamed(&about, {{QAccessible::PushButton, text("About", 6)}});

    FrmLog viewer;
    viewer.applyLanguage(language);
    EXPECT_EQ(viewer.windowTitle(), text("Log", 1));
    expectNamed(&viewer, {});
    QTest::keyClick(&viewer, Qt::Key_Escape);
    EXPECT_FALSE(viewer.isVisible());

    auto* help = new HelpWindow(QStringLiteral(TARVOK_TEST_LANGUAGE_DIR "/../tarvok.qch"), language);
    ASSERT_TRUE(help->loaded());
    EXPECT_EQ(help->windowTitle(), text("Main", 191));
    expectNamed(help, {{QAccessible::PageTab, text("Main", 192)},
                       {QAccessible::PageTab, text("Main", 193)},
                       {QAccessible::PageTab, text("Main", 194)}});
    QPointer<HelpWindow> watch(help);
    QTest::keyClick(help, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(watch.isNull());
}

INSTANTIATE_TEST_SUITE_P(Languages, AccessibilityTest,
                         ::testing::Values("English", "Japanese", "Russian"));
