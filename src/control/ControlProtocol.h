#pragma once
// Steering a running Tarvok from a terminal: the command-line switches, the one-line requests
// they become on the control socket, the answers, and where the socket lives. QtCore only, so
// both ends and the tests share it.
//
// A request is one line of printable ASCII ended by "\n". The answer is zero or more lines of
// text and then one status line: "OK" (optionally a blank and a text), "REFUSED <reason>",
// "BUSY <reason>" or "ERROR <reason>"; then the instance closes the connection.

#include "engine/EnforcementEngine.h"
#include "engine/KernelTable.h"
#include "engine/RuleTable.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace tarvok {

class Localiser;

namespace control {

enum class Command {
    Status,
    StatusJson,
    LevelAllow,
    LevelNormal,
    LevelBlock,
    Pause,
    Resume,
    Reload,
    Exit,        // refused while the rules have unsaved changes
    ExitDiscard, // ends even then, dropping them
    ShowWindow   // sent by a second start, which shows no window of its own
};

// The instance's limits for each client: a longer request is refused, a client silent this
// long is dropped, and at most this many are served at once.
constexpr int MaxRequestBytes = 256;
constexpr int IdleTimeoutMs = 2000;
constexpr int MaxClients = 16;

// Exit codes of a command. Busy: the instance serves MaxClients already, or a pass held the
// command back too long; the same command may be tried again.
// PolicyLeftInForce: the window is not running, but its enforcer keeps the last policy in
// force since the window ended unexpectedly.
enum ExitCode { Done = 0, NotRunning = 1, BadArguments = 2, Refused = 3, Busy = 4,
                PolicyLeftInForce = 5 };

// The request line of a command, without its "\n".
QByteArray requestLine(Command command);
// A request line (without "\n") back to its command; nothing for anything else, binary bytes
// included.
std::optional<Command> parseRequest(QByteArrayView line);

// What the bytes a client has sent so far ask for. A request is one line of at most
// MaxRequestBytes bytes before its "\n"; a "\r" before the "\n" is dropped. Input from
// other programs: it never reads past received.
struct Request {
    enum class Kind { Incomplete, Command, Unknown, TooLong } kind = Kind::Incomplete;
    Command command = Command::Status; // with Kind::Command
};
Request decodeRequest(QByteArrayView received);

// True when the arguments ask for a command to a running instance rather than a start: any
// long switch that is not one of Qt's own options ("--style" is Qt's "-style"), so that a
// mistyped one is refused with the usage rather than ignored by a start. parseArguments()
// passes over Qt's options too.
bool isControlArguments(const QStringList& arguments);
struct Arguments {
    std::optional<Command> command; // none with --help, or on an error
    bool help = false;
    QString error; // what is wrong with the arguments
};
// The arguments after the program's name.
Arguments parseArguments(const QStringList& arguments);
QString usage();

// The status line and what a client makes of it.
QByteArray okLine(const QString& text = {});
QByteArray refusedLine(const QString& reason);
QByteArray busyLine(const QString& reason);
QByteArray errorLine(const QString& reason);
struct Answer {
    QStringList body;
    ExitCode code = NotRunning; // NotRunning: no status line came
    QString text;               // after the status word and its blank
};
Answer readAnswer(const QByteArray& bytes);

// What enforcement is in force, in words and with the reason when it is weakened.
struct Enforcement {
    QString state;  // "kernel table and cutting", "cutting only" or "monitor only"
    QString reason; // empty while both work
};
// The one place that decides the enforcement item of the status; table: the kernel packet
// filter table, null where there is none.
Enforcement enforcementInForce(const EnforcementEngine& engine, const KernelTable* table,
                               const Localiser& language);

struct Status {
    SecurityLevel level = SecurityLevel::Normal;
    bool paused = false;
    Enforcement enforcement;
    QString policyFile;
    bool unsavedChanges = false;
    int rules = 0;
    int enabledRules = 0;
    int programRules = 0; // enabled rules that name a program
    qint64 blocked = 0;
    QString version;
    // Why program rules are only cut after connect; empty while the kernel decides them.
    QString programRulesCutOnly;
};
// Fills the status's counts of rules from the table.
void countRules(const RuleTable& table, Status& status);
QString levelWord(SecurityLevel level);
// One item a line, "Name: value".
QStringList statusLines(const Status& status);
// One JSON object on one line; the keys are listed in the help.
QByteArray statusJson(const Status& status);

} // namespace control
} // namespace tarvok
