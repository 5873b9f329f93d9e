#pragma once
// The program's own pictures, compiled into tarvok_gui from resources/tarvok.qrc.
//
// Which picture stands for what:
//   LevelAllow, LevelNormal, LevelBlock, Paused  first status-bar panel: the security level,
//                                                or the pause switch while paused
//   PolicyOn, PolicyOff                          second status-bar panel: the policy is in force
//                                                (Normal level) or not (Allow, Block)
//   TrayIdle, TrayReceiving, TraySending,        tray activity at the Normal level: nothing,
//   TrayBoth                                     receiving only, sending only, both
//   TrayAllow, TrayPause, TrayBlock              tray icon at the Allow level, paused, at Block
//   App                                          window and application icon

#include <QIcon>
#include <QString>

namespace tarvok {

// Registers the compiled resources. The resource object sits in a static library, where the
// linker would otherwise drop it; call this before the first picture is loaded. MainWindow's
// constructor calls it; calling it again does nothing.
void initResources();

enum class Picture {
    App,
    New,
    Open,
    Save,
    Add,
    Edit,
    Delete,
    Up,
    Down,
    Preferences,
    About,
    Help,
    LevelAllow,
    LevelNormal,
    LevelBlock,
    Paused,
    PolicyOn,
    PolicyOff,
    TrayIdle,
    TrayReceiving,
    TraySending,
    TrayBoth,
    TrayAllow,
    TrayPause,
    TrayBlock,
};
inline constexpr int PictureCount = static_cast<int>(Picture::TrayBlock) + 1;

// Resource path of a picture, e.g. ":/icons/level-normal.svg".
QString picturePath(Picture picture);
// The picture as an icon; registers the resources first.
QIcon pictureIcon(Picture picture);

} // namespace tarvok
