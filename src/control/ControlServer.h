#pragma once
// The running instance's end of the control socket: serves the commands of `tarvok --status`
// and its siblings. Only the same user may connect (a 0600 socket in that user's runtime
// folder, and the peer's uid checked). Nothing here ever waits on a client: requests are read
// as they arrive into a small buffer, a silent client is dropped, and the number of clients
// is capped, so the enforcement passes go on whatever a client does.

#include "control/ControlProtocol.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace tarvok {

class Application;
class Localiser;

class ControlServer : public QObject {
    Q_OBJECT
public:
    // Listens at once on the socket of the application's program folder.
    ControlServer(Application& application, const QString& programFolder, const Localiser& language,
                  QObject* parent = nullptr);
    ~ControlServer() override;

    QString path() const { return m_path; }
    bool listening() const;
    // What `--status` reports now.
    control::Status status() const;

private:
    void accept();
    void readRequest(QLocalSocket* client);
    void serve(QLocalSocket* client, control::Command command);
    // Runs a command that changes something once no enforcement pass is running, as a click
    // in the menu would: a pass is never re-entered from a client's request.
    void whenPassIdle(QPointer<QLocalSocket> client, std::function<QByteArray()> command,
                      int tries = 0);
    QByteArray setLevel(int item);
    QByteArray setPaused(bool pause);
    QByteArray reload();
    static void finish(QLocalSocket* client, const QByteArray& answer);

    Application& m_application;
    const Localiser& m_language;
    QString m_path;
    QLocalServer* m_server = nullptr;
    int m_clients = 0;
};

} // namespace tarvok
