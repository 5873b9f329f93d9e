#include "RunningTarvok.h"
#include "control/ControlServer.h"
#include "control/SocketPlace.h"
#include "engine/SecurityLevels.h"
#include "engine/EnforcementEngine.h"
#include "engine/KernelTable.h"
#include "fakes/FakePrompter.h"
#include "policy/PolicyCommands.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "shell/TrayIcon.h"
#include "support/Sandbox.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tarvok;
using tarvok::test::blockRule;
using tarvok::test::ProgramFolder;
using tarvok::test::RunningTarvok;
using tarvok::test::writePolicy;

namespace {

struct Output {
    int code = -1;
    QByteArray out, err;
};

// Runs the folder's binary as a command, without any display: a command needs none.
// environment: extra "NAME=value" settings. This process's events go on meanwhile, for an
// instance that runs in it.
Output command(const ProgramFolder& folder, const QStringList& arguments,
               const QStringList& environment = {}) {
    QProcess process;
    process.setProcessEnvironment(
        test::environmentWith(environment, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}));
    process.start(folder.file("tarvok"), arguments);
    const bool ended =
        QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000);
    EXPECT_TRUE(ended) << arguments.join(' ').toStdString();
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(),
            process.readAllStandardError()};
}

// The socket of the instance in folder that runs with XDG_RUNTIME_DIR set to runtime; empty
// until it exists.
QString socketOf(const QString& folder, const QString& runtime = {}) {
    control::SocketFolders folders = control::SocketFolders::ofThisUser();
    folders.runtime = runtime;
    for (const QString& path : control::clientPaths(folder, folders))
        if (QFileInfo::exists(path))
            return path;
    return {};
}

// The instance in folder listens once its socket exists.
bool listening(const ProgramFolder& folder, const QString& runtime = {}) {
    return test::waitFor([&] { return !socketOf(folder.path(), runtime).isEmpty(); }, 20000);
}

sockaddr_un addressOf(const QString& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(),
                qMin<size_t>(name.size(), sizeof address.sun_path - 1));
    return address;
}

// A client of the control socket that never waits; invalid when the instance's queue is full.
test::Fd rawClient(const QString& path) {
    test::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_un address = addressOf(path);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return {};
    return fd;
}

// What fd receives until the instance closes it, or nothing more comes for ms.
struct Drained {
    QByteArray bytes;
    bool closed = false;
};
Drained drain(int fd, int ms) {
    Drained result;
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))) <= 0)
            break;
        char buffer[512];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0)
            result.bytes.append(buffer, got);
        else if ((result.closed = got == 0 || errno != EAGAIN))
            break;
    }
    return result;
}

// What a client of the instance in this process is told, once its status line has come.
QByteArray answerOf(QLocalSocket& socket) {
    QByteArray bytes;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            bytes += socket.readAll();
            return control::readAnswer(bytes).code != control::NotRunning;
        },
        3000));
    return bytes;
}

// Tarvok in the test's own process, with the binary beside it for commands.
struct InProcess {
    ProgramFolder folder;
    test::FakePrompter prompter;
    Application app{folder.path(), &prompter};
    ControlServer* server = nullptr;

    bool start() {
        if (!QFile::copy(QStringLiteral(TARVOK_BINARY), folder.file("tarvok")) ||
            !writePolicy(folder, {}) || !app.start({}))
            return false;
        server = app.window()->findChild<ControlServer*>();
        return server && server->listening();
    }
    QByteArray ask(const QByteArray& request) {
        QLocalSocket socket;
        socket.connectToServer(server->path());
        socket.write(request);
        return answerOf(socket);
    }
};

} // namespace

TEST(Control, EachCommandAnswersFromATerminalAndALevelSwitchCutsAConnection) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    Rule disabled = blockRule(listener);
    disabled.enabled = RuleWords{}.disabled;
    ASSERT_TRUE(writePolicy(folder, {{"accept", {}, {}, "127.0.0.9", "1", {}, {}}, disabled}));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVOK_BINARY), folder.file("tarvok")));

    // No instance yet: 1; bad arguments: 2 with the usage, and nothing starts.
    const std::tuple<QStringList, int, const char*> early[] = {
        {{"--status"}, 1, "Tarvok is not running.\n"},
        {{"--level", "loud"}, 2, "Usage: tarvok"},
        {{"--pause", "--resume"}, 2, "Usage: tarvok"},
        {{"--json"}, 2, "Usage: tarvok"},
        {{"--stauts"}, 2, "Usage: tarvok"}}; // not a start of a second Tarvok
    for (const auto& [arguments, code, error] : early) {
        const Output output = command(folder, arguments);
        EXPECT_EQ(output.code, code) << arguments.join(' ').toStdString();
        EXPECT_TRUE(output.err.contains(error)) << output.err.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(folder.file("config.ini")));

    RunningTarvok tarvok(folder, false, false);
    ASSERT_TRUE(listening(folder));
    // 0600: the owner's read and write, nothing for the group or others. The socket is made
    // 0700 and set to 0600 right after, so the test waits for that.
    EXPECT_TRUE(test::waitFor(
        [&] {
            return (QFileInfo(socketOf(folder.path())).permissions() & 0x70FF) ==
                   (QFile::ReadOwner | QFile::WriteOwner);
        },
        2000));
    test::TcpConnection connection = test::connect("127.0.0.3", listener);
    const QString policy = QFileInfo(folder.path()).canonicalFilePath() + "/Normal.rlsp";

    const std::tuple<QStringList, int, QByteArray, QByteArray> steps[] = {
        {{"--status"},
         0,
         "Level: normal\nPaused: no\nEnforcement: kernel table and cutting\nPolicy file: " +
             policy.toUtf8() +
             "\nUnsaved changes: no\nRules: 2\nEnabled rules: 1\nProgram rules: 0\n"
             "Blocked since start: 0\n"
             "Version: 3.0\n",
         ""},
        {{"--pause"}, 0, "Paused.\n", ""},
        {{"--pause"}, 0, "Already paused.\n", ""},
        {{"--level", "block"}, 3, "", "Tarvok refused: Tarvok is paused; resume it first.\n"},
        {{"--resume"}, 0, "Running.\n", ""},
        {{"--reload"}, 0, "Read 2 rules from " + policy.toUtf8() + "\n", ""},
        {{"--level", "block"}, 0, "Level: block\n", ""},
    };
    for (const auto& [arguments, code, out, err] : steps) {
        const Output output = command(folder, arguments);
        EXPECT_EQ(std::tuple(output.code, output.out, output.err), std::tuple(code, out, err))
            << arguments.join(' ').toStdString();
    }
    // The level switched from the terminal cuts the connection the rules let live.
    const int outcome = test::readOutcome(connection.client.get(), 3000);
    EXPECT_TRUE(outcome == -ECONNABORTED || outcome == -ECONNRESET) << outcome;

    // Two at once are both answered; the JSON form holds what the lines say.
    QProcess second;
    second.start(folder.file("tarvok"), {"--status"});
    const Output json = command(folder, {"--status", "--json"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardOutput().startsWith("Level: block\n"));
    ASSERT_EQ(json.code, 0);
    const QJsonObject status = QJsonDocument::fromJson(json.out).object();
    EXPECT_EQ(status["level"].toString() + status["policy_file"].toString(), "block" + policy);
    EXPECT_EQ(status["enforcement"].toString(), "kernel table and cutting");
    EXPECT_EQ(status["enabled_rules"].toInt(), 1);

    // --exit returns once the instance has ended in order.
    const Output exit = command(folder, {"--exit"});
    EXPECT_EQ(std::pair(exit.code, exit.out), std::pair(0, QByteArray("Tarvok is ending.\n")));
    EXPECT_FALSE(QFileInfo::exists(socketOf(folder.path())));
    EXPECT_FALSE(folder.read("History.tvh").isEmpty());
    EXPECT_TRUE(tarvok.terminate()); // already ended, with exit code 0
}

TEST(Control, BadInputGetsAnErrorOrAClosedConnectionWhileTheFirewallCutsOn) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    ASSERT_TRUE(writePolicy(folder, {blockRule(listener)}));
    QTemporaryDir runtime; // 0700, and opened to others below
    RunningTarvok tarvok(folder, false, true, {"XDG_RUNTIME_DIR=" + runtime.path()});
    ASSERT_TRUE(listening(folder, runtime.path()));
    const QString path = socketOf(folder.path(), runtime.path());

    const QByteArray megabyte(1 << 20, 'x');
    const std::pair<QByteArray, QByteArray> requests[] = {
        {"bogus\n", "ERROR unknown command\n"}, // binary ones: ControlProtocol.*
        {megabyte + '\n', "ERROR request too long\n"},
    };
    for (const auto& [request, answer] : requests) {
        test::Fd client = rawClient(path);
        ASSERT_TRUE(client.valid());
        EXPECT_GT(::send(client.get(), request.constData(), request.size(), MSG_NOSIGNAL), 0);
        const Drained got = drain(client.get(), 5000);
        EXPECT_TRUE(got.closed) << answer.toStdString();
        // A request left unread may reset the connection before its answer arrives.
        EXPECT_TRUE(got.bytes == answer || got.bytes.isEmpty()) << got.bytes.left(80).toStdString();
    }

    // A hundred clients that never write: each is told "busy" or dropped once idle, and cuts
    // go on meanwhile. (How many are told busy: ASeventeenthClient....)
    std::vector<test::Fd> idle;
    for (int i = 0; i < 100; ++i)
        if (test::Fd client = rawClient(path); client.valid())
            idle.push_back(std::move(client));
    EXPECT_GE(idle.size(), 16u);
    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", listener)));
    for (const test::Fd& client : idle) {
        const Drained got = drain(client.get(), 6000);
        EXPECT_TRUE(got.closed);
        EXPECT_TRUE(got.bytes.isEmpty() || got.bytes.startsWith("BUSY "))
            << got.bytes.toStdString();
    }
    EXPECT_EQ(command(folder, {"--status"}, {"XDG_RUNTIME_DIR=" + runtime.path()}).code, 0);

    // Another user is turned away even where the socket's mode would let them in, and even in
    // the same group.
    if (test::sandbox() == test::Sandbox::Root) {
        ASSERT_EQ(::chmod(QFile::encodeName(runtime.path()).constData(), 0711), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0666), 0);
        const sockaddr_un address = addressOf(path);
        const pid_t child = ::fork();
        if (child == 0) {
            // Only system calls here: the child of a threaded process.
            // Another user in the instance's own group.
            if (::setresuid(65534, 65534, 65534) != 0)
                ::_exit(2);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                ::_exit(10 + errno);
            if (::send(fd, "status\n", 7, MSG_NOSIGNAL) != 7)
                ::_exit(0); // already closed
            char answer[64];
            pollfd wait{fd, POLLIN, 0};
            // Closed with no answer: exit code 0.
            ::_exit(::poll(&wait, 1, 5000) == 1 && ::recv(fd, answer, sizeof answer, 0) <= 0 ? 0
                                                                                             : 1);
        }
        int result = -1;
        ASSERT_EQ(::waitpid(child, &result, 0), child);
        EXPECT_TRUE(WIFEXITED(result) && WEXITSTATUS(result) == 0) << WEXITSTATUS(result);
    }
    EXPECT_TRUE(tarvok.terminate());
}

// In the test's own process: the pass is driven by hand and the client acts inside it.
TEST(Control, AStatusIsAnsweredInsideAPassAndChangesWaitForItsEnd) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    ASSERT_TRUE(writePolicy(folder, {blockRule(listener)}));
    test::FakePrompter prompter;
    Application app(folder.path(), &prompter);
    ASSERT_TRUE(app.start({}));
    auto* server = app.window()->findChild<ControlServer*>();
    ASSERT_TRUE(server && server->listening());
    EnforcementEngine* engine = app.engine();
    engine->timer()->stop();
    test::TcpListener other("127.0.0.4");
    test::TcpConnection kept = test::connect("127.0.0.5", other); // rows for the pass to walk

    QLocalSocket status, level;
    QByteArray statusAnswer, levelInPass;
    bool yielded = false;
    engine->setYieldBudget(0);
    engine->setYield([&] {
        if (std::exchange(yielded, true))
            return;
        for (auto [socket, request] : {std::pair{&status, "status\n"}, {&level, "level block\n"}}) {
            socket->connectToServer(server->path());
            socket->write(request);
        }
        statusAnswer = answerOf(status);
        levelInPass = level.readAll();
    });
    engine->runPass();
    ASSERT_TRUE(yielded);
    EXPECT_TRUE(statusAnswer.startsWith("Level: normal\n")) << statusAnswer.toStdString();
    EXPECT_EQ(levelInPass, QByteArray());
    EXPECT_EQ(answerOf(level), "OK Level: block\n");
    EXPECT_EQ(engine->level(), SecurityLevel::Block);

    // Unsaved rules are never thrown away by a reload.
    app.policy()->setSaveChanges(true);
    QLocalSocket reload;
    reload.connectToServer(server->path());
    reload.write("reload\n");
    const QByteArray refused = answerOf(reload);
    EXPECT_TRUE(refused.startsWith("REFUSED the policy has unsaved changes"))
        << refused.toStdString();

    // A hundred silent clients and bad requests: a new blocked connection is still cut
    // within two ticks. The kernel table lets everything pass (Allow) while the pass alone
    // blocks (Normal), so that only the pass can stop it.
    app.levels()->clickLevel(0);
    ASSERT_TRUE(app.kernelTable()->waitForWrite());
    engine->setYield([] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
    engine->setLevel(SecurityLevel::Normal);
    std::vector<test::Fd> clients;
    for (int i = 0; i < 100; ++i)
        clients.push_back(rawClient(server->path()));
    for (const QByteArray& bad : {QByteArray(4096, '\xff'), QByteArray("level purple\n")})
        if (test::Fd client = rawClient(server->path()); client.valid()) {
            (void)!::send(client.get(), bad.constData(), bad.size(), MSG_NOSIGNAL);
            clients.push_back(std::move(client));
        }
    QCoreApplication::processEvents();
    test::TcpConnection blocked = test::connect("127.0.0.3", listener);
    engine->tick();
    engine->tick();
    EXPECT_EQ(test::readOutcome(blocked.client.get(), 0), -ECONNABORTED);
    app.shutdown(false);
}

// With no unsaved rules, --exit is shown ending by EachCommandAnswers....
TEST(Control, ExitRefusesWhileRulesAreUnsavedUnlessTheyAreDiscarded) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    InProcess run;
    ASSERT_TRUE(run.start());
    const QByteArray policy = run.folder.read("Normal.rlsp");
    run.app.rules().appendRule({"block", {}, {}, "127.0.0.9", "1", {}, {}});
    run.app.policy()->setSaveChanges(true); // as the rule editor does
    EXPECT_TRUE(run.ask("exit\n").startsWith("REFUSED the policy has unsaved changes"));
    EXPECT_EQ(run.ask("exit discard\n"), "OK Tarvok is ending.\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return run.app.ended(); }, 10000));
    EXPECT_EQ(run.folder.read("Normal.rlsp"), policy);
    EXPECT_EQ(QDir(run.folder.path()).entryList({"*.rlsp"}), QStringList{"Normal.rlsp"});
}

// The seventeenth client was told "ERROR", which the terminal read as bad arguments (exit 2).
TEST(Control, ASeventeenthClientIsToldBusyWithAnExitCodeOfItsOwn) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    InProcess run;
    ASSERT_TRUE(run.start());
    std::vector<test::Fd> held;
    for (int i = 0; i < control::MaxClients; ++i)
        held.push_back(rawClient(run.server->path()));
    // Held past the idle time-out, so that the command comes seventeenth however slowly it
    // starts.
    QList<QTimer*> idle;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (idle = run.server->findChildren<QTimer*>("idle")).size() == control::MaxClients; },
        5000));
    for (QTimer* timer : idle)
        timer->stop();
    const Output busy = command(run.folder, {"--status"});
    EXPECT_EQ(busy.code, control::Busy);
    EXPECT_TRUE(busy.err.startsWith("Tarvok is busy: ")) << busy.err.toStdString();
    held.clear();
    EXPECT_TRUE(QTest::qWaitFor([&] { return command(run.folder, {"--status"}).code == 0; }, 5000));
}

// cron, su and ssh sessions lack XDG_RUNTIME_DIR, and a program folder path longer than a
// socket path left the instance without a socket: both said "not running" of a running Tarvok.
TEST(Control, TheTerminalFindsTheInstanceWithoutTheRuntimeVariableAndFromADeepFolder) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    // A /run/user of the test's own: the desktop session's runtime folder is made in it below.
    const test::ScratchMount runUser = test::ScratchMount::smallDisk("/run/user");
    if (!runUser.ok())
        GTEST_SKIP() << "no folder can be mounted on /run/user: " << runUser.error().toStdString();
    QTemporaryDir elsewhere;
    const QString desktop = "/run/user/" + QString::number(::geteuid());
    const struct {
        QString instance, terminal; // their XDG_RUNTIME_DIR
    } rows[] = {{"", elsewhere.path()}, {desktop, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.instance.toStdString());
        if (!row.instance.isEmpty()) {
            ASSERT_TRUE(QDir().mkdir(desktop) && ::chmod(qPrintable(desktop), 0700) == 0);
        }
        const ProgramFolder folder(QString(80, 'f'));
        ASSERT_TRUE(writePolicy(folder, {}));
        RunningTarvok tarvok(folder, false, true, {"XDG_RUNTIME_DIR=" + row.instance});
        ASSERT_TRUE(listening(folder, row.instance));
        const Output status = command(folder, {"--status"}, {"XDG_RUNTIME_DIR=" + row.terminal});
        EXPECT_EQ(status.code, 0) << status.err.toStdString();
        EXPECT_TRUE(tarvok.terminate());
    }
}

// Without a notification area the close box hid the window for good, and a second start only
// said that Tarvok was running.
TEST(Control, WithoutATrayTheCloseBoxMinimisesAndASecondStartBringsTheWindowBack) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    const auto desktop = TrayIcon::availability();
    TrayIcon::availability() = [] { return false; };
    const auto restore = qScopeGuard([&] { TrayIcon::availability() = desktop; });
    InProcess run;
    ASSERT_TRUE(run.start());
    MainWindow* window = run.app.window();
    window->close();
    EXPECT_TRUE(window->isVisible() && window->isMinimized());
    // Its "already running" box waits for an answer until the end of the test.
    RunningTarvok second(run.folder, false, false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isMinimized(); }, 20000));
    EXPECT_TRUE(window->isVisible());
    run.app.shutdown(false);
}

// Records reach a real journal; the preference that turns them off is checked by
// JournalRecords.*. The journal is the test's own: a journald started in this test's mount
// namespace over empty /run and /var/log/journal, so nothing reaches the machine's journal.
TEST(Control, BlockedConnectionsAreReadBackFromTheJournal) {
    TARVOK_REQUIRE_PRIVATE_NETWORK();
    const QString journald = QStringLiteral("/lib/systemd/systemd-journald");
    if (test::sandbox() != test::Sandbox::Root || !QFileInfo::exists(journald) ||
        QStandardPaths::findExecutable("journalctl").isEmpty())
        GTEST_SKIP() << "no journal runs here and none can be started (needs root, "
                        "systemd-journald and journalctl): the read-back is skipped; the "
                        "fields are checked by JournalRecords.*";
    const test::ScratchMount run = test::ScratchMount::smallDisk("/run", 1 << 18);
    ASSERT_TRUE(run.ok()) << run.error().toStdString();
    std::optional<test::ScratchMount> persistent; // an empty one where the machine keeps one
    if (QFileInfo::exists("/var/log/journal"))
        persistent.emplace(test::ScratchMount::smallDisk("/var/log/journal", 1 << 18));
    QProcess daemon; // ended by its destructor, before the mounts are undone
    QDir().mkpath("/run/systemd/journal");
    QDir().mkpath("/run/log/journal");
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(journald, {});
    ASSERT_TRUE(
        test::waitFor([] { return QFileInfo::exists("/run/systemd/journal/socket"); }, 10000));

    ProgramFolder folder;
    test::TcpListener listener("127.0.0.2");
    ASSERT_TRUE(writePolicy(folder, {blockRule(listener)}));
    RunningTarvok tarvok(folder);
    ASSERT_TRUE(listening(folder));
    EXPECT_TRUE(test::refused(test::connectError("127.0.0.3", listener)));
    // Found by fields of Tarvok's own; the journal's fields hold the message and its priority.
    QJsonObject entry;
    const auto read = [&] {
        QProcess journal;
        journal.start("journalctl", {"--no-pager", "-o", "json", "-t", "tarvok", "TARVOK_RULE=1",
                                     "TARVOK_REMOTE_PORT=" + QString::number(listener.port())});
        journal.waitForFinished(10000);
        const QByteArray first = journal.readAllStandardOutput().split('\n').first();
        entry = QJsonDocument::fromJson(first).object();
        return !entry.isEmpty();
    };
    EXPECT_TRUE(test::waitFor(read, 5000));
    EXPECT_TRUE(tarvok.terminate());
    EXPECT_EQ(entry["PRIORITY"].toString(), "4");
    EXPECT_TRUE(entry["MESSAGE"].toString().startsWith("BLOCKED CONNECTION: TCP 127.0.0.3:"));
}
