#include "shell/Application.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication qtApp(argc, argv);
    qtApp.setApplicationName(QStringLiteral("Tarvok"));
    // The close box hides the window; the program lives on in the notification area.
    qtApp.setQuitOnLastWindowClosed(false);

    tarvok::Application app(QCoreApplication::applicationDirPath());
    app.installSignalHandlers();
    QObject::connect(&app, &tarvok::Application::finished, &qtApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!app.start(qtApp.arguments().mid(1)))
        return 1;
    return qtApp.exec();
}
