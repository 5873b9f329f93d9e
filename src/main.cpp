#include "control/ControlClient.h"
#include "platform/SecureExecution.h"
#include "settings/ProgramFolder.h"
#include "shell/Application.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char* argv[]) {
    // The window holds no capability, whoever starts it: every privileged act goes through
    // tarvok-enforcer. A binary someone gave capabilities by hand still runs without them.
    tarvok::platform::dropAllCapabilities();
    // With file capabilities, nothing the user chooses may load code into the process.
    if (tarvok::platform::secureExecution()) {
        tarvok::platform::dropUnsafeEnvironment();
        argc = tarvok::platform::dropUnsafeArguments(argc, argv);
    }
    // A command to the running instance: no window, no display, no second instance.
    if (tarvok::isControlCommand(argc, argv))
        return tarvok::runControlClient(argc, argv);
    QApplication qtApp(argc, argv);
    qtApp.setApplicationName(QStringLiteral("Tarvok"));
    // The desktop entry and AppStream id, so that the desktop matches windows to the entry.
    QGuiApplication::setDesktopFileName(QStringLiteral("example.tarvok.Tarvok"));
    // The close box hides the window (or minimises it where there is no notification area);
    // the program lives on.
    qtApp.setQuitOnLastWindowClosed(false);

    const tarvok::ProgramFolders folders =
        tarvok::programFoldersFor(QCoreApplication::applicationDirPath());
    tarvok::setInstalledDataFolder(folders.installedData);
    // An installed Tarvok makes its folder on first start. A build folder is there already;
    // when it cannot be written, the lock's own message says so.
    if (!folders.installedData.isEmpty()) {
        const QString failure = tarvok::prepareProgramFolder(folders.program);
        if (!failure.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(failure));
            QMessageBox::critical(nullptr, QStringLiteral("Tarvok"), failure);
            return 1;
        }
    } else {
        // Older versions wrote the records readable to all; the build folder stays as it is.
        tarvok::keepRecordsPrivate(folders.program);
    }

    tarvok::Application app(folders.program);
    // Before start-up, so that a signal while a start-up box is open closes the box and ends
    // the run in order.
    app.installSignalHandlers();
    QObject::connect(&app, &tarvok::Application::finished, &qtApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!app.start(qtApp.arguments().mid(1)))
        return app.ended() ? 0 : 1;
    return qtApp.exec();
}
