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

// A folder of the test's own: 0700 like a runtime folder.
struct Scratch {
    QTemporaryDir dir;
    QString path(const char* name) const { return dir.path() + "/" + name; }
    QString folder(const char* name, mode_t mode) const {
        ::mkdir(QFile::encodeName(path(name)).constData(), 0700);
        ::chmod(QFile::encodeName(path(name)).constData(), mode);
        return path(name);
    }
};

} // namespace

// A program folder of about 93 characters or more left the instance with no socket at all.
TEST(SocketPlace, ThePathStaysShortWhateverTheProgramFolder) {
    Scratch scratch;
    const QString longFolder = "/home/someone/" + QString(200, 'x');
    const QString path = listenPath(longFolder, {{}, {}, scratch.path("private")});
    EXPECT_TRUE(path.startsWith(scratch.path("private") + "/tarvok-")) << path.toStdString();
    EXPECT_LE(QFile::encodeName(path).size(), 107);
    EXPECT_NE(socketName(longFolder), socketName(Folder));
    // Made 0700 whatever the umask.
    const mode_t umask = ::umask(0277);
    EXPECT_FALSE(listenPath(Folder, {{}, {}, scratch.path("tight")}).isEmpty());
    ::umask(umask);
    EXPECT_EQ(modeOf(scratch.path("tight")), 0700u);
    // A runtime folder too deep for a socket path gives way to the next.
    const QString deep = scratch.folder("d", 0700) + "/" + QString(90, 'd');
    ASSERT_TRUE(QDir().mkpath(deep));
    ::chmod(QFile::encodeName(deep).constData(), 0700);
    EXPECT_TRUE(listenPath(Folder, {deep, {}, scratch.path("private")}).startsWith(scratch.path("private")));
}

// cron, su and ssh sessions lack XDG_RUNTIME_DIR: their client looked in another place than the
// instance listened in, and said that Tarvok was not running.
TEST(SocketPlace, AClientWithoutTheRuntimeVariableLooksWhereTheInstanceListens) {
    Scratch scratch;
    const QString runtime = scratch.folder("run", 0700), tmp = scratch.path("tmp");
    const QString instance = listenPath(Folder, {runtime, runtime, tmp});
    EXPECT_TRUE(instance.startsWith(runtime + "/")) << instance.toStdString();
    EXPECT_EQ(clientPaths(Folder, {{}, runtime, tmp}), QStringList{instance});
    // And the other way round: an instance started without it, asked from the desktop.
    const QString fallback = listenPath(Folder, {{}, scratch.path("none"), tmp});
    EXPECT_EQ(clientPaths(Folder, {runtime, scratch.path("none"), tmp}),
              QStringList({instance, fallback}));
}

// The folder under /tmp is where another user could have been first.
TEST(SocketPlace, AFolderThatIsALinkOpenToOthersOrAnotherUsersIsNeverUsed) {
    Scratch scratch;
    const QString mine = scratch.folder("mine", 0700);
    ASSERT_TRUE(QFile::link(mine, scratch.path("link")));
    ASSERT_TRUE(QFile(scratch.path("file")).open(QIODevice::WriteOnly));
    QStringList refused = {scratch.path("link"), scratch.folder("open", 0755),
                           scratch.folder("group", 0770), scratch.path("file")};
    if (tarvok::test::sandbox() == tarvok::test::Sandbox::Root) {
        const QString foreign = scratch.folder("foreign", 0700);
        ASSERT_EQ(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
        refused.append(foreign);
    }
    for (const QString& folder : refused) {
        QString failure;
        EXPECT_EQ(listenPath(Folder, {folder, folder, folder}, &failure), QString())
            << folder.toStdString();
        EXPECT_TRUE(failure.startsWith(folder + ": ")) << failure.toStdString();
        EXPECT_TRUE(clientPaths(Folder, {folder, folder, folder}).isEmpty());
    }
    EXPECT_EQ(modeOf(scratch.path("open")), 0755u) << "never changed";
    EXPECT_FALSE(listenPath(Folder, {{}, {}, mine}).isEmpty());
}
