#include "shell/Application.h"
#include "shell/ControlClient.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    // A command to the running instance: no window, no display, no second instance.
    if (tarvok::isControlCommand(argc, argv))
        return tarvok::runControlClient(argc, argv);
    QApplication qtApp(argc, argv);
    qtApp.setApplicationName(QStringLiteral("Tarvok"));
    // The close box hides the window; the program lives on in the notification area.
    qtApp.setQuitOnLastWindowClosed(false);

    tarvok::Application app(QCoreApplication::applicationDirPath());
    // Before start-up, so that a signal while a start-up box is open closes the box and ends
    // the run in order.
    app.installSignalHandlers();
    QObject::connect(&app, &tarvok::Application::finished, &qtApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!app.start(qtApp.arguments().mid(1)))
        return app.ended() ? 0 : 1;
    return qtApp.exec();
}
