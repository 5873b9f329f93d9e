// Processes read through /proc: a real program started from a test folder.
#include "platform/Processes.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

using namespace tarvok;

// An executable replaced by an upgrade reads as "<path> (deleted)": the suffix became part of
// the program's name and path, and the program was announced again under it.
TEST(Processes, AProgramReplacedByAnUpgradeKeepsItsNameAndPath) {
    QTemporaryDir folder;
    const QString path = folder.filePath("upgraded");
    ASSERT_TRUE(QFile::copy("/usr/bin/sleep", path));
    QProcess program;
    program.start(path, {"30"});
    ASSERT_TRUE(program.waitForStarted());
    const auto pid = static_cast<std::uint32_t>(program.processId());
    // The new version is written beside the old one and renamed over it.
    ASSERT_TRUE(QFile::copy("/usr/bin/sleep", path + ".new"));
    ASSERT_EQ(std::rename(QFile::encodeName(path + ".new"), QFile::encodeName(path)), 0);
    const platform::ProcessInfo info = platform::readProcess(pid);
    EXPECT_EQ(info.imagePath, path.toStdString());
    EXPECT_EQ(info.name, "upgraded");
    EXPECT_TRUE(platform::endProcess(pid, path.toStdString()));
    EXPECT_TRUE(program.waitForFinished(5000));
}
