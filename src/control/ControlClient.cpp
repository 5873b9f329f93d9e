#include "control/ControlClient.h"

#include "control/ControlProtocol.h"
#include "control/SocketPlace.h"
#include "engine/EnforcerLink.h"
#include "settings/ProgramFolder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDateTime>
#include <QLocale>
#include <QLocalSocket>

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvok {
namespace {

constexpr int ConnectTimeoutMs = 2000;
constexpr int AnswerTimeoutMs = 10000;
// An orderly end saves the policy, the log and the history first.
constexpr int ExitTimeoutMs = 60000;
constexpr qsizetype MaxAnswerBytes = 1 << 20;

void print(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, bytes.size(), stream);
}

// The instance's socket is reachable only by its user; a socket of anyone else is not ours.
bool sameUser(const QLocalSocket& socket) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                        &size) == 0 &&
           peer.uid == ::geteuid();
}

// Connects to the instance of programFolder wherever it listens.
bool connectToInstance(QLocalSocket& socket, const QString& programFolder) {
    for (const QString& path :
         control::clientPaths(programFolder, control::SocketFolders::ofThisUser())) {
        socket.connectToServer(path);
        if (socket.waitForConnected(ConnectTimeoutMs) && sameUser(socket))
            return true;
        socket.abort();
    }
    return false;
}

// Sends command and reads the answer until the instance closes the connection.
control::Answer ask(QLocalSocket& socket, control::Command command, int timeoutMs) {
    socket.write(control::requestLine(command) + '\n');
    socket.waitForBytesWritten(ConnectTimeoutMs);
    QByteArray bytes;
    QDeadlineTimer deadline(timeoutMs);
    while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired() &&
           bytes.size() < MaxAnswerBytes) {
        socket.waitForReadyRead(100);
        bytes += socket.readAll();
    }
    bytes += socket.readAll();
    return control::readAnswer(bytes);
}

} // namespace

namespace {

// No window answers: its enforcer may still keep the last policy in force, after the window
// ended unexpectedly. A status says so, an exit ends it, and anything else is refused.
int answerForAbsentWindow(control::Command command, const QString& folder) {
    const quint64 instance = EnforcerLink::instanceFor(folder);
    const std::optional<enforcer::StatusAnswer> left = EnforcerLink::orphanStatus(instance);
    if (!left) {
        print(stderr, QStringLiteral("Tarvok is not running.\n"));
        return control::NotRunning;
    }
    if (command == control::Command::Exit || command == control::Command::ExitDiscard) {
        if (!EnforcerLink::endOrphan(instance)) {
            print(stderr, QStringLiteral("Tarvok's enforcer did not answer.\n"));
            return control::NotRunning;
        }
        print(stdout, QStringLiteral("The policy left in force has been removed.\n"));
        return control::Done;
    }
    const QString since = QLocale::system().toString(
        QDateTime::fromSecsSinceEpoch(left->windowGoneAt).time(), QLocale::ShortFormat);
    print(stderr, QStringLiteral("Tarvok is not running; its last policy is still in force "
                                 "since %1 (the window ended unexpectedly). 'tarvok --exit' "
                                 "removes it; starting Tarvok takes it over.\n")
                      .arg(since));
    return control::PolicyLeftInForce;
}

} // namespace

bool isControlCommand(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return control::isControlArguments(arguments);
}

int runControlClient(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const control::Arguments arguments = control::parseArguments(app.arguments().mid(1));
    if (arguments.help) {
        print(stdout, control::usage());
        return control::Done;
    }
    if (!arguments.command) {
        print(stderr, QStringLiteral("tarvok: %1\n").arg(arguments.error) + control::usage());
        return control::BadArguments;
    }

    // The instance's socket is named after its program folder, which an installed Tarvok
    // keeps in the user's data folder.
    const QString folder = programFoldersFor(QCoreApplication::applicationDirPath()).program;
    QLocalSocket socket;
    const control::Command command = *arguments.command;
    if (!connectToInstance(socket, folder))
        return answerForAbsentWindow(command, folder);
    const bool exit = command == control::Command::Exit || command == control::Command::ExitDiscard;
    const control::Answer answer = ask(socket, command, exit ? ExitTimeoutMs : AnswerTimeoutMs);
    for (const QString& line : answer.body)
        print(stdout, line + QLatin1Char('\n'));
    switch (answer.code) {
    case control::Done:
        if (!answer.text.isEmpty())
            print(stdout, answer.text + QLatin1Char('\n'));
        break;
    case control::Refused:
        print(stderr, QStringLiteral("Tarvok refused: %1\n").arg(answer.text));
        break;
    case control::Busy:
        print(stderr, QStringLiteral("Tarvok is busy: %1\n").arg(answer.text));
        break;
    case control::BadArguments:
        print(stderr,
              QStringLiteral("Tarvok did not understand the command: %1\n").arg(answer.text));
        break;
    case control::NotRunning:
    case control::PolicyLeftInForce: // only ever said here, never by a window
        print(stderr, QStringLiteral("Tarvok did not answer.\n"));
        break;
    }
    return answer.code;
}

bool askToShowWindow(const QString& programFolder) {
    // Sent, not waited for: the instance acts on it once its pass allows, and the second
    // start goes on to say that Tarvok is running.
    QLocalSocket socket;
    if (!connectToInstance(socket, programFolder))
        return false;
    socket.write(control::requestLine(control::Command::ShowWindow) + '\n');
    return socket.waitForBytesWritten(ConnectTimeoutMs);
}

} // namespace tarvok
