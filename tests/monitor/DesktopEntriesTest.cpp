// Desktop entries and the icons they name, also as a hostile program of the user writes them:
// any program may fill ~/.local/share/applications, and none may hold the firewall up.

#include "monitor/DesktopEntries.h"
#include "app/RunningTarvok.h"
#include "monitor/ProgramIcons.h"
#include "support/Loopback.h"
#include "support/ScratchFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace tarvok;

namespace {

// Whether what() was held by the FIFO at fifo. After 3 s a writer opens and closes it, which
// succeeds only while a reader waits on it: code stuck there is set free, so that a test of
// the fault ends instead of hanging, and the answer says that it was stuck.
template <typename What> bool heldByFifo(const QString& fifo, What what) {
    std::atomic<bool> done = false, rescued = false;
    std::thread rescuer([&done, &rescued, name = QFile::encodeName(fifo)] {
        for (int i = 0; i < 600 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (i >= 300 && i % 50 == 0)
                if (const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK); fd >= 0) {
                    rescued = true;
                    ::close(fd);
                }
        }
    });
    what();
    done = true;
    rescuer.join();
    return rescued;
}

// A data folder with its applications folder and a FIFO named fifoName.
struct DataFolder {
    QTemporaryDir dir;
    const QString apps = dir.path() + "/applications", fifo;
    explicit DataFolder(const char* fifoName = "fifo") : fifo(dir.path() + '/' + fifoName) {
        EXPECT_TRUE(QDir().mkpath(apps));
        EXPECT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    }
    QString path() const { return dir.path(); }
};

} // namespace

// An entry's icon is found by the program it runs. A .desktop link to a FIFO hung start-up for
// ever; a 60 MB one-line entry cost 212 MB, and a sparse one of gigabytes all memory.
TEST(DesktopEntries, ALinkToAFifoOrAHugeEntryCannotHoldTheWalkUp) {
    const DataFolder data;
    const QString &apps = data.apps, &fifo = data.fifo;
    ASSERT_TRUE(QDir().mkpath(apps + "/sub"));
    test::writeFile(apps + "/shell.desktop",
                    "[Desktop Entry]\nName=Shell\nExec=env LANG=C \"/usr/bin/bash\" --login %U\n"
                    "Icon=utilities-terminal\n[Desktop Action New]\nExec=/usr/bin/true\nIcon=x\n");
    test::writeFile(apps + "/sub/sleeper.desktop",
                    "[Desktop Entry]\r\nExec=sleep 5\r\nIcon=/opt/icons/sleep.png\r\n");
    ASSERT_TRUE(QFile::link(fifo, apps + "/a-fifo.desktop"));
    QFile huge(apps + "/huge.desktop");
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.write("[Desktop Entry]\nExec=") &&
                huge.resize(qint64(3) << 30)); // sparse: no disk used
    huge.close();
    const QByteArray longLine = "Name=" + QByteArray(DesktopEntries::MaxLineLength, 'n') + '\n';
    ASSERT_TRUE(test::writeFile(apps + "/long.desktop",
                                "[Desktop Entry]\n" + longLine + "Exec=/usr/bin/cat\nIcon=kept\n"));
    static QStringList warnings;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& text) { warnings << text; });
    DesktopEntries entries;
    EXPECT_FALSE(heldByFifo(fifo, [&] { entries = DesktopEntries::load({data.path()}); }));
    qInstallMessageHandler(previous);
    // Only [Desktop Entry] counts (not true's action); only the long line is skipped (cat).
    QStringList icons;
    for (const char* program : {"bash", "sleep", "true", "cat"})
        icons << entries.iconFor(QStringLiteral("/usr/bin/") + program);
    EXPECT_EQ(icons, QStringList({"utilities-terminal", "/opt/icons/sleep.png", "", "kept"}));
    ASSERT_EQ(warnings.size(), 3) << warnings.join('\n').toStdString();
    for (const char* named : {"a-fifo.desktop", "huge.desktop", "long.desktop"})
        EXPECT_EQ(warnings.filter(named).size(), 1) << named;
}

// QIcon opened an icon path itself: a FIFO froze the GUI thread, and with it every pass.
TEST(DesktopEntries, AnIconThatIsAFifoCannotFreezeTheWindow) {
    const DataFolder data("icon.png");
    const QString &apps = data.apps, &fifo = data.fifo;
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(data.path() + "/red.png"));
    ASSERT_TRUE(test::writeFile(data.path() + "/big.png", QByteArray(2 << 20, 'x')));
    const std::pair<const char*, QString> icons[] = {{"sleep", fifo},
                                                     {"true", data.path() + "/red.png"}};
    for (const auto& [program, icon] : icons)
        ASSERT_TRUE(test::writeFile(apps + '/' + program + ".desktop",
                                    "[Desktop Entry]\nExec=/usr/bin/" + QByteArray(program) +
                                        "\nIcon=" + icon.toUtf8() + '\n'));
    ProgramIcons pictures(DesktopEntries::load({data.path()}));
    QIcon icon;
    EXPECT_FALSE(heldByFifo(fifo, [&] { icon = pictures.programIcon("/usr/bin/sleep"); }));
    EXPECT_FALSE(icon.isNull()) << "the generic picture";
    EXPECT_EQ(pictures.programIcon("/usr/bin/true").pixmap(16, 16).toImage().pixelColor(8, 8),
              QColor(Qt::red));
    EXPECT_TRUE(ProgramIcons::iconFile(data.path() + "/big.png").isNull()) << "over 1 MB";
}

// The real program, with hostile entries in its XDG_DATA_HOME: an Icon= FIFO for the program
// that connects (this test), and a .desktop link to a FIFO read at start-up. Either stopped
// every pass, and SIGTERM with it.
TEST(DesktopEntries, HostileEntriesCannotStopTheRunningFirewall) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    for (const bool linkToFifo : {false, true}) {
        SCOPED_TRACE(linkToFifo ? "a .desktop link to a FIFO" : "an Icon= FIFO");
        test::ProgramFolder folder;
        const DataFolder data;
        const QString evil = data.apps + "/evil.desktop";
        ASSERT_TRUE(linkToFifo ? QFile::link(data.fifo, evil)
                               : test::writeFile(evil, "[Desktop Entry]\nExec=" +
                                                           QCoreApplication::applicationFilePath().toUtf8() +
                                                           "\nIcon=" + data.fifo.toUtf8() + '\n'));
        test::TcpListener blocked("127.0.0.2"), allowed("127.0.0.4");
        ASSERT_TRUE(test::writePolicy(folder, {test::blockRule(blocked)}));
        test::RunningTarvok tarvok(folder, false, true, {"XDG_DATA_HOME=" + data.path()});
        ASSERT_TRUE(test::waitFor([&] { return QFileInfo(folder.file("Logs")).isDir(); }, 20000));
        // The program shows up in the lists (its icon is wanted) before the blocked connection.
        test::TcpConnection shown = test::connect("127.0.0.5", allowed);
        QThread::msleep(1000);
        // Refused by the kernel table; a frozen program would not end on SIGTERM.
        EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", blocked)));
        EXPECT_TRUE(tarvok.terminate()) << tarvok.errors().toStdString();
    }
}
