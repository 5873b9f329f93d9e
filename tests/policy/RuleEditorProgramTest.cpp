// The rule editor's program field, on real files in a temporary folder.

#include "policy/RulesFromConnections.h"
#include "settings/LanguageFile.h"
#include "support/Accessibility.h"
#include "support/ScratchFiles.h"

#include "PolicyRig.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>

#include <gtest/gtest.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

const QString Shell = QFileInfo(QStringLiteral("/bin/sh")).canonicalFilePath();

// Browse, a typed path and a running program put the real file in the field, never a link to
// it; a script is said to be one, with its interpreter offered in its place; a mounted
// AppImage's path is said to change from run to run.
TEST(RuleEditorProgram, ChosenPathsGiveTheRealFileAndSayWhatTheRuleWillMatch) {
    Policy p;
    const LanguageFile english(QStringLiteral(TARVOK_TEST_LANGUAGE_DIR "/English.lng"));
    RuleEditorDialog editor(nullptr, p.table, p.policy, english, p.prompter);
    editor.openAdd(blankFields(p.table.words(), "r"));
    QTemporaryDir dir, mount(QStringLiteral("/tmp/.mount_tarvokXXXXXX"));
    const QString d = dir.path();
    ASSERT_TRUE(writeFile(d + "/tool", "\x7f" "ELF") && writeFile(d + "/run", "#!/usr/bin/env sh\n") &&
                writeFile(mount.path() + "/AppRun", "\x7f" "ELF") &&
                QFile::link(d + "/tool", d + "/link"));
    const QString tool = QFileInfo(d + "/tool").canonicalFilePath();
    auto* program = editor.findChild<QLineEdit*>("txtProgram");
    auto* note = editor.findChild<QLabel*>("lblProgramNote");
    auto* useInterpreter = editor.findChild<QPushButton*>("cmdUseInterpreter");
    const auto browse = [&](const QString& file) {
        p.prompter.files = {file};
        editor.findChild<QPushButton*>("cmdBrowseProgram")->click();
        return program->text();
    };
    EXPECT_EQ(program->placeholderText(), "Any program");
    EXPECT_EQ(browse(d + "/link"), tool);
    EXPECT_TRUE(note->isHidden());

    EXPECT_EQ(browse(d + "/run"), QFileInfo(d + "/run").canonicalFilePath());
    EXPECT_TRUE(note->text().contains("is a script") && note->text().contains(Shell))
        << note->text().toStdString();
    ASSERT_FALSE(useInterpreter->isHidden());
    EXPECT_EQ(nameless(&editor), QStringList()); // the note's button too
    useInterpreter->click();
    EXPECT_EQ(program->text(), Shell);
    EXPECT_TRUE(note->isHidden() && useInterpreter->isHidden());

    browse(mount.path() + "/AppRun");
    EXPECT_TRUE(note->text().contains("will not match the next run"));

    auto* running = editor.findChild<QComboBox*>("ComboRunning");
    const int self = running->findText(QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
    ASSERT_GE(self, 0);
    emit running->activated(self);
    EXPECT_EQ(program->text(), running->itemText(self));

    program->clear();
    QTest::keyClicks(program, d + "/link"); // typed, then Add at once
    editor.findChild<QPushButton*>("cmdAdd")->click();
    ASSERT_EQ(p.table.count(), 1);
    EXPECT_EQ(p.table.rule(0).program, tool);
}

// Modify shows a rule's program and keeps it as written (a link is not swapped for its file);
// a path that cannot name a program is refused with its reason. Add refused a rule for one
// program when a rule for any program had the same address and port.
TEST(RuleEditorProgram, ModifyKeepsTheProgramRefusesBadPathsAndTheFileHoldsIt) {
    PolicyWindow w;
    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.path() + "/tool", "x") &&
                QFile::link(dir.path() + "/tool", dir.path() + "/link"));
    w.addRow(false, "10.0.0.1", "80", "web");
    w.table.setCell(0, RuleTable::Program, dir.path() + "/link");
    w.select(w.rules(), 0);
    QTest::keyClick(w.rules(), Qt::Key_E, Qt::ControlModifier);
    ASSERT_NE(w.editor(), nullptr);
    EXPECT_EQ(w.field<QLineEdit>("txtProgram")->text(), dir.path() + "/link");
    w.field<QLineEdit>("txtDescript")->setText("kept");
    w.click("cmdModify");
    EXPECT_EQ(w.table.rule(0).program, dir.path() + "/link");
    EXPECT_EQ(w.table.rule(0).description, "kept");

    const std::pair<QString, const char*> bad[] = {
        {"curl", "Add/43"}, {"/usr/bin/cu\trl", "Add/44"}, {"/" + QString(5000, 'a'), "Add/45"}};
    for (const auto& [path, message] : bad) {
        w.field<QLineEdit>("txtProgram")->setText(path);
        w.click("cmdModify");
        EXPECT_EQ(w.told(), Box("Add/23", message, Prompter::Critical));
        EXPECT_EQ(w.table.rule(0).program, dir.path() + "/link");
    }
    w.editor()->close();
    w.table.setCell(0, RuleTable::Program, QString());
    w.action("mnuAddRule")->trigger();
    fill(w.editor(), false, "10.0.0.1", "80");
    w.field<QLineEdit>("txtProgram")->setText("/usr/bin/env");
    w.click("cmdAdd");
    ASSERT_EQ(w.table.count(), 2);
    ASSERT_TRUE(w.policy.SavePolicy(0));
    EXPECT_TRUE(readFile(w.dir.path() + "/Normal.rlsp").contains("\r\nProgram_2=/usr/bin/env\r\n"));
}

// A row of the per-application list proposes its program; a row that names none, and the
// lists that show no program, propose any program.
TEST(RulesFromConnections, APerApplicationRowProposesItsProgram) {
    const struct { RuleSource source; const char* row; const char* program; } cases[] = {
        {RuleSource::PerApplication, "curl,TCP,10.0.0.5,4,10.9.9.9,80,EST,/usr/bin/curl", "/usr/bin/curl"},
        {RuleSource::PerApplication, "curl,TCP,10.0.0.5,4,10.9.9.9,80,EST,", ""},
        {RuleSource::PerConnection, "TCP,10.0.0.5,4,10.9.9.9,80,http,EST,/usr/bin/curl", ""},
        {RuleSource::EventList, "t,TCP,10.0.0.5,4,10.9.9.9,80,http,BLOCKED,/x", ""}};
    const RuleWords words;
    for (const auto& c : cases) {
        const QStringList cells = QString(c.row).split(',');
        QStandardItemModel model(1, int(cells.size()));
        for (int column = 0; column < cells.size(); ++column)
            model.setItem(0, column, new QStandardItem(cells[column]));
        const EditorFields fields = fieldsFromRow(model, 0, c.source, words, "d");
        EXPECT_EQ(fields.program, c.program) << c.row;
        EXPECT_EQ(fields.address + ':' + fields.port, "10.9.9.9:80") << c.row;
    }
}

} // namespace
