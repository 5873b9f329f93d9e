#pragma once
// Every (section, key) that the program reads from a language file. Every shipped language
// file must hold all of them; a key missing from a file shows as an empty text.

#include "engine/TextKeys.h" // the keys the engine reads, named there

#include <QList>
#include <QString>


namespace tarvok::language {

// [Main] texts that report a failure; %1 is a path, %2 the reason unless said otherwise.
namespace failure {
constexpr int PolicySave = 130;      // the policy could not be saved
constexpr int PolicyTooLarge = 131;  // %1 rules, at most %2
constexpr int PolicyRead = 132;      // a policy picked to open could not be read
constexpr int HistoryWrite = 133;    // History.tvh could not be written
constexpr int SettingsSave = 134;    // config.ini could not be written
constexpr int LogWrite = 135;        // a log flush failed; the records are kept
constexpr int LogLostAtExit = 136;   // the exit flush failed; the records are lost
constexpr int LanguageDamaged = 137; // %1 the language file; the rules use English words
constexpr int PolicyUnreadable = 138; // the start-up policy could not be read
} // namespace failure

// [Main] reasons why a file is no policy, put after "The policy %1 could not be read:".
namespace policyRead {
constexpr int NotAPolicy = 350; // no [Rules] section with a Count
constexpr int BadCount = 351;   // %1 the Count text, outside 0 to 32767
} // namespace policyRead
// [Main] texts of the main window's frame, the tray, the update check and the rules kept
// unsaved at an end nobody could answer.
namespace shell {
constexpr int MenuOpen = 3;            // the window's and the tray's entries
constexpr int MenuExit = 8;
constexpr int MenuPause = 13;
constexpr int MenuAbout = 24;
constexpr int HelpUnreadable = 103;    // the help file could not be opened
constexpr int OpenLogTitle = 104;      // the log viewer's file dialog
constexpr int NewVersion = 105;        // the update check's offer of a newer version
constexpr int DownloadIt = 106;
constexpr int UpToDate = 107;
constexpr int UpdateFailed = 190;      // %1 the server's answer
constexpr int UpdateNoAnswer = 360;    // %1 the server, %2 why it gave no answer
constexpr int RestoreUnsaved = 361;    // %1 the policy, %2 how many rules, %3 the kept file
constexpr int UnsavedNotKept = 362;    // a failure: %1 the file, %2 the reason
} // namespace shell

// [Preferences] asking before programs without a rule connect.
namespace asking {
constexpr int Ask = 41;            // the check box
constexpr int Timeout = 42;        // the seconds a question waits
constexpr int DefaultAnswer = 43;  // the answer when none comes: a choice of the next two
constexpr int BlockOnce = 44;
constexpr int AllowOnce = 45;
constexpr int Unavailable = 46;    // %1 why the program filter is not in force
constexpr int Explained = 47;      // what asking does, below the check box
constexpr int NoAskTable = 48;     // why asking is unavailable while the filter is in force
} // namespace asking

// [Main] the preference of what stays in force when Tarvok ends unexpectedly.
constexpr int KeepPolicyOnCrash = 421;

// [Main] texts of the about box: %1 a folder.
constexpr int FilesFolder = 300;          // where this run keeps its files
constexpr int InstalledFilesFolder = 301; // the installed language and help files

// [Main] texts of what rules do: hit counts, the deciding rule, rules that never match.
namespace insight {
constexpr int HitsHeader = 340;    // the Policy list's column of hit counts
constexpr int RuleHeader = 341;    // the per-connection list's column of the deciding rule
constexpr int ShowRule = 342;      // the per-connection menu entry
constexpr int ShadowedBy = 343;    // %1 the number of the rule above that covers this one
constexpr int BadAddress = 344;    // %1 the address cell
constexpr int BadPort = 345;       // %1 the port cell
constexpr int NeverMatching = 346; // panel 1's tooltip: %1 how many rules
constexpr int TcpOnly = 347;       // a block rule for an address that leaves its UDP open
constexpr int CoverUdp = 348;      // the Policy menu entry that makes such a rule TCP and UDP
constexpr int BadProgram = 349;    // %1 the program cell, which names no file
constexpr int MissingProgram = 470; // %1 the program cell: no file is there now
} // namespace insight

// The program a rule names, in the Policy list.
namespace program {
constexpr int Header = 440;    // [Main] the column's header
constexpr int AnyProgram = 38; // [Add] its text for a rule that names no program
} // namespace program

struct Key {
    QString section;
    QString key;
    bool operator==(const Key&) const = default;
};

// Section [LANGUAGE]: the file's character set and its translator.
inline const QStringList& headerKeys() {
    static const QStringList keys = {QStringLiteral("CharacterSet"), QStringLiteral("translator"),
                                     QStringLiteral("e-mail"), QStringLiteral("web")};
    return keys;
}

inline QList<Key> allKeys() {
    // Numbered keys as closed ranges, section by section.
    struct Range {
        const char* section;
        int first;
        int last;
    };
    static constexpr Range numbered[] = {
        {"Main", 1, 21}, {"Main", 24, 83}, {"Main", 87, 112}, // main window, messages, holders
        {"Main", 120, 122},                                   // monitor only, and why
        {"Main", 130, 138},                                   // failures of files (failure::)
        {"Main", 150, 151},                                   // status-bar picture meanings
        {"Main", 160, 170},                                   // file properties dialog
        {"Main", 190, 195},                                   // update check, help window
        {"Main", 300, 301},                                   // about box: where the files are
        {"Main", 320, 320},                                   // journal preference
        {"Main", 340, 349},                                   // hits, deciding rule (insight::)
        {"Main", 350, 351},                                   // no policy (policyRead::)
        {"Main", 360, 362},                                   // update check, unsaved rules
        {"Main", 420, 421},                                   // the enforcer (level::NoEnforcer)
        {"Main", 440, 442},                                   // program column, program rules
        {"Main", 470, 470},                                   // missing program (insight::)
        {"Main", 450, 454},                                   // program rules from the lists
                                                              // (monitor/ProgramRules.h)
        {"Main", 200, 203},                                   // level words, block unheeded
        {"Main", 220, 223},                                   // alert pid column, list names
        {"Main", 280, 283},                                   // the kernel packet filter table
        {"Add", 1, 38},                                       // rule editor and words of rules
        {"Add", 40, 52},                                      // the editor's program field
        {"About", 1, 2}, {"About", 4, 4}, {"About", 6, 6},    // about box
        {"Preferences", 1, 13}, {"Preferences", 40, 40},      // preferences dialog
        {"Preferences", 41, 48},                              // asking (asking::)
        {"Log", 1, 11}, {"Log", 40, 40},                      // log record window
        {"Resolve", 1, 5},                                    // host resolver window
        {"Alert", 1, 6},                                      // alert window, its Block
        {"Alert", 10, 19},                                    // questions (monitor/QuestionRows.h)
        {"Tray", 4, 5}, {"Tray", 7, 8},                       // language choice in preferences
        {"Splash", 5, 5},                                     // unsupported system at start-up
    };
    QList<Key> keys;
    for (const QString& key : headerKeys())
        keys.append({QStringLiteral("LANGUAGE"), key});
    for (const Range& range : numbered)
        for (int key = range.first; key <= range.last; ++key)
            keys.append({QString::fromLatin1(range.section), QString::number(key)});
    return keys;
}

} // namespace tarvok::language
