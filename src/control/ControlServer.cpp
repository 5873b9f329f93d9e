#include "control/ControlServer.h"

#include "control/ControlledProgram.h"
#include "control/SocketPlace.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace tarvok {
namespace {

// A pass that a command waits for ends long before this many retries of RetryMs.
constexpr int RetryMs = 10;
constexpr int MaxRetries = 500;

bool sameUser(QLocalSocket* client) {
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(static_cast<int>(client->socketDescriptor()), SOL_SOCKET, SO_PEERCRED,
                        &peer, &size) == 0 &&
           peer.uid == ::geteuid();
}

} // namespace

ControlServer::ControlServer(ControlledProgram& program, const QString& programFolder,
                             QObject* parent)
    : QObject(parent), m_program(program) {
    setObjectName(QStringLiteral("ControlServer"));
    m_server = new QLocalServer(this);
    QString failure;
    m_path = control::listenPath(programFolder, control::SocketFolders::ofThisUser(), &failure);
    if (m_path.isEmpty()) {
        qWarning("Tarvok: no folder can hold the control socket: %s", qPrintable(failure));
        return;
    }
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // The program folder's lock is held, so a socket left at the path is a crashed run's.
    QLocalServer::removeServer(m_path);
    if (!m_server->listen(m_path)) {
        qWarning("Tarvok: the control socket %s could not be made: %s", qPrintable(m_path),
                 qPrintable(m_server->errorString()));
        return;
    }
    QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    connect(m_server, &QLocalServer::newConnection, this, &ControlServer::accept);
}

ControlServer::~ControlServer() = default;

bool ControlServer::listening() const {
    return m_server->isListening();
}

void ControlServer::accept() {
    while (QLocalSocket* client = m_server->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        if (!sameUser(client)) {
            client->abort();
            client->deleteLater();
            continue;
        }
        if (m_clients >= control::MaxClients) {
            client->write(control::busyLine(QStringLiteral("serving other clients, try again")));
            client->disconnectFromServer(); // once the line is written
            continue;
        }
        ++m_clients;
        connect(client, &QObject::destroyed, this, [this] { --m_clients; });
        client->setReadBufferSize(control::MaxRequestBytes + 1);
        auto* idle = new QTimer(client);
        idle->setObjectName(QStringLiteral("idle"));
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, client, [client] {
            client->abort();
            client->deleteLater();
        });
        idle->start(control::IdleTimeoutMs);
        connect(client, &QLocalSocket::readyRead, this, [this, client] { readRequest(client); });
        readRequest(client);
    }
}

void ControlServer::readRequest(QLocalSocket* client) {
    using Kind = control::Request::Kind;
    const control::Request request =
        control::decodeRequest(client->peek(control::MaxRequestBytes + 1));
    if (request.kind == Kind::Incomplete)
        return;
    disconnect(client, &QLocalSocket::readyRead, this, nullptr);
    if (request.kind == Kind::Command)
        serve(client, request.command);
    else
        finish(client, control::errorLine(request.kind == Kind::TooLong
                                              ? QStringLiteral("request too long")
                                              : QStringLiteral("unknown command")));
}

void ControlServer::serve(QLocalSocket* client, control::Command command) {
    using control::Command;
    switch (command) {
    case Command::Status:
        finish(client, control::statusLines(m_program.status()).join(QLatin1Char('\n')).toUtf8() +
                           '\n' + control::okLine());
        return;
    case Command::StatusJson:
        finish(client, control::statusJson(m_program.status()) + '\n' + control::okLine());
        return;
    case Command::LevelAllow:
    case Command::LevelNormal:
    case Command::LevelBlock: {
        const SecurityLevel level = command == Command::LevelAllow    ? SecurityLevel::Allow
                                    : command == Command::LevelNormal ? SecurityLevel::Normal
                                                                      : SecurityLevel::Block;
        whenPassIdle(client, [this, level] { return setLevel(level); });
        return;
    }
    case Command::Pause:
    case Command::Resume: {
        const bool pause = command == Command::Pause;
        whenPassIdle(client, [this, pause] { return setPaused(pause); });
        return;
    }
    case Command::Reload:
        whenPassIdle(client, [this] { return reload(); });
        return;
    case Command::ShowWindow:
        whenPassIdle(client, [this] {
            m_program.raiseWindow();
            return control::okLine();
        });
        return;
    case Command::Exit:
    case Command::ExitDiscard:
        // Nothing the user built is thrown away unasked: the terminal says so instead.
        if (command == Command::Exit && m_program.unsavedChanges()) {
            finish(client, control::refusedLine(QStringLiteral(
                               "the policy has unsaved changes; save them in Tarvok's window, "
                               "or end it with --exit --discard to drop them.")));
            return;
        }
        // The client keeps the connection until the instance has ended, so that a script
        // can start Tarvok again right after.
        if (auto* idle = client->findChild<QTimer*>(QStringLiteral("idle")))
            idle->stop();
        client->write(control::okLine(QStringLiteral("Tarvok is ending.")));
        client->flush();
        m_program.exit(command == Command::ExitDiscard);
        return;
    }
}

void ControlServer::whenPassIdle(QPointer<QLocalSocket> client, std::function<QByteArray()> command,
                                 int tries) {
    const bool passRunning = m_program.passRunning();
    if (passRunning && tries < MaxRetries) {
        QTimer::singleShot(RetryMs, this, [this, client, command, tries] {
            whenPassIdle(client, command, tries + 1);
        });
        return;
    }
    const QByteArray answer =
        passRunning ? control::busyLine(QStringLiteral("a pass is running, try again")) : command();
    if (client)
        finish(client, answer);
}

QByteArray ControlServer::setLevel(SecurityLevel level) {
    if (m_program.paused())
        return control::refusedLine(QStringLiteral("Tarvok is paused; resume it first."));
    return control::okLine(QStringLiteral("Level: ") + control::levelWord(m_program.setLevel(level)));
}

QByteArray ControlServer::setPaused(bool pause) {
    if (m_program.paused() == pause)
        return control::okLine(pause ? QStringLiteral("Already paused.")
                                     : QStringLiteral("Already running."));
    return control::okLine(m_program.setPaused(pause) ? QStringLiteral("Paused.")
                                                      : QStringLiteral("Running."));
}

QByteArray ControlServer::reload() {
    if (m_program.unsavedChanges())
        return control::refusedLine(QStringLiteral(
            "the policy has unsaved changes; save or discard them in Tarvok's window first."));
    const ControlledProgram::Outcome outcome = m_program.reload();
    return outcome.done ? control::okLine(outcome.text) : control::refusedLine(outcome.text);
}

void ControlServer::finish(QLocalSocket* client, const QByteArray& answer) {
    client->write(answer);
    client->disconnectFromServer();
}

} // namespace tarvok
