#include "control/SocketPlace.h"

#include "support/Sandbox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

using namespace tarvok::control;

namespace {

const QString Folder = QStringLiteral("/opt/tarvok");

mode_t modeOf(const QString& path) {
    struct stat status {};
    ::lstat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

// A folder made with mode inside the scratch folder.
QString folderIn(const QTemporaryDir& scratch, const QString& name, mode_t mode) {
    const QString path = scratch.filePath(name);
    QDir().mkpath(path);
    ::chmod(QFile::encodeName(path).constData(), mode);
    return path;
}

} // namespace

// A program folder of about 93 characters or more left the instance with no socket at all.
// (Where a client finds it, whatever its environment: Control.TheTerminalFindsTheInstance....)
TEST(SocketPlace, ThePathStaysShortWhateverTheProgramFolder) {
    QTemporaryDir scratch;
    const QString tmp = scratch.filePath("tmp");
    const QString longFolder = "/home/someone/" + QString(200, 'x');
    const mode_t umask = ::umask(0277);
    const QString path = listenPath(longFolder, {{}, {}, tmp});
    ::umask(umask);
    EXPECT_TRUE(path.startsWith(tmp + "/tarvok-")) << path.toStdString();
    EXPECT_LE(QFile::encodeName(path).size(), 107);
    EXPECT_EQ(modeOf(tmp), 0700u) << "made 0700 whatever the umask";
    EXPECT_NE(socketName(longFolder), socketName(Folder));
    // A runtime folder too deep for a socket path gives way to the next.
    const QString deep = folderIn(scratch, QString(90, 'd'), 0700);
    EXPECT_EQ(listenPath(Folder, {deep, {}, tmp}), tmp + "/" + socketName(Folder));
}

// The folder under /tmp is where another user could have been first.
TEST(SocketPlace, AFolderThatIsALinkOpenToOthersOrAnotherUsersIsNeverUsed) {
    QTemporaryDir scratch;
    const QString mine = folderIn(scratch, "mine", 0700), link = scratch.filePath("link");
    ASSERT_TRUE(QFile::link(mine, link));
    ASSERT_TRUE(QFile(scratch.filePath("file")).open(QIODevice::WriteOnly));
    QStringList refused = {link, folderIn(scratch, "open", 0755), folderIn(scratch, "group", 0770),
                           scratch.filePath("file")};
    if (tarvok::test::sandbox() == tarvok::test::Sandbox::Root) {
        refused.append(folderIn(scratch, "foreign", 0700));
        ASSERT_EQ(::chown(QFile::encodeName(refused.last()).constData(), 65534, 65534), 0);
    }
    for (const QString& folder : refused) {
        QString failure;
        EXPECT_EQ(listenPath(Folder, {folder, folder, folder}, &failure), QString())
            << folder.toStdString();
        EXPECT_TRUE(failure.startsWith(folder + ": ")) << failure.toStdString();
        EXPECT_TRUE(clientPaths(Folder, {folder, folder, folder}).isEmpty());
    }
    EXPECT_EQ(modeOf(scratch.filePath("open")), 0755u) << "never changed";
    EXPECT_EQ(clientPaths(Folder, {{}, mine, mine}), QStringList{mine + "/" + socketName(Folder)});
}
