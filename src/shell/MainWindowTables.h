#pragma once
// The main window's tables: window and panel sizes, the lists' columns and names, every
// caption with its language key, the toolbar's buttons and the lists' context menus.

#include "monitor/ProgramRules.h"
#include "shell/MainWindow.h"
#include "shell/Resources.h"

#include <QString>

#include <array>
#include <initializer_list>

namespace tarvok::mainwindow {

// Window size limits, in twips.
inline constexpr int MinimumWidthTwips = 10095;
inline constexpr int MinimumHeightTwips = 8945;
// The tab strip is 250 twips narrower than the window.
inline constexpr int SideMarginTwips = 125;

// Status-bar panel widths: the window width divided by these, panels 1 to 7.
inline constexpr std::array<double, MainWindow::PanelCount> PanelDivisors = {6, 5, 8, 6.5, 7.5, 10.5, 10};

// What a column holds, for its width: a short, known kind of text that is never cut, or free
// text that gives way (see monitor/ColumnWidths.h).
enum class Content {
    Free,
    Program,        // a program's name, with its picture: as wide as the names listed
    Protocol,       // TCP or UDP
    Address,        // an IPv4 address whole (IPv6 text is elided)
    Port,           // 0 to 65535
    State,          // a connection state
    ConnectionTime, // the per-connection list's time and date
    EventTime,      // an event record's time and date
    Date,           // the history's date of a run
    Session,        // the history's start and end time of a run
    LogStatus,      // an event record's status: a state, a cut, a failed or manual close
    Count
};

// A list column: its header text, its width as a fraction of the page width (0: the column
// keeps its width), what it holds and whether its cells start with a picture.
struct Column {
    int key;
    const char* design;
    double fraction;
    Content content = Content::Free;
    bool picture = false;
};
struct ListColumns {
    const char* list;
    std::initializer_list<Column> columns;
};

inline const std::array<ListColumns, 5>& listColumns() {
    using C = Content;
    static const std::array<ListColumns, 5> lists = {{
        {"ListConnections",
         {{48, "Protocol", 0.06, C::Protocol, true},
          {49, "Local Address", 0.10, C::Address},
          {50, "Local Port", 0.09, C::Port},
          {51, "Remote Address", 0.12, C::Address},
          {52, "Remote Port", 0.09, C::Port},
          {53, "Service", 0.08},
          {54, "Status", 0.13, C::State},
          {55, "Time - Date", 0.10, C::ConnectionTime},
          {341, "Rule", 0.16}}},
        {"ListConnPROC",
         {{56, "Process", 0.14, C::Program, true},
          {48, "Protocol", 0.06, C::Protocol},
          {49, "Local Address", 0.13, C::Address},
          {50, "Local Port", 0.09, C::Port},
          {51, "Remote Address", 0.13, C::Address},
          {52, "Remote Port", 0.09, C::Port},
          {54, "Status", 0.12, C::State},
          {57, "Path", 0.25},
          {341, "Rule", 0.10}}},
        {"ListRules",
         {{58, "Action", 0.10},
          {59, "Rule #", 0.04},
          {60, "Enabled", 0.08},
          {51, "Remote Address", 0.13},
          {52, "Remote Port", 0.10},
          {61, "Log Events", 0.08},
          {62, "Description", 0.20},
          {48, "Protocol", 0},
          {440, "Program", 0.12},
          {340, "Hits", 0.07}}},
        {"ListLog",
         {{55, "Time - Date", 0.14, C::EventTime},
          {48, "Protocol", 0.06, C::Protocol},
          {49, "Local Address", 0.11, C::Address},
          {50, "Local Port", 0.11, C::Port},
          {51, "Remote Address", 0.11, C::Address},
          {52, "Remote Port", 0.09, C::Port},
          {53, "Service", 0.10},
          {54, "Status", 0.15, C::LogStatus},
          {59, "Rule #", 0}}},
        {"ListHistory",
         {{63, "Date", 0.10, C::Date},
          {64, "Session", 0.17, C::Session},
          {65, "Received", 0.135},
          {66, "Sent", 0.135},
          {67, "Total", 0.14},
          {68, "Blocked Attempts", 0.12}}},
    }};
    return lists;
}

inline const ListColumns* columnsOf(const QString& list) {
    for (const ListColumns& entry : listColumns())
        if (list == QLatin1String(entry.list))
            return &entry;
    return nullptr;
}

// A localised text: the object it captions, where the language keeps it, the built-in text.
struct Text {
    const char* name;
    const char* section;
    int key;
    const char* design;
};

// Captions of menus and menu entries.
inline constexpr Text MenuTexts[] = {
    {"mnuFile", "Main", 1, "&File"},
    {"mnuNew", "Main", 2, "New Policy file"},
    {"mnuOpen", "Main", 3, "Open"},
    {"mnuPolicyFile", "Main", 4, "Policy file..."},
    {"mnuOpenLogFile", "Main", 5, "Log file..."},
    {"mnuSave", "Main", 6, "Save Policy"},
    {"mnuSaveAs", "Main", 7, "Save Policy As..."},
    {"mnuShutdown", "Main", 8, "Exit"},
    {"mnuSecurity", "Main", 9, "&Security"},
    {"mnuLevel0", "Main", 10, "Allow All Traffic"},
    {"mnuLevel1", "Main", 11, "Filter Traffic"},
    {"mnuLevel2", "Main", 12, "Block All Traffic"},
    {"mnuPauseFirewall", "Main", 13, "Pause Firewall"},
    {"mnuOptions", "Main", 14, "&Options"},
    {"mnuPreferences", "Main", 15, "Preferences..."},
    {"mnuDisplayApp", "Main", 16, "Display Applications"},
    {"mnuShowListeningPorts", "Main", 17, "Display Listening Connections"},
    {"mnuDisplayUDP", "Main", 18, "Display UDP Protocol"},
    {"mnuDisplay0000127001", "Main", 19, "Display 0.0.0.0 and 127.0.0.1"},
    {"mnuHelp", "Main", 20, "&Help"},
    {"mnuHelpF1", "Main", 20, "Help..."},
    {"mnuCheckUpdate", "Main", 21, "Check for updates..."},
    {"mnuAbout", "Main", 24, "About..."},
    {"mnuBreakConnection", "Main", 25, "Close Connection"},
    {"mnuReject", "Main", 26, "Create a New Rule..."},
    {"mnuCopyRemAdd", "Main", 27, "Copy Remote Address"},
    {"mnuResolveHost", "Main", 28, "Resolve Host"},
    {"mnuShowRule", "Main", 342, "Show the rule"},
    {"mnuShowRuleXP", "Main", 342, "Show the rule"},
    {"mnuAddRule", "Main", 29, "Add a New Rule..."},
    {"mnuEditRule", "Main", 30, "Edit Selected Rule..."},
    {"mnuDeleteRule", "Main", 31, "Delete Selected Rule"},
    {"mnuEnabledRule", "Main", 32, "Enabled"},
    {"mnuCoverUdp", "Main", 348, "Block TCP and UDP"},
    {"mnuCreateRuleLog", "Main", 26, "Create a New Rule..."},
    {"mnuCopyText", "Main", 33, "Copy Text"},
    {"mnuResolveHostLog", "Main", 28, "Resolve Host"},
    {"mnuClearLogWindow", "Main", 34, "Clear Log Window"},
    {"mnuClearSelectionHistory", "Main", 35, "Remove Selection"},
    {"mnuClearAllHistory", "Main", 36, "Clear All History"},
    {"mnuBreakConnXP", "Main", 25, "Close Connection"},
    {"mnuRejectXP", "Main", 26, "Create a New Rule..."},
    {"mnuCopyRemAddXP", "Main", 27, "Copy Remote Address"},
    {"mnuResolveHostXP", "Main", 28, "Resolve Host"},
    {"mnuProcessDetails", "Main", 37, "Process Details..."},
    {"mnuKillProcess", "Main", 38, "Kill Process!"},
    {"mnuBlockProgramXP", "Main", language::programRule::BlockProgram, "Block this program"},
    {"mnuAllowProgramXP", "Main", language::programRule::AllowProgram, "Allow this program"},
};

// Toolbar buttons in order (nullptr: a separator), with their key, picture and tooltip.
struct ToolButton {
    const char* name;
    const char* key;
    Picture picture;
    Text tip;
};
inline constexpr ToolButton ToolButtons[] = {
    {nullptr, nullptr, Picture::App, {}},
    {"tbNew", "new", Picture::New, {"tbNew", "Main", 39, "New policy file"}},
    {"tbOpen", "open", Picture::Open, {"tbOpen", "Main", 40, "Open policy file..."}},
    {"tbSave", "save", Picture::Save, {"tbSave", "Main", 41, "Save policy file"}},
    {"tbAdd", "add", Picture::Add, {"tbAdd", "Add", 1, "Create a new rule..."}},
    {"tbEdit", "edit", Picture::Edit, {"tbEdit", "Add", 33, "Edit selected rule..."}},
    {"tbDelete", "delete", Picture::Delete, {"tbDelete", "Main", 31, "Delete selected rule..."}},
    {"tbUp", "up", Picture::Up, {"tbUp", "Main", 42, "Move up selected rule"}},
    {"tbDown", "down", Picture::Down, {"tbDown", "Main", 43, "Move down selected rule"}},
    {nullptr, nullptr, Picture::App, {}},
    {"tbPreferences",
     "preferences",
     Picture::Preferences,
     {"tbPreferences", "Main", 15, "Preferences..."}},
    {"tbAbout", "about", Picture::About, {"tbAbout", "Main", 24, "About"}},
    {"tbHelp", "help", Picture::Help, {"tbHelp", "Main", 20, "Help"}},
};

inline constexpr Text TabTexts[] = {
    {"Pic0", "Main", 44, "Activity"},
    {"Pic1", "Main", 45, "Policy"},
    {"Pic2", "Main", 46, "Log"},
    {"Pic3", "Main", 47, "History"},
};

inline constexpr Text PanelCaptions[MainWindow::PanelCount] = {
    {"Panel1", "Main", 69, "Firewall: Active"},
    {"Panel2", "Main", 70, "Policy:"},
    {"Panel3", "Main", 71, "Established:"},
    {"Panel4", "Main", 65, "Received: 0.00 MB"},
    {"Panel5", "Main", 66, "Sent: 0.00 MB"},
    {"Panel6", "Main", 72, "In: "},
    {"Panel7", "Main", 73, "Out:"},
};

// Panels 1 and 2 have no tooltip (key 0).
inline constexpr Text PanelTips[MainWindow::PanelCount] = {
    {"Panel1", "Main", 0, ""},
    {"Panel2", "Main", 0, ""},
    {"Panel3", "Main", 74, "Total established connections"},
    {"Panel4", "Main", 75, "Traffic received"},
    {"Panel5", "Main", 76, "Traffic sent"},
    {"Panel6", "Main", 77, "Download speed"},
    {"Panel7", "Main", 78, "Upload speed"},
};

// What the pictures of panels 1 and 2 mean, read out with the panel's text.
struct PictureMeaning {
    Picture picture;
    Text text;
};
inline constexpr PictureMeaning PictureMeanings[] = {
    {Picture::LevelAllow, {"", "Main", 10, "Allow All Traffic"}},
    {Picture::LevelNormal, {"", "Main", 11, "Filter Traffic"}},
    {Picture::LevelBlock, {"", "Main", 12, "Block All Traffic"}},
    {Picture::Paused, {"", "Main", 79, "Firewall: Paused"}},
    {Picture::PolicyOn, {"", "Main", 150, "Policy in force"}},
    {Picture::PolicyOff, {"", "Main", 151, "Policy not in force"}},
};

// The lists' names for assistive technology.
inline constexpr Text ListNames[] = {
    {"ListConnections", "Main", 221, "Connections"},
    {"ListConnPROC", "Main", 222, "Connections by application"},
    {"ListRules", "Main", 223, "Rules"},
    {"ListLog", "Main", 46, "Log"},
    {"ListHistory", "Main", 47, "History"},
};

// Which list shows which context menu.
struct ContextMenu {
    const char* list;
    const char* menu;
    std::initializer_list<const char*> entries; // nullptr: a separator
};
inline const std::array<ContextMenu, 5>& contextMenus() {
    static const std::array<ContextMenu, 5> menus = {{
        {"ListConnections",
         "mnuListConnections",
         {"mnuBreakConnection", "mnuReject", "mnuCopyRemAdd", nullptr, "mnuResolveHost",
          "mnuShowRule"}},
        {"ListRules",
         "mnuListRules",
         {"mnuAddRule", "mnuEditRule", "mnuDeleteRule", nullptr, "mnuEnabledRule",
          "mnuCoverUdp"}},
        {"ListLog",
         "mnuListLog",
         {"mnuCreateRuleLog", "mnuCopyText", "mnuResolveHostLog", nullptr, "mnuClearLogWindow"}},
        {"ListHistory",
         "mnuListHistory",
         {"mnuClearSelectionHistory", nullptr, "mnuClearAllHistory"}},
        {"ListConnPROC",
         "mnuListConnXP",
         {"mnuBreakConnXP", "mnuRejectXP", "mnuCopyRemAddXP", "mnuResolveHostXP", "mnuShowRuleXP",
          nullptr, "mnuBlockProgramXP", "mnuAllowProgramXP", nullptr, "mnuProcessDetails",
          "mnuKillProcess"}},
    }};
    return menus;
}

} // namespace tarvok::mainwindow
