#pragma once
// A copy of the hold client (tests/engine/HoldClient.cpp) at a path of its own, so that it is
// a program of its own, holding one connection to a listener until it is destroyed. Tests that
// use it define TARVOK_TEST_HOLD_CLIENT, the built client.

#include "support/Loopback.h"

#include <QFile>
#include <QProcess>

#include <cstdint>

namespace tarvok::test {

struct HoldClient {
    QString path;
    QProcess process;
    std::uint16_t port = 0;

    // Copies the client to copyPath unless a file is there, and connects from `from` (over
    // UDP when udp). False when the copy could not connect (it then exits with 3).
    bool start(const QString& copyPath, const char* from, const TcpListener& listener,
               bool udp = false) {
        path = copyPath;
        if (!QFile::exists(path) &&
            (!QFile::copy(QStringLiteral(TARVOK_TEST_HOLD_CLIENT), path) ||
             !QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner)))
            return false;
        QStringList arguments = {from, listener.address(), QString::number(listener.port())};
        if (udp)
            arguments << QStringLiteral("udp");
        process.start(path, arguments);
        if (!process.waitForReadyRead(5000))
            return false;
        port = static_cast<std::uint16_t>(process.readLine().trimmed().toUInt());
        return port != 0;
    }
    ~HoldClient() {
        process.closeWriteChannel();
        if (!process.waitForFinished(2000))
            process.kill();
        process.waitForFinished(2000);
    }
};

} // namespace tarvok::test
