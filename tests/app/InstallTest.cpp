#include "AppTestSupport.h"
#include "settings/LanguageFile.h"
#include "settings/ProgramFolder.h"
#include "settings/Settings.h"
#include "shell/HelpFile.h"
#include "support/Sandbox.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>

#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace tarvok;
using test::fileMode;
using test::readFile;
using test::writeFile;

namespace {

// Runs program with arguments and extra "NAME=value" settings until it ends or its standard
// error holds until, when not empty (at most 20 s), then ends it; returns its standard error.
QByteArray runUntil(const QString& program, const QStringList& arguments,
                    const QStringList& environment, const QByteArray& until) {
    QProcess process;
    process.setProcessEnvironment(test::environmentWith(environment));
    process.start(program, arguments);
    QByteArray errors;
    QDeadlineTimer deadline(20000);
    while (process.state() != QProcess::NotRunning && (until.isEmpty() || !errors.contains(until)) &&
           !deadline.hasExpired()) {
        process.waitForReadyRead(100);
        errors += process.readAllStandardError();
    }
    process.kill();
    process.waitForFinished(5000);
    return errors + process.readAllStandardError();
}

} // namespace

TEST(ProgramFolder, BuildFolderKeepsItsFilesBesideTheBinaryAndAnInstallInTheUsersDataFolder) {
    struct Row {
        const char* binary;
        bool share; // binary/../share/tarvok exists
        const char* xdgDataHome;
        ProgramFolders expected;
    };
    const Row rows[] = {
        {"/w/build", false, "/x", {"/w/build", ""}},
        {"/w/build", true, "/x", {"/w/build", ""}}, // not a bin folder
        {"/w/bin", false, "/x", {"/w/bin", ""}},    // a build folder named bin
        {"/usr/bin", true, "", {"/home/ann/.local/share/Tarvok", "/usr/share/tarvok"}},
        {"/usr/bin/", true, "/data/x/", {"/data/x/Tarvok", "/usr/share/tarvok"}},
        {"/opt/t/bin", true, "relative/x", {"/home/ann/.local/share/Tarvok", "/opt/t/share/tarvok"}},
    };
    for (const Row& row : rows) {
        const ProgramFolders got = chooseProgramFolders(row.binary, row.share, row.xdgDataHome,
                                                        QStringLiteral("/home/ann"));
        EXPECT_EQ(got, row.expected) << row.binary << " " << row.xdgDataHome << ": "
                                     << got.program.toStdString() << " | "
                                     << got.installedData.toStdString();
    }
}

// Language and help files come from the program folder when it has them, else from the
// installed data folder; a missing program folder is made, one that cannot be is reported.
TEST(ProgramFolder, UsersOwnFilesComeFirstThenTheInstalledOnes) {
    QTemporaryDir own, installed;
    const QString ownFolder = own.path() + "/Tarvok";
    ASSERT_EQ(prepareProgramFolder(ownFolder), QString());
    ASSERT_TRUE(QDir().mkpath(ownFolder + "/Language") &&
                QDir().mkpath(installed.path() + "/Language"));
    for (const QString& file : {ownFolder + "/Language/Mine.lng",
                                installed.path() + "/Language/Mine.lng",
                                installed.path() + "/Language/English.lng",
                                installed.path() + "/tarvok_jp.qch", ownFolder + "/tarvok.qch"})
        ASSERT_TRUE(writeFile(file, "x"));

    setInstalledDataFolder(installed.path());
    EXPECT_EQ(languageFilePath(ownFolder, "English"), installed.path() + "/Language/English.lng");
    EXPECT_EQ(languageFilePath(ownFolder, "Mine"), ownFolder + "/Language/Mine.lng");
    EXPECT_EQ(availableLanguages(ownFolder), QStringList({"Mine", "English"}));
    EXPECT_EQ(helpFilePath(ownFolder, "Japanese"), installed.path() + "/tarvok_jp.qch");
    for (const char* name : {"English", "japanese", "Japanese ", ""}) // only the exact name
        EXPECT_EQ(helpFilePath(ownFolder, name), ownFolder + "/tarvok.qch") << name;
    setInstalledDataFolder({});

    const QString underAFile = ownFolder + "/tarvok.qch/Tarvok";
    const QString failure = prepareProgramFolder(underAFile);
    EXPECT_TRUE(failure.contains(underAFile) && failure.contains("cannot be made"))
        << failure.toStdString();
}

// An installed layout (bin/ beside share/tarvok/) writes the user's files under
// XDG_DATA_HOME and none beside the binary; a data folder that cannot be made ends the start.
// Other users could read them: with the common umask 022 the folder was 0755, the files 0644.
TEST(ProgramFolder, InstalledTarvokKeepsItsFilesInTheUsersDataFolder) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    const auto restoreMask = qScopeGuard([mask = ::umask(022)] { ::umask(mask); });
    test::ProgramFolder prefix; // its Language/ becomes share/tarvok/Language/
    const QString bin = prefix.file("bin"), share = prefix.file("share/tarvok");
    ASSERT_TRUE(QDir().mkpath(bin) && QDir().mkpath(share));
    ASSERT_TRUE(QDir().rename(prefix.file("Language"), share + "/Language"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVOK_BINARY), bin + "/tarvok"));
    // The enforcer where the package puts it, found from the binary's own folder.
    ASSERT_TRUE(QDir().mkpath(prefix.file("libexec/tarvok")) &&
                QFile::copy(QStringLiteral(TARVOK_TEST_ENFORCER),
                            prefix.file("libexec/tarvok/tarvok-enforcer")));
    ASSERT_TRUE(writeFile(prefix.file("file"), "a file in place of a folder"));

    QProcess tarvok;
    tarvok.setProcessEnvironment(
        test::environmentWith({"XDG_DATA_HOME=" + prefix.file("data")}, {"TARVOK_ENFORCER"}));
    tarvok.start(bin + "/tarvok", {});
    ASSERT_TRUE(tarvok.waitForStarted(10000));
    QDeadlineTimer deadline(20000);
    while (!QFileInfo::exists(prefix.file("data/Tarvok/Logs")) && !deadline.hasExpired())
        tarvok.waitForFinished(50);
    // Run by root, the window still holds no capability; its enforcer holds them.
    const auto capabilities = [](qint64 pid) {
        const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
        const qsizetype at = status.indexOf("CapEff:");
        return at < 0 ? QByteArray() : status.mid(at + 8, 16);
    };
    EXPECT_EQ(capabilities(tarvok.processId()), "0000000000000000");
    const QString children = QString::fromLatin1(
        readFile(QStringLiteral("/proc/%1/task/%1/children").arg(tarvok.processId())));
    ASSERT_FALSE(children.trimmed().isEmpty()) << "the enforcer runs";
    EXPECT_NE(capabilities(children.split(' ').first().toLongLong()), "0000000000000000");
    // The files of a first start, there and not beside the binary.
    EXPECT_EQ(prefix.read("data/Tarvok/config.ini"), Settings::defaultFileText());
    tarvok.terminate();
    EXPECT_TRUE(tarvok.waitForFinished(20000) && tarvok.exitCode() == 0);
    EXPECT_EQ(QDir(bin).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"tarvok"});
    QStringList written{prefix.file("data/Tarvok")}, readableToOthers;
    QDirIterator entries(written.first(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                         QDirIterator::Subdirectories);
    while (entries.hasNext())
        written << entries.next();
    for (const QString& path : written)
        if (fileMode(path) != (QFileInfo(path).isDir() ? 0700 : 0600))
            readableToOthers << path + " " + QString::number(fileMode(path), 8);
    EXPECT_EQ(readableToOthers, QStringList()) << written.join(' ').toStdString();

    const QByteArray told = "Tarvok cannot start: its program folder " +
                            prefix.file("file/Tarvok").toUtf8();
    const QByteArray errors =
        runUntil(bin + "/tarvok", {}, {"XDG_DATA_HOME=" + prefix.file("file")}, told);
    EXPECT_TRUE(errors.contains(told)) << errors.toStdString();
}

// A user's own library (a Qt plugin here, a GTK module named in their settings alike) never
// runs with a capability: the window drops every one at start, whoever runs it, and a binary
// given one by hand ignores the user's plugin path besides. Only the enforcer, which loads no
// GUI library, holds a capability.
TEST(SecureExecution, AUsersLibraryRunsOnlyInAWindowWithoutCapabilities) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    if (::getuid() != 0 || test::sandbox() != test::Sandbox::Root)
        GTEST_SKIP() << "giving a binary file capabilities and running it as another user "
                        "needs root";
    for (const char* tool : {"setcap", "setpriv"})
        if (QStandardPaths::findExecutable(tool).isEmpty() &&
            QStandardPaths::findExecutable(tool, {"/usr/sbin", "/sbin"}).isEmpty())
            GTEST_SKIP() << tool << " is missing (Debian: libcap2-bin, util-linux)";
    QTemporaryDir folder;
    struct statvfs mount {};
    if (::statvfs(QFile::encodeName(folder.path()).constData(), &mount) == 0 &&
        (mount.f_flag & ST_NOSUID))
        GTEST_SKIP() << folder.path().toStdString() << " is mounted nosuid: no file capabilities";
    const rlimit noCore{0, 0}; // the runs end in Qt's abort
    ::setrlimit(RLIMIT_CORE, &noCore);

    const QString binary = folder.path() + "/tarvok", marker = folder.path() + "/marks/loaded";
    ASSERT_TRUE(QDir().mkpath(folder.path() + "/plugins/platforms") &&
                QDir().mkpath(folder.path() + "/marks"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVOK_BINARY), binary));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVOK_MARKER_PLUGIN),
                            folder.path() + "/plugins/platforms/libtarvokmarker.so"));
    QFile::setPermissions(folder.path(), QFile::permissions(folder.path()) | QFile::ReadOther |
                                             QFile::ExeOther);
    ASSERT_EQ(::chmod(QFile::encodeName(folder.path() + "/marks").constData(), 01777), 0);

    const QStringList asNobody{"--reuid=nobody", "--regid=nogroup", "--clear-groups", binary};
    const QStringList environment{"QT_PLUGIN_PATH=" + folder.path() + "/plugins",
                                  "QT_QPA_PLATFORM=tarvokmarker", "TARVOK_TEST_MARKER=" + marker};
    const QByteArray none = "CapEff:\t0000000000000000\n";
    struct Run {
        const char* who;
        bool capability; // the binary given cap_net_admin by hand
        bool asRoot;     // root holds every capability until the window drops them
    };
    for (const Run& run : {Run{"a member", false, false}, Run{"root", false, true},
                           Run{"a member, the binary given a capability", true, false}}) {
        SCOPED_TRACE(run.who);
        QFile::remove(marker);
        if (run.capability) {
            ASSERT_EQ(QProcess::execute("setcap", {"cap_net_admin+ep", binary}), 0);
        }
        const QByteArray errors = run.asRoot ? runUntil(binary, {}, environment, {})
                                             : runUntil("setpriv", asNobody, environment, {});
        // Either way Qt started and looked for the platform plugin.
        EXPECT_TRUE(errors.contains("tarvokmarker")) << errors.toStdString();
        if (run.capability)
            EXPECT_FALSE(QFileInfo::exists(marker)) << "the user's plugin path is ignored";
        else
            EXPECT_EQ(readFile(marker), none) << errors.toStdString();
    }
}
