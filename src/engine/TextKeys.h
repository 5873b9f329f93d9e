#pragma once
// The [Main] language keys that the engine reads for its balloons, panels and notices. The
// engine cannot see the settings, so the keys it uses are named here, once; the settings'
// list of every key (settings/LanguageKeys.h) takes them from this header.

namespace tarvok::language {

// The level, the pause switch and what is in force.
namespace level {
constexpr int Active = 69;       // panel 1 while running
constexpr int Paused = 79;       // panel 1 while paused, and the pause balloon's title
constexpr int Resumed = 81;      // balloon text when filtering again
constexpr int PausedNotice = 82; // balloon text on pause
constexpr int AllowNotice = 97;  // balloon text and title on choosing Allow all
constexpr int AllowTitle = 98;
constexpr int NormalNotice = 99; // ... Normal
constexpr int NormalTitle = 100;
constexpr int BlockNotice = 101; // ... Block all
constexpr int BlockTitle = 102;
constexpr int MonitorOnly = 120;  // panel 1 and balloon title while no cut can work
constexpr int NoPermission = 121; // why: CAP_NET_ADMIN missing
constexpr int NotSupported = 122; // why: a kernel without socket destroy
constexpr int NoEnforcer = 420;   // why: tarvok-enforcer could not be started
constexpr int NormalWord = 200;   // the level in words after "Firewall: Active –"
constexpr int BlockWord = 201;
constexpr int AllowWord = 202;
constexpr int BlockUnheeded = 203; // Block all chosen while no cut can work
} // namespace level

// The balloon of a cut or refused connection.
constexpr int AlertTitle = 83;
constexpr int ProgramLabel = 440; // before the refused program's file (the column's header)

// The kernel's packet filter table.
namespace kernel {
constexpr int CutsOnly = 280;           // panel 1 while only open connections are cut
constexpr int TableRefused = 281;       // why: the kernel refused the table
constexpr int RefusalsUnrecorded = 283; // %1 refusals counted but not recorded
constexpr int ProgramRulesCutOnly = 441; // program rules while the kernel cannot decide them
constexpr int FilterNotLoaded = 442;    // why, when the enforcer gave no reason
} // namespace kernel

} // namespace tarvok::language
