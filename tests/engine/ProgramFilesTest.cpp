#include "engine/ProgramFiles.h"
#include "support/ScratchFiles.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace tarvok;

namespace {

// Lets events arrive until changed() has been seen or a second has passed; then a little
// longer, so that a second changed() for the same event would be counted too.
int changesWithinASecond(QSignalSpy& spy) {
    QElapsedTimer clock;
    clock.start();
    while (spy.isEmpty() && clock.elapsed() < 1000)
        QTest::qWait(10);
    QTest::qWait(2 * ProgramFiles::SettleMs);
    return static_cast<int>(spy.count());
}

} // namespace

// An upgrade writes the new program under another name and renames it over the old one: the
// path has a new file, though nothing was written to the old one.
TEST(ProgramFiles, ReplacedByRenameGivesANewIdentityAndOneChange) {
    QTemporaryDir folder;
    const QString path = folder.filePath("client");
    ASSERT_TRUE(test::writeFile(path, "old"));
    ProgramFiles files;
    files.setPaths({path});
    ASSERT_TRUE(files.following());
    const auto before = files.identity(path);
    ASSERT_TRUE(before);

    QSignalSpy spy(&files, &ProgramFiles::changed);
    ASSERT_TRUE(test::writeFile(folder.filePath(".client.new"), "new"));
    ASSERT_EQ(::rename(QFile::encodeName(folder.filePath(".client.new")).constData(),
                       QFile::encodeName(path).constData()),
              0);
    EXPECT_EQ(changesWithinASecond(spy), 1);
    const auto after = files.identity(path);
    ASSERT_TRUE(after);
    EXPECT_NE(*after, *before);
    EXPECT_EQ(after, statProgram(path));
}

// A path in a folder that does not exist yet has no file until both appear; a folder or a
// link to nothing is no program either.
TEST(ProgramFiles, AMissingPathHasNoIdentityUntilItAppears) {
    QTemporaryDir folder;
    const QString path = folder.filePath("opt/tool/bin/client");
    const QString dangling = folder.filePath("dangling");
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(dangling).constData()), 0);
    ProgramFiles files;
    files.setPaths({path, folder.path(), dangling});
    EXPECT_FALSE(files.identity(path));
    EXPECT_FALSE(files.identity(folder.path()));
    EXPECT_FALSE(files.identity(dangling));

    QSignalSpy spy(&files, &ProgramFiles::changed);
    ASSERT_TRUE(QDir(folder.path()).mkpath("opt/tool/bin"));
    QTest::qWait(2 * ProgramFiles::SettleMs); // the watch moves down to the new folder
    ASSERT_TRUE(test::writeFile(path, "program"));
    QElapsedTimer clock;
    clock.start();
    while (!files.identity(path) && clock.elapsed() < 1000)
        QTest::qWait(10);
    EXPECT_EQ(files.identity(path), statProgram(path));
    EXPECT_TRUE(files.identity(path));
    EXPECT_GE(spy.count(), 1);
}

// A rule may name a link (as /usr/bin names alternatives): it stands for the file it leads to,
// and follows that file when it is replaced.
TEST(ProgramFiles, ALinkStandsForItsTargetsFile) {
    QTemporaryDir folder;
    ASSERT_TRUE(QDir(folder.path()).mkpath("real"));
    const QString target = folder.filePath("real/client-1.2");
    const QString link = folder.filePath("client");
    ASSERT_TRUE(test::writeFile(target, "v1"));
    ASSERT_EQ(::symlink("real/client-1.2", QFile::encodeName(link).constData()), 0);
    ProgramFiles files;
    files.setPaths({link});
    ASSERT_TRUE(files.identity(link));
    EXPECT_EQ(files.identity(link), statProgram(target));

    QSignalSpy spy(&files, &ProgramFiles::changed);
    ASSERT_TRUE(test::writeFile(target + ".new", "v2"));
    ASSERT_EQ(::rename(QFile::encodeName(target + ".new").constData(),
                       QFile::encodeName(target).constData()),
              0);
    EXPECT_EQ(changesWithinASecond(spy), 1);
    EXPECT_EQ(files.identity(link), statProgram(target));
}
