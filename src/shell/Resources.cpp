#include "shell/Resources.h"

#include <QtGlobal>

#include <mutex>

// Q_INIT_RESOURCE must not be used inside a namespace.
static void registerTarvokResources() {
    Q_INIT_RESOURCE(tarvok);
}

namespace tarvok {

void initResources() {
    static std::once_flag once;
    std::call_once(once, registerTarvokResources);
}

QString picturePath(Picture picture) {
    const char* name = "tarvok";
    switch (picture) {
    case Picture::App:
        name = "tarvok";
        break;
    case Picture::New:
        name = "new";
        break;
    case Picture::Open:
        name = "open";
        break;
    case Picture::Save:
        name = "save";
        break;
    case Picture::Add:
        name = "add";
        break;
    case Picture::Edit:
        name = "edit";
        break;
    case Picture::Delete:
        name = "delete";
        break;
    case Picture::Up:
        name = "up";
        break;
    case Picture::Down:
        name = "down";
        break;
    case Picture::Preferences:
        name = "preferences";
        break;
    case Picture::About:
        name = "about";
        break;
    case Picture::Help:
        name = "help";
        break;
    case Picture::LevelAllow:
        name = "level-allow";
        break;
    case Picture::LevelNormal:
        name = "level-normal";
        break;
    case Picture::LevelBlock:
        name = "level-block";
        break;
    case Picture::Paused:
        name = "paused";
        break;
    case Picture::PolicyOn:
        name = "policy-on";
        break;
    case Picture::PolicyOff:
        name = "policy-off";
        break;
    case Picture::TrayIdle:
        name = "tray-idle";
        break;
    case Picture::TrayReceiving:
        name = "tray-receiving";
        break;
    case Picture::TraySending:
        name = "tray-sending";
        break;
    case Picture::TrayBoth:
        name = "tray-both";
        break;
    case Picture::TrayAllow:
        name = "tray-allow";
        break;
    case Picture::TrayPause:
        name = "tray-pause";
        break;
    case Picture::TrayBlock:
        name = "tray-block";
        break;
    }
    return QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
}

QIcon pictureIcon(Picture picture) {
    initResources();
    return QIcon(picturePath(picture));
}

} // namespace tarvok
