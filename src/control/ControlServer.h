#pragma once
// The running instance's end of the control socket: serves the commands of `tarvok --status`
// and its siblings. Only the same user may connect (a 0600 socket in a 0700 folder of that
// user's, and the peer's uid checked). Nothing here ever waits on a client: requests are read
// as they arrive into a small buffer, a silent client is dropped, and the number of clients
// is capped, so the enforcement passes go on whatever a client does.

#include "control/ControlProtocol.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace tarvok {

class ControlledProgram;

class ControlServer : public QObject {
    Q_OBJECT
public:
    // Listens at once on the socket of the program folder (see SocketPlace.h).
    ControlServer(ControlledProgram& program, const QString& programFolder,
                  QObject* parent = nullptr);
    ~ControlServer() override;

    QString path() const { return m_path; }
    bool listening() const;

private:
    void accept();
    void readRequest(QLocalSocket* client);
    void serve(QLocalSocket* client, control::Command command);
    // Runs a command that changes something once no enforcement pass is running, as a click
    // in the menu would: a pass is never re-entered from a client's request.
    void whenPassIdle(QPointer<QLocalSocket> client, std::function<QByteArray()> command,
                      int tries = 0);
    QByteArray setLevel(SecurityLevel level);
    QByteArray setPaused(bool pause);
    QByteArray reload();
    static void finish(QLocalSocket* client, const QByteArray& answer);

    ControlledProgram& m_program;
    QString m_path;
    QLocalServer* m_server = nullptr;
    int m_clients = 0;
};

} // namespace tarvok
