// What the rule editor finds out about a program path, on real files in a temporary folder.

#include "engine/RuleIndex.h"
#include "policy/ProgramChoice.h"
#include "support/ScratchFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace tarvok;
using namespace tarvok::test;

namespace {

// A path the kernel runs a script's interpreter from, for the lines below.
const QString Shell = realProgramFile(QStringLiteral("/bin/sh"));

// Links lead to the real file; a script names its interpreter (directly, through env with or
// without options); other files and what is no regular file are no script.
TEST(ProgramChoice, LinksResolveAndScriptsNameTheirInterpreter) {
    QTemporaryDir dir;
    const QString d = dir.path();
    ASSERT_TRUE(writeFile(d + "/tool", QByteArray("\x7f" "ELF\x02\x01\x01", 7)));
    ASSERT_TRUE(QFile::link(d + "/tool", d + "/link"));
    ASSERT_TRUE(QFile::link(d + "/link", d + "/chain"));
    ASSERT_TRUE(QDir(d).mkdir("bin"));
    ASSERT_TRUE(QFile::copy(Shell, d + "/bin/myshell")); // found on the PATH given below
    const struct { const char *name, *bytes, *interpreter; } cases[] = {
        {"plain", "#!/bin/sh\necho\n", "shell"},
        {"arguments", "#! /bin/sh -e -u\n", "shell"},
        {"env", "#!/usr/bin/env sh\n", "shell"},
        {"env options", "#!/usr/bin/env -S LANG=C sh -e\n", "shell"},
        {"env on the path", "#!/usr/bin/env myshell\n", "mine"},
        {"no such interpreter", "#!/nonexistent/interpreter\n", ""},
    };
    const QString path = "/usr/bin:/bin:relative:" + d + "/bin";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = d + "/script";
        ASSERT_TRUE(writeFile(file, c.bytes));
        const ProgramChoice choice = chooseProgram(file, path, QDir::homePath());
        EXPECT_TRUE(choice.script);
        const QString want = QString(c.interpreter) == "shell" ? Shell
                             : QString(c.interpreter) == "mine"
                                 ? QFileInfo(d + "/bin/myshell").canonicalFilePath()
                                 : QString();
        EXPECT_EQ(choice.interpreter, want);
    }
    const QString real = QFileInfo(d + "/tool").canonicalFilePath();
    for (const char* name : {"/tool", "/link", "/chain"}) {
        const ProgramChoice choice = chooseProgram(d + name, path, QDir::homePath());
        EXPECT_EQ(choice, (ProgramChoice{real, false, {}, false})) << name;
    }
    // A path with nothing there yet stays as written: the rule matches once it is installed.
    EXPECT_EQ(chooseProgram(d + "/later", path, {}).path, d + "/later");
}

// A FIFO named as the program never holds the editor up waiting for a writer, a device is
// never opened, and of a huge file only the first bytes are read.
TEST(ProgramChoice, AFifoOrAHugeFileNeverBlocks) {
    QTemporaryDir dir;
    const QString fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(readScriptLine(fifo).script);
    EXPECT_FALSE(readScriptLine("/dev/zero").script);
    const QString huge = dir.path() + "/huge";
    ASSERT_TRUE(writeFile(huge, "#!/bin/sh\n"));
    ASSERT_EQ(::truncate(QFile::encodeName(huge).constData(), qint64(8) << 30), 0); // sparse
    EXPECT_EQ(readScriptLine(huge).interpreter, "/bin/sh");
    QByteArray longLine = "#!/bin/sh " + QByteArray(4 * ScriptPrefixBytes, 'x');
    ASSERT_TRUE(writeFile(huge, longLine));
    EXPECT_EQ(readScriptLine(huge).argument.size(), ScriptPrefixBytes - 10);
}

// An AppImage is mounted at a new folder each run and a Flatpak application's files lie under
// its build: a path there, or a link that leads there, will not name the next run.
TEST(ProgramChoice, PathsThatChangeFromRunToRunAreUnstable) {
    QTemporaryDir mount(QStringLiteral("/tmp/.mount_tarvokXXXXXX")), dir;
    ASSERT_TRUE(writeFile(mount.path() + "/AppRun", "\x7f" "ELF") &&
                QFile::link(mount.path() + "/AppRun", dir.path() + "/app"));
    EXPECT_TRUE(chooseProgram(dir.path() + "/app", {}, {}).unstable); // a link that leads there
    const struct { const char* path; bool unstable; } cases[] = {
        {"/var/lib/flatpak/app/org.example.App/x86_64/stable/1a2b/files/bin/app", true},
        {"/home/u/.local/share/flatpak/app/org.example.App/current/active/files/bin/app", true},
        {"/home/other/.local/share/flatpak/app/x", false},
        {"/tmp/.mount", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isUnstableProgramPath(c.path, "/home/u"), c.unstable) << c.path;
}

TEST(ProgramChoice, OnlyAnAbsolutePathOfTextWithinTheLimitCanNameAProgram) {
    const QString tooLong = "/" + QString(MaxProgramPathBytes, 'a');
    const QString twoByteLimit = "/" + QString(MaxProgramPathBytes / 2, QChar(0x44f)); // UTF-8
    const struct { QString path; ProgramCheck check; } cases[] = {
        {"", ProgramCheck::Ok},
        {"/usr/bin/env", ProgramCheck::Ok},
        {"~/bin/tool", ProgramCheck::NotAbsolute},
        {"/usr/bin/env\n", ProgramCheck::ControlCharacter},
        {QString("/a") + QChar(0xd800), ProgramCheck::ControlCharacter}, // a broken text
        {tooLong, ProgramCheck::TooLong},
        {twoByteLimit, ProgramCheck::TooLong},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(checkProgramPath(c.path), c.check) << c.path.left(20).toStdString();
        EXPECT_EQ(c.check == ProgramCheck::Ok,
                  parseProgramCell(c.path).kind != ProgramPattern::Nothing);
    }
}

} // namespace
