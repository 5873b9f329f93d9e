#include "shell/ControlServer.h"

#include "engine/EnforcementEngine.h"
#include "engine/SecurityLevels.h"
#include "policy/PolicyCommands.h"
#include "policy/PolicyFile.h"
#include "shell/Application.h"
#include "shell/MainWindow.h"
#include "shell/UpdateCheck.h"

#include <QAction>
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

ControlServer::ControlServer(Application& application, const QString& programFolder,
                             const Localiser& language, QObject* parent)
    : QObject(parent), m_application(application), m_language(language),
      m_path(control::socketPath(programFolder, qEnvironmentVariable("XDG_RUNTIME_DIR"))) {
    setObjectName(QStringLiteral("ControlServer"));
    m_server = new QLocalServer(this);
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
            client->write(control::errorLine(QStringLiteral("busy, try again")));
            client->flush();
            client->abort();
            client->deleteLater();
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
    if (client->canReadLine()) {
        disconnect(client, &QLocalSocket::readyRead, this, nullptr);
        QByteArray line = client->readLine(control::MaxRequestBytes + 1);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (const auto command = control::parseRequest(line))
            serve(client, *command);
        else
            finish(client, control::errorLine(QStringLiteral("unknown command")));
    } else if (client->bytesAvailable() > control::MaxRequestBytes) {
        disconnect(client, &QLocalSocket::readyRead, this, nullptr);
        finish(client, control::errorLine(QStringLiteral("request too long")));
    }
}

control::Status ControlServer::status() const {
    Application& app = m_application;
    control::Status s;
    s.level = app.engine()->level();
    s.paused = app.levels()->paused();
    s.enforcement = control::enforcementInForce(*app.engine(), app.kernelTable(), m_language);
    s.policyFile = app.policy()->currentFilePath();
    s.unsavedChanges = app.policy()->SaveChanges();
    s.rules = app.rules().count();
    for (int row = 0; row < s.rules; ++row)
        s.enabledRules += app.rules().isEnabled(row) ? 1 : 0;
    s.blocked = app.engine()->cutCount();
    s.version = programVersionText();
    return s;
}

void ControlServer::serve(QLocalSocket* client, control::Command command) {
    using control::Command;
    switch (command) {
    case Command::Status:
        finish(client, control::statusLines(status()).join(QLatin1Char('\n')).toUtf8() + '\n' +
                           control::okLine());
        return;
    case Command::StatusJson:
        finish(client, control::statusJson(status()) + '\n' + control::okLine());
        return;
    case Command::LevelAllow:
    case Command::LevelNormal:
    case Command::LevelBlock: {
        const int item = command == Command::LevelAllow    ? 0
                         : command == Command::LevelNormal ? 1
                                                           : 2;
        whenPassIdle(client, [this, item] { return setLevel(item); });
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
    case Command::Exit:
        // The client keeps the connection until the instance has ended, so that a script
        // can start Tarvok again right after.
        if (auto* idle = client->findChild<QTimer*>(QStringLiteral("idle")))
            idle->stop();
        client->write(control::okLine(QStringLiteral("Tarvok is ending.")));
        client->flush();
        QMetaObject::invokeMethod(&m_application, &Application::requestExit, Qt::QueuedConnection);
        return;
    }
}

void ControlServer::whenPassIdle(QPointer<QLocalSocket> client, std::function<QByteArray()> command,
                                 int tries) {
    const bool passRunning = m_application.engine()->passRunning();
    if (passRunning && tries < MaxRetries) {
        QTimer::singleShot(RetryMs, this, [this, client, command, tries] {
            whenPassIdle(client, command, tries + 1);
        });
        return;
    }
    const QByteArray answer =
        passRunning ? control::refusedLine(QStringLiteral("busy, try again")) : command();
    if (client)
        finish(client, answer);
}

QByteArray ControlServer::setLevel(int item) {
    SecurityLevels* levels = m_application.levels();
    if (levels->paused())
        return control::refusedLine(QStringLiteral("Tarvok is paused; resume it first."));
    // The Security menu's own command, with its balloon and texts.
    QAction* action = m_application.window()->action(QStringLiteral("mnuLevel%1").arg(item));
    if (action && action->isEnabled())
        action->trigger();
    else
        levels->clickLevel(item);
    return control::okLine(QStringLiteral("Level: ") + control::levelWord(levels->level()));
}

QByteArray ControlServer::setPaused(bool pause) {
    SecurityLevels* levels = m_application.levels();
    if (levels->paused() == pause)
        return control::okLine(pause ? QStringLiteral("Already paused.")
                                     : QStringLiteral("Already running."));
    if (QAction* action = m_application.window()->action(QStringLiteral("mnuPauseFirewall")))
        action->trigger();
    else
        levels->togglePause();
    return control::okLine(levels->paused() ? QStringLiteral("Paused.")
                                            : QStringLiteral("Running."));
}

QByteArray ControlServer::reload() {
    PolicyCommands* policy = m_application.policy();
    if (policy->SaveChanges())
        return control::refusedLine(QStringLiteral(
            "the policy has unsaved changes; save or discard them in Tarvok's window first."));
    const QString path = policy->currentFilePath();
    // Read and checked in one step: a file that is no policy keeps the rules in force.
    const PolicyRead read = policy->replaceRules(path);
    if (!read.ok())
        return control::refusedLine(QStringLiteral("the policy %1 could not be read: %2")
                                        .arg(path, policyReadFailure(read, nullptr)));
    return control::okLine(
        QStringLiteral("Read %1 rules from %2").arg(m_application.rules().count()).arg(path));
}

void ControlServer::finish(QLocalSocket* client, const QByteArray& answer) {
    client->write(answer);
    client->disconnectFromServer();
}

} // namespace tarvok
